#pragma once
// Partition: one partition of a Device, as disk detection recorded it. A plain value,
// equality-comparable and hashable over every field, identified by `id`.

#include <QHashFunctions>
#include <QString>

#include <cstdint>
#include <optional>

#include "model/filesystem_type.h"

namespace quorvale::model {

struct Partition {
    QString id;
    QString bsdName;
    std::optional<QString> label;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    FilesystemType filesystemType = FilesystemType::unknown;
    bool isMounted = false;

    bool isEXT4() const { return filesystemType == FilesystemType::ext4; }

    bool operator==(const Partition&) const = default;
};

size_t qHash(const Partition& partition, size_t seed = 0) noexcept;

}  // namespace quorvale::model
