#include "mounted_card.h"

#include <QFileInfo>

#include "app/disk_image.h"  // tests/app

namespace quorvale::testing {

const char* const treeFunctions = R"sh(
describe() { (cd "$1" && find . -mindepth 1 -printf '%p %y %m %n %l %T@\n' | sed 's/\.[0-9]*$//' | sort); }
same() { diff -r --no-dereference "$1" "$2" && diff <(describe "$1") <(describe "$2"); }
)sh";

std::unique_ptr<MountedCard> MountedCard::fromHost(const QString& tree) {
    std::unique_ptr<MountedCard> card(new MountedCard);
    card->server_ = std::make_unique<QProcess>();
    card->server_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    card->server_->start(
        qEnvironmentVariable("QUORVALE_BUILD_DIR") + "/tests/mount/quorvale-mount-host",
        {tree, card->mountPoint()});
    card->server_->waitForReadyRead(30000);
    card->ready_ = card->server_->readLine().trimmed() == "ready";
    card->mounted_ = card->ready_;
    if (!card->ready_)
        card->failure_ = "quorvale-mount-host did not mount";
    return card;
}

std::unique_ptr<MountedCard> MountedCard::fromVM(const QString& image, QStringList options) {
    std::unique_ptr<MountedCard> card(new MountedCard);
    card->viaVM_ = true;
    const auto result = cli(options << "mount"
                                    << "--background" << image << card->mountPoint());
    card->ready_ = result.status == 0;
    card->mounted_ = card->ready_;
    if (!card->ready_)
        card->failure_ = result.err;
    return card;
}

MountedCard::~MountedCard() {
    if (mounted_)
        unmount();
    if (server_) {
        server_->waitForFinished(30000);
        server_->kill();
    }
}

int MountedCard::shell(const QString& script, QString* output, int timeoutMs) const {
    QProcess bash;
    bash.setProcessChannelMode(QProcess::MergedChannels);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("M", mountPoint());
    env.insert("W", scratch());
    bash.setProcessEnvironment(env);
    bash.start("bash", {"-c", QString("set -euo pipefail\n") + treeFunctions + script});
    bash.closeWriteChannel();
    const bool finished = bash.waitForFinished(timeoutMs);
    if (output)
        *output = QString::fromUtf8(bash.readAll());
    if (!finished) {
        bash.kill();
        bash.waitForFinished();
        return -1;
    }
    return bash.exitStatus() == QProcess::NormalExit ? bash.exitCode() : -1;
}

int MountedCard::unmount() {
    int status = 0;
    if (viaVM_) {
        status = cli({"unmount", mountPoint()}).status;
    } else {
        status = runTool("fusermount3", {"-u", mountPoint()}).first;
        if (status == 0 && server_)
            server_->waitForFinished(30000);
    }
    if (status == 0)
        mounted_ = false;
    return status;
}

}  // namespace quorvale::testing
