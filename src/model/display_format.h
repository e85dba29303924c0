#pragma once
// Shared display helpers: size text (decimal units, multiples of 1000, in the user's locale),
// date text (medium date and short time, in the user's locale) and Unix permission text.

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace quorvale::model {

QString byteCountText(qint64 bytes);
QString dateText(const QDateTime& date);
// Ten characters: "d" or "-", then rwx triplets for owner, group and others. Bits above the
// nine permission bits are ignored.
QString permissionString(std::uint16_t mode, bool isDirectory);

}  // namespace quorvale::model
