#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/devices/helper_setup.h"

namespace quorvale::app {
namespace {

TEST(HelperSetup, TheInstallCommandIsOfferedOnlyFromABuildTreeWithoutTheHelper) {
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath("my build/src/ui/app"));
    ASSERT_TRUE(QDir(root.path()).mkpath("elsewhere/bin"));
    ASSERT_TRUE(QDir(root.path()).mkpath("my build 2/src"));
    const QString build = QDir(root.path()).filePath("my build");
    const QString appDir = build + "/src/ui/app";
    const QString helper = root.filePath("libexec/quorvale-helper");

    EXPECT_EQ(helperInstallCommand(helper, appDir, build),
              "sudo cmake --install '" + QFileInfo(build).canonicalFilePath() + "'");
    EXPECT_EQ(helperInstallCommand(helper, build, build).value_or(""),
              helperInstallCommand(helper, appDir, build).value_or("-"));
    EXPECT_FALSE(helperInstallCommand(helper, root.filePath("elsewhere/bin"), build))
        << "an installed application is not told to install its build";
    EXPECT_FALSE(helperInstallCommand(helper, build + " 2/src", build))
        << "a sibling is not inside";
    EXPECT_FALSE(helperInstallCommand(helper, appDir, root.filePath("gone")));
    EXPECT_FALSE(helperInstallCommand({}, appDir, build));

    // Installed: nothing to say.
    ASSERT_TRUE(QDir(root.path()).mkpath("libexec"));
    QFile file(helper);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_TRUE(helperInstallCommand(helper, appDir, build)) << "not executable yet";
    ASSERT_TRUE(file.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    EXPECT_FALSE(helperInstallCommand(helper, appDir, build));
}

TEST(HelperSetup, ShellWordsAreQuotedOnlyWhenNeeded) {
    EXPECT_EQ(shellWord("/home/me/build"), "/home/me/build");
    EXPECT_EQ(shellWord("/home/me/my build"), "'/home/me/my build'");
    EXPECT_EQ(shellWord("/tmp/it's"), "'/tmp/it'\\''s'");
    EXPECT_EQ(shellWord("/tmp/$(reboot)"), "'/tmp/$(reboot)'");
}

}  // namespace
}  // namespace quorvale::app
