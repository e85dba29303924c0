#pragma once
// The description of one disk or partition: a dictionary from key to value, as the disk
// detection logic reads it. The keys are the ones the detection rules name; the udev source
// and tests fill them. A missing value, or a value of the wrong kind, counts as absent.

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace quorvale::disk {

inline const QString kDADiskDescriptionMediaBSDNameKey = QStringLiteral("DAMediaBSDName");
inline const QString kDADiskDescriptionMediaNameKey = QStringLiteral("DAMediaName");
inline const QString kDADiskDescriptionVolumeNameKey = QStringLiteral("DAVolumeName");
inline const QString kDADiskDescriptionMediaSizeKey = QStringLiteral("DAMediaSize");
inline const QString kDADiskDescriptionMediaBlockSizeKey = QStringLiteral("DAMediaBlockSize");
inline const QString kDADiskDescriptionMediaRemovableKey = QStringLiteral("DAMediaRemovable");
inline const QString kDADiskDescriptionMediaEjectableKey = QStringLiteral("DAMediaEjectable");
inline const QString kDADiskDescriptionMediaWholeKey = QStringLiteral("DAMediaWhole");
inline const QString kDADiskDescriptionDeviceProtocolKey = QStringLiteral("DADeviceProtocol");
inline const QString kDADiskDescriptionDeviceModelKey = QStringLiteral("DADeviceModel");
inline const QString kDADiskDescriptionDevicePathKey = QStringLiteral("DADevicePath");
inline const QString kDADiskDescriptionVolumeTypeKey = QStringLiteral("DAVolumeKind");
inline const QString kDADiskDescriptionMediaContentKey = QStringLiteral("DAMediaContent");

class DiskDescription {
public:
    DiskDescription() = default;
    explicit DiskDescription(QVariantMap values) : values(std::move(values)) {}

    // A string value; absent when missing or not a string.
    std::optional<QString> string(const QString& key) const;
    // A non-negative number (a fraction is truncated); absent when missing, negative or not a
    // number.
    std::optional<std::uint64_t> number(const QString& key) const;
    // A Boolean value; absent when missing or not a Boolean (1 and "true" do not count).
    std::optional<bool> boolean(const QString& key) const;

    void insert(const QString& key, const QVariant& value) { values.insert(key, value); }
    bool contains(const QString& key) const { return values.contains(key); }
    const QVariantMap& map() const { return values; }

private:
    QVariantMap values;
};

}  // namespace quorvale::disk
