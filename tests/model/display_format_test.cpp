#include <gtest/gtest.h>

#include <QLocale>

#include "model/display_format.h"
#include "model/file_item.h"

namespace quorvale::model {
namespace {

TEST(PermissionStringTest, TripletsFromTheLowNineBits) {
    EXPECT_EQ(permissionString(0755, true), QStringLiteral("drwxr-xr-x"));
    EXPECT_EQ(permissionString(493, true), QStringLiteral("drwxr-xr-x"));
    EXPECT_EQ(permissionString(0644, false), QStringLiteral("-rw-r--r--"));
    EXPECT_EQ(permissionString(0, false), QStringLiteral("----------"));
    EXPECT_EQ(permissionString(0421, false), QStringLiteral("-r---w---x"));
    // File type, set-id and sticky bits are ignored.
    EXPECT_EQ(permissionString(0100644, false), QStringLiteral("-rw-r--r--"));
    EXPECT_EQ(permissionString(041777, true), QStringLiteral("drwxrwxrwx"));
}

class LocaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = QLocale();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void TearDown() override { QLocale::setDefault(saved); }
    QLocale saved;
};

TEST_F(LocaleTest, SizesUseDecimalUnits) {
    EXPECT_EQ(byteCountText(0), QStringLiteral("0 bytes"));
    EXPECT_EQ(byteCountText(1), QStringLiteral("1 byte"));
    EXPECT_EQ(byteCountText(2), QStringLiteral("2 bytes"));
    EXPECT_EQ(byteCountText(999), QStringLiteral("999 bytes"));
    EXPECT_EQ(byteCountText(1500), QStringLiteral("1.5 kB"));
    EXPECT_EQ(byteCountText(2'000'000), QStringLiteral("2.0 MB"));
    EXPECT_EQ(byteCountText(5'300'000'000), QStringLiteral("5.3 GB"));

    FileItem huge;
    huge.size = UINT64_MAX;
    EXPECT_EQ(huge.sizeText(), byteCountText(INT64_MAX));
}

TEST_F(LocaleTest, DatesUseMediumDateAndShortTime) {
    QDateTime date(QDate(2026, 12, 6), QTime(15, 4, 59), Qt::LocalTime);
    const QString text = dateText(date);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Dec 6, 2026"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("3:04"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral(":59"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("Sunday"))) << text.toStdString();
}

}  // namespace
}  // namespace quorvale::model
