#pragma once
// Device: one whole removable disk with its partitions. A plain value, equality-comparable and
// hashable over every field, identified by `id` (the whole-disk name).

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <cstdint>

#include "model/media_type.h"
#include "model/partition.h"

namespace quorvale::model {

struct Device {
    QString id;
    QString name;
    QString bsdName;
    std::uint64_t size = 0;
    MediaType mediaType = MediaType::unknown;
    QList<Partition> partitions;
    bool isEjecting = false;

    // True when at least one partition holds ext4.
    bool hasEXT4Partition() const;

    bool operator==(const Device&) const = default;
};

size_t qHash(const Device& device, size_t seed = 0) noexcept;

}  // namespace quorvale::model
