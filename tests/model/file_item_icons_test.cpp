#include <gtest/gtest.h>

#include "model/file_item.h"
#include "model/named_colors.h"

namespace quorvale::model {
namespace {

FileItem file(const char* name, bool isDirectory = false) {
    FileItem item;
    item.name = QString::fromUtf8(name);
    item.id = item.path = QLatin1Char('/') + item.name;
    item.isDirectory = isDirectory;
    return item;
}

TEST(FileItemIconTest, SymbolsFollowTheLowerCasedExtension) {
    EXPECT_EQ(file("photo.JPG").iconName(), QStringLiteral("photo"));
    EXPECT_EQ(file("clip.wmv").iconName(), QStringLiteral("film"));
    EXPECT_EQ(file("main.h").iconName(), QStringLiteral("chevron.left.forwardslash.chevron.right"));
    EXPECT_EQ(file("archive.tar.gz").iconName(), QStringLiteral("archivebox"));
    EXPECT_EQ(file("boot.dtbo").iconName(), QStringLiteral("cpu"));
    EXPECT_EQ(file("Makefile").iconName(), QStringLiteral("doc"));
    EXPECT_EQ(file("trailing.").iconName(), QStringLiteral("doc"));
    EXPECT_EQ(file("data.csv").iconName(), QStringLiteral("tablecells"));
    EXPECT_EQ(file("x.svg").iconName(), QStringLiteral("photo"));
    // Links are tinted and drawn by their name like any other file.
    FileItem link = file("song.flac");
    link.isSymlink = true;
    EXPECT_EQ(link.iconName(), QStringLiteral("music.note"));
    // A directory is a folder whatever its name says.
    EXPECT_EQ(file("pictures.png", true).iconName(), QStringLiteral("folder.fill"));

    EXPECT_EQ(FileItem::symbolName(QStringLiteral("PDF")), QStringLiteral("doc.richtext"));
    EXPECT_EQ(FileItem::symbolName(QStringLiteral("env")), QStringLiteral("gearshape.2"));
    EXPECT_EQ(FileItem::symbolName(QString()), QStringLiteral("doc"));
}

TEST(FileItemIconTest, TintsUseTheShorterLists) {
    const QColor secondary = textSecondaryColor();
    EXPECT_EQ(file("docs", true).iconColor(), QColor(26, 86, 219));
    EXPECT_EQ(file("photo.JPG").iconColor(), QColor(namedColor(NamedColor::purple)));
    EXPECT_EQ(file("clip.mkv").iconColor(), QColor(namedColor(NamedColor::pink)));
    EXPECT_EQ(file("clip.wmv").iconColor(), secondary);
    EXPECT_EQ(file("a.flac").iconColor(), QColor(namedColor(NamedColor::orange)));
    EXPECT_EQ(file("a.ogg").iconColor(), secondary);
    EXPECT_EQ(file("a.pdf").iconColor(), QColor(namedColor(NamedColor::red)));
    EXPECT_EQ(file("main.rs").iconColor(), QColor(namedColor(NamedColor::green)));
    EXPECT_EQ(file("main.h").iconColor(), secondary);
    EXPECT_EQ(file("a.7z").iconColor(), QColor(namedColor(NamedColor::brown)));
    EXPECT_EQ(file("a.xz").iconColor(), secondary);
    EXPECT_EQ(file("README").iconColor(), secondary);
}

TEST(FileItemTextTest, ExtensionDecidesAndBareNamesAreChecked) {
    EXPECT_TRUE(file("Makefile").isTextFile());
    EXPECT_TRUE(file("LICENSE").isTextFile());
    EXPECT_TRUE(file("readme").isTextFile());
    EXPECT_TRUE(file("notes.TXT").isTextFile());
    EXPECT_TRUE(file(".gitignore").isTextFile());
    EXPECT_TRUE(file("overlay.dtoverlay").isTextFile());
    EXPECT_TRUE(file("build.Dockerfile").isTextFile());
    EXPECT_FALSE(file("notes.pdf").isTextFile());
    EXPECT_FALSE(file("archive.tar.gz").isTextFile());
    EXPECT_FALSE(file("license.bin").isTextFile());
    EXPECT_FALSE(file("kernel").isTextFile());
    EXPECT_FALSE(file("Makefile.").isTextFile());  // "." makes an empty extension, name differs
}

}  // namespace
}  // namespace quorvale::model
