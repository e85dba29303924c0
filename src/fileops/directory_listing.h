#pragma once
// Turning a "list_dir" result into the sorted FileItem list the browser shows. Pure functions,
// run on a worker thread: a listing of 100,000 entries must not stall the GUI.

#include <QCollator>
#include <QList>
#include <QString>

#include <boost/json/value.hpp>

#include <optional>

#include "model/file_item.h"

namespace quorvale::fileops {

// Nothing when there is no result or it is not an array of objects. Otherwise one FileItem per
// usable entry (entries without a string "name" are skipped), sorted by sortFileItems().
std::optional<QList<model::FileItem>> decodeListing(const boost::json::value* result,
                                                    const QString& parentPath);

// Stable sort: directories first, then names ascending in the user's locale, case-insensitive,
// runs of digits compared by value ("a9" before "a10"). Names that compare equal keep their
// order.
void sortFileItems(QList<model::FileItem>& items);

// The collator file names are ordered with: numeric runs, case-insensitive, and English rules
// where the environment's locale is C (Qt ignores the options there).
QCollator fileNameCollator();

}  // namespace quorvale::fileops
