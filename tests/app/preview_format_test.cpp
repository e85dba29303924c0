// The hex dump format and the text decoding of previews.

#include <QStringList>

#include <gtest/gtest.h>

#include "app/preview/preview_format.h"

namespace quorvale::app {
namespace {

TEST(HexDumpTest, MatchesTheDocumentedExample) {
    const QString dump = formatHexDump("Hello, hex world!\n");
    EXPECT_EQ(dump,
              "00000000  48 65 6C 6C 6F 2C 20 68  65 78 20 77 6F 72 6C 64  |Hello, hex world|\n"
              "00000010  21 0A                                             |!.|");
}

TEST(HexDumpTest, SeventeenBytesGiveTwoRowsWithAPaddedHexColumn) {
    QByteArray bytes;
    for (int i = 0; i < 17; ++i)
        bytes.append(static_cast<char>(0x10 + i));
    const QStringList rows = formatHexDump(bytes).split('\n');
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0],
              "00000000  10 11 12 13 14 15 16 17  18 19 1A 1B 1C 1D 1E 1F  |................|");
    EXPECT_EQ(rows[1].mid(10, 48), "20" + QString(46, ' '));
    EXPECT_EQ(rows[1], "00000010  20" + QString(46, ' ') + "  | |");
}

TEST(HexDumpTest, LargeDumpsAndEdgeBytes) {
    EXPECT_EQ(formatHexDump({}), "");
    const QByteArray bytes(4097, '\x7F');
    const QStringList rows = formatHexDump(bytes).split('\n');
    ASSERT_EQ(rows.size(), 257);  // 4096 bytes fill 256 rows; the 4097th starts a new one
    EXPECT_TRUE(rows[255].startsWith("00000FF0  7F 7F"));
    EXPECT_EQ(rows[256], "00001000  7F" + QString(46, ' ') + "  |.|");
    EXPECT_TRUE(formatHexDump(QByteArray("\x1f\x20\x7e", 3)).endsWith("|. ~|"));
    EXPECT_EQ(rows[0].size(), 8 + 2 + 48 + 2 + 1 + 16 + 1);
}

TEST(HexDumpTest, CompactRowsKeepSixteenBytesInFewerCharacters) {
    EXPECT_EQ(formatCompactHexDump("Hello, hex world!\n", true),
              "0000  48656C6C 6F2C2068 65782077 6F726C64  Hello, hex world\n"
              "0010  210A                                 !.");
    EXPECT_EQ(formatCompactHexDump("Hello, hex world!\n", false),
              "0000  48656C6C 6F2C2068 65782077 6F726C64\n"
              "0010  210A");
    EXPECT_EQ(formatCompactHexDump({}, true), "");
    // 4096 bytes: 256 rows of the same width, the last at 0FF0.
    const QStringList rows = formatCompactHexDump(QByteArray(4096, '\x7F'), true).split('\n');
    ASSERT_EQ(rows.size(), 256);
    EXPECT_TRUE(rows.last().startsWith("0FF0  7F7F7F7F"));
    EXPECT_TRUE(rows.last().endsWith("  ................"));
    for (const QString& row : rows)
        EXPECT_EQ(row.size(), 59);
}

TEST(PreviewTextTest, Utf8ThenAsciiThenBinary) {
    EXPECT_EQ(decodePreviewText("caf\xc3\xa9"), QString::fromUtf8("caf\xc3\xa9"));
    EXPECT_EQ(decodePreviewText("plain"), "plain");
    // Cut inside a two-byte character: not UTF-8, not ASCII either.
    EXPECT_EQ(decodePreviewText("caf\xc3"), "[Binary data]");
    EXPECT_EQ(decodePreviewText(QByteArray("\xff\xfe\x00", 3)), "[Binary data]");
    EXPECT_EQ(decodePreviewText({}), "");
}

TEST(PreviewTextTest, StartOfALongerFileMayEndInsideACharacter) {
    const auto start = PreviewExtent::startOfFile;
    // Cut after one, two or three bytes of a two-, three- and four-byte character.
    EXPECT_EQ(decodePreviewText("caf\xc3", start), "caf");
    EXPECT_EQ(decodePreviewText("euro \xe2\x82", start), "euro ");
    EXPECT_EQ(decodePreviewText("smile \xf0\x9f\x98", start), "smile ");
    EXPECT_EQ(decodePreviewText("caf\xc3\xa9", start), QString::fromUtf8("caf\xc3\xa9"));
    // Only an unfinished last character is forgiven: bad bytes elsewhere are still binary.
    EXPECT_EQ(decodePreviewText("\xff text \xc3", start), "[Binary data]");
    EXPECT_EQ(decodePreviewText("text \xa9", start), "[Binary data]");
}

}  // namespace
}  // namespace quorvale::app
