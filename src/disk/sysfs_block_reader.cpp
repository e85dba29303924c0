#include "disk/sysfs_block_reader.h"

#include <fcntl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "disk/volume_probe.h"
#include "rpc/unique_fd.h"

namespace quorvale::disk {

namespace {

std::optional<QString> readAttribute(const QString& dir, const QString& name) {
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Attributes are short; never read more than a page.
    return QString::fromUtf8(file.read(4096)).trimmed();
}

std::optional<std::uint64_t> readNumber(const QString& dir, const QString& name) {
    const auto text = readAttribute(dir, name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qulonglong value = text->toULongLong(&ok);
    return ok ? std::optional<std::uint64_t>(value) : std::nullopt;
}

QString devtypeOf(const QString& dir) {
    const auto uevent = readAttribute(dir, QStringLiteral("uevent"));
    if (uevent) {
        for (const QString& line : uevent->split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("DEVTYPE=")))
                return line.mid(8);
        }
    }
    return QFileInfo::exists(dir + QStringLiteral("/partition")) ? QStringLiteral("partition")
                                                                 : QStringLiteral("disk");
}

struct Bus {
    QString name;     // "usb", "mmc" or empty
    QString mmcType;  // "SD", "MMC", "SDIO" for mmc cards
};

// Walks up from the disk's device towards the root, looking for a usb or mmc ancestor.
Bus busOf(const QString& diskDir, const QString& sysfsRoot) {
    QString dir = QFileInfo(diskDir + QStringLiteral("/device")).canonicalFilePath();
    for (int depth = 0; !dir.isEmpty() && dir.startsWith(sysfsRoot) && depth < 32; ++depth) {
        const QString subsystem =
            QFileInfo(QFileInfo(dir + QStringLiteral("/subsystem")).symLinkTarget()).fileName();
        if (subsystem == QLatin1String("usb"))
            return {QStringLiteral("usb"), {}};
        if (subsystem == QLatin1String("mmc"))
            return {QStringLiteral("mmc"),
                    readAttribute(dir, QStringLiteral("type")).value_or(QString())};
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            break;
        dir = parent;
    }
    return {};
}

}  // namespace

QByteArray decodeUdevEscapes(const QString& encoded) {
    const QByteArray in = encoded.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            bool ok = false;
            const int byte = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(static_cast<char>(byte));
                i += 3;
                continue;
            }
        }
        out.append(in[i]);
    }
    return out;
}

SysfsBlockReader::SysfsBlockReader(DiskPaths paths) : paths(std::move(paths)) {}

QStringList SysfsBlockReader::blockDevices() const {
    QStringList names = QDir(paths.sysfsRoot + QStringLiteral("/class/block"))
                            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

std::optional<DiskDescription> SysfsBlockReader::describe(
    const QString& name, const QMap<QString, QString>& properties) const {
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return std::nullopt;
    const QString root = QFileInfo(paths.sysfsRoot).canonicalFilePath();
    const QString devDir =
        QFileInfo(paths.sysfsRoot + QStringLiteral("/class/block/") + name).canonicalFilePath();
    if (root.isEmpty() || devDir.isEmpty() || !devDir.startsWith(root + QLatin1Char('/')))
        return std::nullopt;

    const QString devtype = properties.value(QStringLiteral("DEVTYPE"), devtypeOf(devDir));
    const bool whole = devtype != QLatin1String("partition");
    const QString diskDir = whole ? devDir : QFileInfo(devDir).path();
    const auto sectors = readNumber(devDir, QStringLiteral("size"));
    if (!sectors)
        return std::nullopt;  // gone between the event and the read

    DiskDescription d;
    d.insert(kDADiskDescriptionMediaBSDNameKey, name);
    d.insert(kDADiskDescriptionMediaWholeKey, whole);
    d.insert(kDADiskDescriptionMediaSizeKey, QVariant::fromValue<qulonglong>(*sectors * 512));
    if (const auto blockSize = readNumber(diskDir, QStringLiteral("queue/logical_block_size")))
        d.insert(kDADiskDescriptionMediaBlockSizeKey, QVariant::fromValue<qulonglong>(*blockSize));
    d.insert(kDADiskDescriptionDevicePathKey, devDir.mid(root.size()));

    const Bus bus = busOf(diskDir, root);
    const QString idBus = properties.value(QStringLiteral("ID_BUS"));
    const bool onUsb = bus.name == QLatin1String("usb") || idBus == QLatin1String("usb");
    const bool onMmc = bus.name == QLatin1String("mmc");
    const bool removable =
        readAttribute(diskDir, QStringLiteral("removable")) == QStringLiteral("1");
    d.insert(kDADiskDescriptionMediaRemovableKey, removable);
    d.insert(kDADiskDescriptionMediaEjectableKey, removable || onUsb || onMmc);
    if (onUsb)
        d.insert(kDADiskDescriptionDeviceProtocolKey, QStringLiteral("USB"));
    else if (onMmc && (bus.mmcType.isEmpty() || bus.mmcType == QLatin1String("SD")))
        d.insert(kDADiskDescriptionDeviceProtocolKey, QStringLiteral("Secure Digital"));

    QString model;
    if (properties.contains(QStringLiteral("ID_MODEL_ENC")))
        model = QString::fromUtf8(decodeUdevEscapes(properties.value("ID_MODEL_ENC"))).trimmed();
    if (model.isEmpty())
        model = properties.value(QStringLiteral("ID_MODEL"));
    if (model.isEmpty())
        model = readAttribute(diskDir, QStringLiteral("device/model")).value_or(QString());
    if (model.isEmpty() && onMmc)
        model = readAttribute(diskDir, QStringLiteral("device/name")).value_or(QString());
    if (!model.isEmpty()) {
        d.insert(kDADiskDescriptionDeviceModelKey, model);
        d.insert(kDADiskDescriptionMediaNameKey, model);
    }

    std::optional<QString> fsType;
    std::optional<QString> label;
    std::optional<QString> scheme;
    std::optional<QString> partType;
    if (properties.contains(QStringLiteral("ID_FS_TYPE")))
        fsType = properties.value(QStringLiteral("ID_FS_TYPE"));
    if (properties.contains(QStringLiteral("ID_FS_LABEL_ENC")))
        label = cleanLabel(decodeUdevEscapes(properties.value(QStringLiteral("ID_FS_LABEL_ENC"))));
    else if (properties.contains(QStringLiteral("ID_FS_LABEL")))
        label = cleanLabel(properties.value(QStringLiteral("ID_FS_LABEL")).toUtf8());
    if (properties.contains(QStringLiteral("ID_PART_ENTRY_TYPE"))) {
        partType = properties.value(QStringLiteral("ID_PART_ENTRY_TYPE"));
        scheme = properties.value(QStringLiteral("ID_PART_ENTRY_SCHEME"));
    }
    // Without udev's database, ask libblkid; only possible when the node may be read.
    if (!fsType && *sectors > 0) {
        const QByteArray node = QFile::encodeName(paths.deviceDirectory + QLatin1Char('/') + name);
        UniqueFd fd(::open(node.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (fd) {
            const VolumeProbe probe = VolumeProbe::probe(fd.get(), 0, 0, !whole);
            fsType = probe.type;
            if (!label)
                label = probe.label;
            if (!partType) {
                partType = probe.partitionType;
                scheme = probe.partitionScheme;
            }
        }
    }
    if (fsType && !fsType->isEmpty())
        d.insert(kDADiskDescriptionVolumeTypeKey, volumeTypeFromBlkid(*fsType));
    if (label && !label->isEmpty())
        d.insert(kDADiskDescriptionVolumeNameKey, *label);
    if (partType && !partType->isEmpty())
        d.insert(kDADiskDescriptionMediaContentKey,
                 mediaContentFromPartitionType(scheme.value_or(QString()), *partType));
    return d;
}

}  // namespace quorvale::disk
