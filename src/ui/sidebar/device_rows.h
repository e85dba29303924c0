#pragma once
// The sidebar's rows: DeviceRowView (media tile, name, size and media label, an EXT4 badge,
// a spinner and dimming while ejecting) and PartitionRow (filesystem symbol or a spinner while
// booting, label, filesystem badge and size). Presentation only.

#include <QWidget>

#include "model/device.h"
#include "model/partition.h"

class QLabel;

namespace quorvale::ui {

class ProgressSpinner;

// "SD Card", "USB Drive" or "External Disk".
QString mediaLabel(model::MediaType type);
// "sdcard", "externaldrive" or "internaldrive".
QString mediaSymbol(model::MediaType type);
// "EXT4", "EXT3", "EXT2", "FAT32", "exFAT", "NTFS", "HFS+", "APFS" or "Unknown".
QString filesystemBadgeText(model::FilesystemType type);
// The partition's label, else its kernel name.
QString partitionDisplayName(const model::Partition& partition);

// A small rounded badge: text in `color` on `color` at opacity 0.15 (or on clear).
QLabel* makeBadge(const QString& text, const QColor& color, bool filled);

class DeviceRowView : public QWidget {
    Q_OBJECT
public:
    explicit DeviceRowView(const model::Device& device, QWidget* parent = nullptr);

    const model::Device& device() const { return shown; }
    // "<size> · <media label>"
    QString detailText() const;
    bool hasEXT4Badge() const { return badge != nullptr; }
    // Fades the row in, as a newly detected device enters.
    void playEntrance();

private:
    model::Device shown;
    QLabel* detail;
    QLabel* badge = nullptr;
    ProgressSpinner* spinner = nullptr;
};

class PartitionRow : public QWidget {
    Q_OBJECT
public:
    PartitionRow(const model::Partition& partition, bool isBooting, QWidget* parent = nullptr);

    const model::Partition& partition() const { return shown; }
    bool isBooting() const { return booting; }
    // Shows the spinner in place of the symbol while booting.
    void setBooting(bool isBooting);
    QString badgeText() const;

private:
    model::Partition shown;
    bool booting = false;
    QLabel* symbol;
    ProgressSpinner* spinner;
    QLabel* badge;
};

}  // namespace quorvale::ui
