#pragma once
// The browser's filter and sort, pure and safe to run on any thread: keeps the entries whose
// name contains the query case-insensitively, then puts directories first in either direction.
// Ascending is stable (equal keys keep the listing's order); descending is the exact reverse of
// ascending within the directories and within the other entries, ties included.

#include <QList>
#include <QMetaType>
#include <QString>

#include <array>

#include "model/file_item.h"

namespace quorvale::app {

enum class SortOrder { name, size, date, kind };

inline constexpr std::array allSortOrders = {SortOrder::name, SortOrder::size, SortOrder::date,
                                             SortOrder::kind};

// The key's title: "Name", "Size", "Date Modified", "Kind".
QString rawValue(SortOrder order);

// Text after the last "." of the name; empty when there is none.
QString kindKey(const QString& name);

QList<model::FileItem> filterAndSort(const QList<model::FileItem>& allFiles,
                                     const QString& searchQuery, SortOrder order, bool ascending);

}  // namespace quorvale::app

Q_DECLARE_METATYPE(quorvale::app::SortOrder)
