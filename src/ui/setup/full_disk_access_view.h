#pragma once
// The page shown while AppState.needsFullDiskAccess is set: why access is needed, four steps,
// the helper's path with "Show in File Manager", "Grant Access" (runs `pkexec <helper> grant
// <user>` without blocking), "Continue" (hides the page and asks the sidebar to retry the
// mount) and "Skip for now" (only hides the page).

#include <QPointer>
#include <QProcess>
#include <QWidget>

#include "app/app_state.h"

class QLabel;
class QPushButton;

namespace quorvale::ui {

class FullDiskAccessView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kSize{560, 620};

    FullDiskAccessView(app::AppState& appState, const QString& helperPath,
                       QWidget* parent = nullptr);

    // The program that runs the grant with root rights ("pkexec").
    void setElevationProgram(const QString& program) { elevation = program; }
    QString helperPath() const { return path; }
    QStringList stepTexts() const;
    // The outcome of the last grant, empty while none has finished.
    QString grantStatus() const;

    QPushButton* grantButton() const { return grant; }
    QPushButton* continueButton() const { return continueTo; }
    QPushButton* skipButton() const { return skip; }
    QPushButton* showInFileManagerButton() const { return reveal; }

Q_SIGNALS:
    // The grant process ended; `succeeded` when it exited with status 0.
    void grantFinished(bool succeeded);

private:
    void runGrant();

    app::AppState& appState;
    QString path;
    QString elevation = QStringLiteral("pkexec");
    QList<QLabel*> steps;
    QLabel* status;
    QPushButton* reveal;
    QPushButton* grant;
    QPushButton* continueTo;
    QPushButton* skip;
    QPointer<QProcess> process;
};

}  // namespace quorvale::ui
