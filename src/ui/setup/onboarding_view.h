#pragma once
// First-run onboarding: a welcome page and the page that installs the privileged helper, with
// page dots. "Authorize" installs the helper ("Installing..." meanwhile); success completes
// onboarding, failure shows the error. "Skip for now" completes it as well. When the helper is
// not installed and can be from here (a build tree), the page shows the one command that
// installs it, and Authorize asks for no password until the helper is there.

#include <QPointer>
#include <QWidget>

#include <functional>

#include <qcoro/qcorotask.h>

#include "app/core/service_interfaces.h"

class QLabel;
class QPushButton;
class QStackedWidget;

namespace quorvale::ui {

class PageDots;

class OnboardingView : public QWidget {
    Q_OBJECT
public:
    explicit OnboardingView(app::HelperAccess& helper, QWidget* parent = nullptr);

    int currentPage() const;
    bool isInstalling() const { return installing; }
    QString errorMessage() const;

    QPushButton* continueButton() const { return continueTo; }
    QPushButton* backButton() const { return back; }
    QPushButton* authorizeButton() const { return authorize; }
    QPushButton* skipButton() const { return skip; }
    QPushButton* copyCommandButton() const { return copyCommand; }
    // The helper is missing: `command` installs it; `installed` tells whether it is there now.
    void setHelperInstallCommand(const QString& command, std::function<bool()> installed);
    QString helperInstallCommand() const;

Q_SIGNALS:
    // Onboarding is complete (installed or skipped).
    void completed();

private:
    QWidget* makeWelcomePage();
    QWidget* makeHelperPage();
    void showPage(int index);
    void startInstall();
    static QCoro::Task<void> install(QPointer<OnboardingView> self, app::HelperAccess& helper);
    void setInstalling(bool value);

    app::HelperAccess& helper;
    QStackedWidget* pages;
    PageDots* dots;
    QPushButton* continueTo;
    QPushButton* back;
    QPushButton* authorize;
    QPushButton* skip;
    QLabel* error;
    QLabel* intro;
    QWidget* commandBox;
    QLabel* commandText;
    QPushButton* copyCommand;
    std::function<bool()> helperPresent;
    bool installing = false;
};

}  // namespace quorvale::ui
