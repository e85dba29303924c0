#include "app/browser/file_sorting.h"

#include "fileops/directory_listing.h"

#include <QCollator>
#include <QCollatorSortKey>

#include <algorithm>
#include <numeric>
#include <vector>

namespace quorvale::app {
namespace {

using model::FileItem;

// Indices of `items` in ascending key order, stable.
std::vector<qsizetype> ascendingOrder(const std::vector<const FileItem*>& items, SortOrder order) {
    std::vector<qsizetype> indices(items.size());
    std::iota(indices.begin(), indices.end(), 0);
    switch (order) {
        case SortOrder::size:
            std::stable_sort(indices.begin(), indices.end(), [&](qsizetype a, qsizetype b) {
                return items[a]->size < items[b]->size;
            });
            break;
        case SortOrder::date:
            std::stable_sort(indices.begin(), indices.end(), [&](qsizetype a, qsizetype b) {
                return items[a]->modifiedDate < items[b]->modifiedDate;
            });
            break;
        case SortOrder::name:
        case SortOrder::kind: {
            // Sort keys once per item: the comparisons then cost a byte compare each.
            const QCollator collator = fileops::fileNameCollator();
            std::vector<QCollatorSortKey> keys;
            keys.reserve(items.size());
            for (const FileItem* item : items)
                keys.push_back(
                    collator.sortKey(order == SortOrder::name ? item->name : kindKey(item->name)));
            std::stable_sort(indices.begin(), indices.end(), [&](qsizetype a, qsizetype b) {
                return keys[a].compare(keys[b]) < 0;
            });
            break;
        }
    }
    return indices;
}

void appendSorted(QList<FileItem>& out, const std::vector<const FileItem*>& items, SortOrder order,
                  bool ascending) {
    std::vector<qsizetype> indices = ascendingOrder(items, order);
    if (!ascending)
        std::reverse(indices.begin(), indices.end());
    for (qsizetype index : indices)
        out.append(*items[index]);
}

}  // namespace

QString rawValue(SortOrder order) {
    switch (order) {
        case SortOrder::name:
            return QStringLiteral("Name");
        case SortOrder::size:
            return QStringLiteral("Size");
        case SortOrder::date:
            return QStringLiteral("Date Modified");
        case SortOrder::kind:
            return QStringLiteral("Kind");
    }
    return {};
}

QString kindKey(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

QList<FileItem> filterAndSort(const QList<FileItem>& allFiles, const QString& searchQuery,
                              SortOrder order, bool ascending) {
    std::vector<const FileItem*> directories;
    std::vector<const FileItem*> others;
    for (const FileItem& item : allFiles) {
        if (!searchQuery.isEmpty() && !item.name.contains(searchQuery, Qt::CaseInsensitive))
            continue;
        (item.isDirectory ? directories : others).push_back(&item);
    }
    QList<FileItem> result;
    result.reserve(static_cast<qsizetype>(directories.size() + others.size()));
    appendSorted(result, directories, order, ascending);
    appendSorted(result, others, order, ascending);
    return result;
}

}  // namespace quorvale::app
