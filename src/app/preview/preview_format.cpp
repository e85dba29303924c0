#include "app/preview/preview_format.h"

#include <QStringDecoder>

#include <algorithm>

namespace quorvale::app {
namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";

void appendHex(QByteArray& out, unsigned value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.append(hexDigits[(value >> shift) & 0xF]);
}

// Bytes at the end that start a UTF-8 character without finishing it (0 to 3).
qsizetype incompleteTail(const QByteArray& bytes) {
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, bytes.size()); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80)
            continue;  // a continuation byte: the lead is further back
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace

QString formatHexDump(const QByteArray& bytes) {
    QByteArray out;
    const qsizetype rows = (bytes.size() + 15) / 16;
    out.reserve(rows * 79);
    for (qsizetype row = 0; row < rows; ++row) {
        const qsizetype offset = row * 16;
        const qsizetype count = std::min<qsizetype>(16, bytes.size() - offset);
        if (row > 0)
            out.append('\n');
        appendHex(out, static_cast<unsigned>(offset), 8);
        out.append("  ");
        for (int slot = 0; slot < 16; ++slot) {
            if (slot > 0)
                out.append(' ');
            if (slot == 8)
                out.append(' ');  // the extra empty slot between the two halves
            if (slot < count)
                appendHex(out, static_cast<unsigned char>(bytes[offset + slot]), 2);
            else
                out.append("  ");
        }
        out.append("  |");
        for (qsizetype i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[offset + i]);
            out.append(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.');
        }
        out.append('|');
    }
    return QString::fromLatin1(out);
}

QString formatCompactHexDump(const QByteArray& bytes, bool withCharacters) {
    QByteArray out;
    const qsizetype rows = (bytes.size() + 15) / 16;
    out.reserve(rows * 60);
    const int offsetDigits = bytes.size() > 0x10000 ? 8 : 4;
    for (qsizetype row = 0; row < rows; ++row) {
        const qsizetype offset = row * 16;
        const qsizetype count = std::min<qsizetype>(16, bytes.size() - offset);
        if (row > 0)
            out.append('\n');
        appendHex(out, static_cast<unsigned>(offset), offsetDigits);
        out.append(' ');
        for (int slot = 0; slot < 16; ++slot) {
            if (slot % 4 == 0 && (slot < count || withCharacters))
                out.append(' ');
            if (slot < count)
                appendHex(out, static_cast<unsigned char>(bytes[offset + slot]), 2);
            else if (withCharacters)
                out.append("  ");
        }
        if (!withCharacters)
            continue;
        out.append("  ");
        for (qsizetype i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[offset + i]);
            out.append(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.');
        }
    }
    return QString::fromLatin1(out);
}

QString decodePreviewText(const QByteArray& bytes, PreviewExtent extent) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const qsizetype cut = extent == PreviewExtent::startOfFile ? incompleteTail(bytes) : 0;
    QString text = utf8.decode(QByteArrayView(bytes).first(bytes.size() - cut));
    if (!utf8.hasError())
        return text;
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return QStringLiteral("[Binary data]");
    }
    return QString::fromLatin1(bytes);
}

}  // namespace quorvale::app
