// DeviceListViewModel: the health cards of reported partitions, read from their superblocks on
// the host.

#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>

#include <qcoro/qcorofuture.h>

#include "app/devices/device_list_view_model.h"

namespace quorvale::app {
namespace {

bool isExtFilesystem(model::FilesystemType type) {
    return type == model::FilesystemType::ext4 || type == model::FilesystemType::ext3 ||
           type == model::FilesystemType::ext2;
}

// Outside the coroutines: g++ 12 mishandles lambdas capturing coroutine parameters.
QFuture<disk::PartitionHealth> readHealthOnWorker(
    std::function<disk::PartitionHealth(const model::Partition&, int)> read,
    model::Partition partition, int imageFd) {
    return QtConcurrent::run([read = std::move(read), partition = std::move(partition), imageFd] {
        return read(partition, imageFd);
    });
}

}  // namespace

disk::PartitionHealth DeviceListViewModel::readHostHealth(const model::Partition& partition,
                                                          int imageFd) {
    if (imageFd < 0)
        return disk::PartitionHealthReader().read(partition.bsdName, partition.size);
    auto health = disk::PartitionHealthReader::readAt(imageFd, partition.offset, partition.size,
                                                      partition.bsdName);
    // An image opened read-only (the file refuses writes) is the image's write protection.
    health.writeProtected = (::fcntl(imageFd, F_GETFL) & O_ACCMODE) == O_RDONLY;
    return health;
}

std::optional<HealthCard> DeviceListViewModel::healthCard(const QString& partitionID) const {
    const auto it = healthCards_.find(partitionID);
    if (it == healthCards_.end())
        return std::nullopt;
    return it->second;
}

QCoro::Task<HealthCard> DeviceListViewModel::readCard(QPointer<DeviceListViewModel> self,
                                                      const model::Partition& partition,
                                                      int imageFd) {
    auto reading = readHealthOnWorker(self->readHealth, partition, imageFd);
    const disk::PartitionHealth health = co_await reading;
    HealthCard card = makeHealthCard(health);
    if (self) {
        self->healthCards_[partition.id] = card;
        Q_EMIT self->healthCardsChanged();
    }
    co_return card;
}

void DeviceListViewModel::readHealthCards(const model::Device& device) {
    for (const model::Partition& partition : device.partitions) {
        // A mounted partition keeps the card read before mounting: the host would now see the
        // guest's mount (a journal in use) rather than how the card was left.
        if (isExtFilesystem(partition.filesystemType) &&
            !mountedPartitions_.contains(partition.bsdName))
            readReportedCard(QPointer<DeviceListViewModel>(this), partition);
    }
}

QCoro::Task<void> DeviceListViewModel::readReportedCard(QPointer<DeviceListViewModel> self,
                                                        model::Partition partition) {
    std::optional<UniqueFd> image = self->diskService_->imageHandle(wholeDiskOf(partition.bsdName));
    auto reading = readHealthOnWorker(self->readHealth, partition, image ? image->get() : -1);
    const disk::PartitionHealth health = co_await reading;
    // The device may have gone, or the guest mounted the partition, while this card was read.
    if (!self || !self->hasPartition(partition.id) ||
        self->mountedPartitions_.contains(partition.bsdName))
        co_return;
    self->healthCards_[partition.id] = makeHealthCard(health);
    Q_EMIT self->healthCardsChanged();
}

}  // namespace quorvale::app
