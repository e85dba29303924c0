#pragma once
// OpenWithSheet: "Open “name” With" and the desktop's applications for the file's type (the
// default first), "Show all applications" for every application that opens files, "Cancel"
// and "Open". Choosing emits applicationChosen; the browser exports the file and starts the
// application on the copy. A type nothing opens says so.

#include <QDialog>

#include "app/browser/desktop_applications.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace quorvale::ui {

class OpenWithSheet : public QDialog {
    Q_OBJECT
public:
    OpenWithSheet(const QString& fileName, QWidget* parent);

    QListWidget* applicationList() const { return list; }
    QCheckBox* showAllBox() const { return showAll; }
    QPushButton* openButton() const { return confirm; }
    QLabel* emptyLabel() const { return empty; }

Q_SIGNALS:
    void applicationChosen(const quorvale::app::DesktopApplication& application);

private:
    void fill();

    QString mimeType;
    QList<app::DesktopApplication> shown;
    QListWidget* list;
    QLabel* empty;
    QCheckBox* showAll;
    QPushButton* confirm;
};

}  // namespace quorvale::ui
