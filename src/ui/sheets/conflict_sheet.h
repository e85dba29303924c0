#pragma once
// ConflictSheet: asked when a copy meets a name that is taken. "“a.txt” already exists in
// “docs”", then "Skip", "Keep Both" (the copy gets "a 2.txt") and "Replace" (the default
// button), and "Apply to all" for the conflicts that follow. Closing it skips. ask() shows
// one window-modal sheet and resumes with the answer.

#include <QDialog>

#include <qcoro/qcorotask.h>

#include "fileops/conflicts.h"

class QCheckBox;
class QPushButton;

namespace quorvale::ui {

class ConflictSheet : public QDialog {
    Q_OBJECT
public:
    ConflictSheet(const fileops::Conflict& conflict, QWidget* parent);

    static QCoro::Task<fileops::ConflictAnswer> ask(QWidget* parent, fileops::Conflict conflict);
    // "“a.txt” already exists in “docs”."; a folder says so.
    static QString message(const fileops::Conflict& conflict);

    fileops::ConflictAnswer answer() const;
    QPushButton* button(fileops::ConflictAction action) const;
    QCheckBox* applyToAllBox() const { return applyToAll; }

private:
    QPushButton* skip;
    QPushButton* keepBoth;
    QPushButton* replace;
    QCheckBox* applyToAll;
    fileops::ConflictAction chosen = fileops::ConflictAction::skip;
};

}  // namespace quorvale::ui
