#include "ui/usage/disk_usage_data.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/display_format.h"
#include "model/file_item.h"

namespace quorvale::ui {

namespace {

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Double:
        case QMetaType::Float:
            return true;
        default:
            return false;
    }
}

bool isFloating(const QVariant& value) {
    return value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float;
}

}  // namespace

DiskUsageEntry DiskUsageEntry::fromDictionary(const QVariantMap& dictionary) {
    DiskUsageEntry entry;
    const QVariant name = dictionary.value(QStringLiteral("name"));
    if (name.typeId() == QMetaType::QString) {
        entry.name = model::readableName(name.toString());
        entry.path = QLatin1Char('/') + name.toString();
    }
    const QVariant size = dictionary.value(QStringLiteral("size"));
    if (isNumber(size)) {
        if (isFloating(size)) {
            const double value = size.toDouble();
            constexpr double limit = 9.2e18;  // below 2^63
            entry.size =
                std::isfinite(value) && value > 0 ? static_cast<qint64>(std::min(value, limit)) : 0;
        } else if (size.typeId() == QMetaType::ULongLong || size.typeId() == QMetaType::ULong) {
            entry.size = static_cast<qint64>(
                std::min<quint64>(size.toULongLong(), std::numeric_limits<qint64>::max()));
        } else {
            entry.size = std::max<qint64>(0, size.toLongLong());
        }
    }
    if (isNumber(dictionary.value(QStringLiteral("allocated"))))
        entry.allocated = DiskUsageData::unsignedField(dictionary, QStringLiteral("allocated"));
    const QVariant isDirectory = dictionary.value(QStringLiteral("is_directory"));
    entry.isDirectory = isDirectory.typeId() == QMetaType::Bool && isDirectory.toBool();
    return entry;
}

QString DiskUsageEntry::symbol() const {
    if (isDirectory)
        return QStringLiteral("folder.fill");
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return model::FileItem::symbolName(dot < 0 ? QString() : name.mid(dot + 1));
}

quint64 DiskUsageData::usedBytes() const {
    return freeBytes > totalBytes ? 0 : totalBytes - freeBytes;
}

double DiskUsageData::usedFraction() const {
    if (totalBytes == 0)
        return 0.0;
    return static_cast<double>(usedBytes()) / static_cast<double>(totalBytes);
}

quint64 DiskUsageData::unsignedField(const QVariantMap& dictionary, const QString& key) {
    const QVariant value = dictionary.value(key);
    if (!isNumber(value))
        return 0;
    if (isFloating(value)) {
        const double number = value.toDouble();
        constexpr double limit = 18446744073709551616.0;  // 2^64
        if (!std::isfinite(number) || number < 0 || number >= limit || number != std::floor(number))
            return 0;
        return static_cast<quint64>(number);
    }
    if (value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong ||
        value.typeId() == QMetaType::UInt)
        return value.toULongLong();
    const qint64 number = value.toLongLong();
    return number < 0 ? 0 : static_cast<quint64>(number);
}

DiskUsageData DiskUsageData::fromGuest(const QString& partitionName, const QVariantMap& partition,
                                       const QVariantList& rootEntries) {
    DiskUsageData data;
    data.partitionName = partitionName;
    data.totalBytes = unsignedField(partition, QStringLiteral("total_bytes"));
    data.freeBytes = unsignedField(partition, QStringLiteral("free_bytes"));
    data.children.reserve(rootEntries.size());
    for (const QVariant& entry : rootEntries)
        data.children.append(DiskUsageEntry::fromDictionary(entry.toMap()));
    std::stable_sort(
        data.children.begin(), data.children.end(),
        [](const DiskUsageEntry& a, const DiskUsageEntry& b) { return a.bytes() > b.bytes(); });
    return data;
}

QString byteCountText(quint64 bytes) {
    const auto clamped = static_cast<qint64>(
        std::min<quint64>(bytes, static_cast<quint64>(std::numeric_limits<qint64>::max())));
    return model::byteCountText(clamped);
}

}  // namespace quorvale::ui
