#include "disk/disk_description.h"

#include <cmath>

namespace quorvale::disk {

std::optional<QString> DiskDescription::string(const QString& key) const {
    const auto it = values.constFind(key);
    if (it == values.constEnd() || it->typeId() != QMetaType::QString)
        return std::nullopt;
    return it->toString();
}

std::optional<std::uint64_t> DiskDescription::number(const QString& key) const {
    const auto it = values.constFind(key);
    if (it == values.constEnd())
        return std::nullopt;
    switch (it->typeId()) {
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short: {
            const qlonglong v = it->toLongLong();
            if (v < 0)
                return std::nullopt;
            return static_cast<std::uint64_t>(v);
        }
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
            return static_cast<std::uint64_t>(it->toULongLong());
        case QMetaType::Double: {
            const double v = it->toDouble();
            // 2^64 is exactly representable; anything at or above it does not fit.
            if (!std::isfinite(v) || v < 0 || v >= 18446744073709551616.0)
                return std::nullopt;
            return static_cast<std::uint64_t>(std::trunc(v));
        }
        default:
            return std::nullopt;
    }
}

std::optional<bool> DiskDescription::boolean(const QString& key) const {
    const auto it = values.constFind(key);
    if (it == values.constEnd() || it->typeId() != QMetaType::Bool)
        return std::nullopt;
    return it->toBool();
}

}  // namespace quorvale::disk
