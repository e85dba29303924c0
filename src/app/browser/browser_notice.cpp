#include "app/browser/browser_notice.h"

namespace quorvale::app {

namespace {

QString displayName(const model::Partition& partition) {
    return partition.label && !partition.label->isEmpty() ? *partition.label : partition.bsdName;
}

}  // namespace

std::optional<BrowserNotice> browserNotice(const std::optional<model::Partition>& partition,
                                           const guest::VMStatus& vmStatus, bool isBootingVM) {
    if (!partition)
        return std::nullopt;
    const QString name = displayName(*partition);
    if (!partition->isEXT4()) {
        const QString what =
            partition->filesystemType == model::FilesystemType::unknown
                ? QStringLiteral("%1 holds no filesystem Quorvale recognises.").arg(name)
                : QStringLiteral("%1 is %2.")
                      .arg(name, model::displayName(partition->filesystemType));
        return BrowserNotice{BrowserNotice::Kind::unsupported, QStringLiteral("internaldrive"),
                             QStringLiteral("%1 cannot be opened").arg(name),
                             what + QStringLiteral(" Quorvale opens ext2, ext3 and ext4."), false};
    }
    if (isBootingVM)
        return std::nullopt;
    switch (vmStatus.state) {
        case guest::VMStatus::State::stopped:
            return BrowserNotice{
                BrowserNotice::Kind::vmStopped, QStringLiteral("exclamationmark.triangle.fill"),
                QStringLiteral("The VM is stopped"),
                QStringLiteral("The files of %1 show again once the VM runs.").arg(name), true};
        case guest::VMStatus::State::error:
            return BrowserNotice{BrowserNotice::Kind::vmStopped,
                                 QStringLiteral("exclamationmark.triangle.fill"),
                                 QStringLiteral("The VM stopped"),
                                 vmStatus.description.isEmpty()
                                     ? QStringLiteral("The files of %1 show again once the VM "
                                                      "runs.")
                                           .arg(name)
                                     : vmStatus.description,
                                 true};
        case guest::VMStatus::State::booting:
        case guest::VMStatus::State::running:
            break;
    }
    return std::nullopt;
}

QString mediumNoun(const std::optional<model::Partition>& partition) {
    if (partition && partition->bsdName.startsWith(QLatin1String("image")))
        return QStringLiteral("disk");
    return QStringLiteral("SD card");
}

}  // namespace quorvale::app
