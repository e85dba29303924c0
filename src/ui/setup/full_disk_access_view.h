#pragma once
// The page shown while AppState.needsFullDiskAccess is set: why access is needed, four steps,
// the helper's path with "Show in File Manager", "Grant Access" (the helper client's grant for
// the account running the app, without blocking), "Continue" (hides the page and asks the
// sidebar to retry the mount) and "Skip for now" (only hides the page).

#include <QWidget>

#include <qcoro/qcorotask.h>

#include "app/core/app_state.h"
#include "app/core/service_interfaces.h"

class QLabel;
class QPushButton;

namespace quorvale::ui {

class FullDiskAccessView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize kSize{560, 620};

    FullDiskAccessView(app::AppState& appState, app::HelperAccess& helper,
                       const QString& helperPath, QWidget* parent = nullptr);

    QString helperPath() const { return path; }
    QStringList stepTexts() const;
    // The outcome of the last grant, empty while none has finished.
    QString grantStatus() const;

    QPushButton* grantButton() const { return grant; }
    QPushButton* continueButton() const { return continueTo; }
    QPushButton* skipButton() const { return skip; }
    QPushButton* showInFileManagerButton() const { return reveal; }

Q_SIGNALS:
    // The grant ended; `succeeded` when access was granted.
    void grantFinished(bool succeeded);

private:
    QCoro::Task<void> runGrant();

    app::AppState& appState;
    app::HelperAccess& helper;
    QString path;
    bool granting = false;
    QList<QLabel*> steps;
    QLabel* status;
    QPushButton* reveal;
    QPushButton* grant;
    QPushButton* continueTo;
    QPushButton* skip;
};

}  // namespace quorvale::ui
