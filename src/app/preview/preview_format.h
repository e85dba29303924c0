#pragma once
// Pure formatting of previews: the hex dump and the text decoding with its fallbacks.

#include <QByteArray>
#include <QString>

namespace quorvale::app {

// Rows of 16 bytes: "%08X" offset, two spaces, a 48-character hex column (two spaces between
// the eighth and ninth byte, short rows padded), two spaces, "|", the printable characters
// (others as "."), "|". Rows joined by "\n", none after the last; no bytes give "".
QString formatHexDump(const QByteArray& bytes);

// The same 16 bytes a row in a narrower form, for a panel: "%04X" offset, two spaces, four
// groups of four bytes ("48656C6C 6F2C2068 ..."), and, `withCharacters`, two spaces and the
// characters (short rows padded so that the characters line up). Offsets past 0xFFFF widen.
QString formatCompactHexDump(const QByteArray& bytes, bool withCharacters);

// Whether preview bytes are a whole file or only its start.
enum class PreviewExtent { wholeFile, startOfFile };

// UTF-8 when the bytes are valid UTF-8, else ASCII when they are all below 0x80, else
// "[Binary data]". The start of a longer file may end inside a character: that last,
// incomplete character is left out rather than making the text binary.
QString decodePreviewText(const QByteArray& bytes, PreviewExtent extent = PreviewExtent::wholeFile);

}  // namespace quorvale::app
