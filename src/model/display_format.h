#pragma once
// Shared display helpers: size text (decimal units, multiples of 1000, in the user's locale),
// date text (medium date and short time, in the user's locale), Unix permission text and the
// readable form of names from the guest.

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace quorvale::model {

QString byteCountText(qint64 bytes);
QString dateText(const QDateTime& date);
// Ten characters: "d" or "-", then rwx triplets for owner, group and others. Bits above the
// nine permission bits are ignored.
QString permissionString(std::uint16_t mode, bool isDirectory);
// A name (or path) as the guest sends it, for people: bytes that were not UTF-8 on the card,
// and control characters, spelled "\xE9". Names themselves stay as they came: they are what
// reaches the entry.
QString readableName(const QString& name);

}  // namespace quorvale::model
