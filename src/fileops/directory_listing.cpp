#include "fileops/directory_listing.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QLocale>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

namespace quorvale::fileops {

std::optional<QList<model::FileItem>> decodeListing(const boost::json::value* result,
                                                    const QString& parentPath) {
    if (result == nullptr || !result->is_array())
        return std::nullopt;
    const boost::json::array& entries = result->get_array();
    if (!std::all_of(entries.begin(), entries.end(),
                     [](const boost::json::value& entry) { return entry.is_object(); }))
        return std::nullopt;

    QList<model::FileItem> items;
    items.reserve(static_cast<qsizetype>(entries.size()));
    for (const boost::json::value& entry : entries) {
        if (std::optional<model::FileItem> item =
                model::FileItem::fromEntry(entry.get_object(), parentPath))
            items.append(std::move(*item));
    }
    sortFileItems(items);
    return items;
}

// Qt collates the C locale by code points, ignoring the options, so a C or POSIX environment
// gets the neutral ordering of English instead.
QCollator fileNameCollator() {
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

void sortFileItems(QList<model::FileItem>& items) {
    const QCollator collator = fileNameCollator();

    // One sort key per name: comparing keys is far cheaper than collating strings n log n times.
    std::vector<QCollatorSortKey> keys;
    keys.reserve(static_cast<size_t>(items.size()));
    for (const model::FileItem& item : std::as_const(items))
        keys.push_back(collator.sortKey(item.name));

    std::vector<char> isDirectory;
    isDirectory.reserve(static_cast<size_t>(items.size()));
    for (const model::FileItem& item : std::as_const(items))
        isDirectory.push_back(item.isDirectory);

    std::vector<size_t> order(static_cast<size_t>(items.size()));
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (isDirectory[a] != isDirectory[b])
            return isDirectory[a] > isDirectory[b];
        return keys[a].compare(keys[b]) < 0;
    });

    QList<model::FileItem> sorted;
    sorted.reserve(items.size());
    for (size_t index : order)
        sorted.append(std::move(items[static_cast<qsizetype>(index)]));
    items = std::move(sorted);
}

}  // namespace quorvale::fileops
