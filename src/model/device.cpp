#include "model/device.h"

#include <algorithm>

namespace quorvale::model {

namespace {

size_t hashOptional(const std::optional<QString>& value, size_t seed) noexcept {
    return value ? qHashMulti(seed, true, *value) : qHashMulti(seed, false);
}

}  // namespace

size_t qHash(const Partition& partition, size_t seed) noexcept {
    seed = hashOptional(partition.label, seed);
    return qHashMulti(seed, partition.id, partition.bsdName, partition.size, partition.offset,
                      static_cast<int>(partition.filesystemType), partition.isMounted);
}

bool Device::hasEXT4Partition() const {
    return std::any_of(partitions.begin(), partitions.end(),
                       [](const Partition& partition) { return partition.isEXT4(); });
}

size_t qHash(const Device& device, size_t seed) noexcept {
    seed = qHashRange(device.partitions.begin(), device.partitions.end(), seed);
    return qHashMulti(seed, device.id, device.name, device.bsdName, device.size,
                      static_cast<int>(device.mediaType), device.isEjecting);
}

}  // namespace quorvale::model
