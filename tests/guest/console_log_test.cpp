// The console log is made afresh at each boot and never written through what sits at its name.

#include "guest/console_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace quorvale::guest {
namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TEST(ConsoleLog, IsCreatedEmptyWithoutFollowingWhatIsAtItsName) {
    QTemporaryDir directory;
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    const QString log = directory.filePath(QLatin1String(consoleLogName));
    const struct {
        const char* what;
        void (*plant)(const QString& log, const QString& victim);
    } cases[] = {
        {"nothing", [](const QString&, const QString&) {}},
        {"an older log",
         [](const QString& log, const QString&) {
             QFile file(log);
             file.open(QIODevice::WriteOnly);
             file.write("left over from an earlier boot\n");
         }},
        {"a symlink to another file",
         [](const QString& log, const QString& victim) { QFile::link(victim, log); }},
        {"a dangling symlink",
         [](const QString& log, const QString& victim) { QFile::link(victim + ".none", log); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(log);
        QFile file(victim);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("victim");
        file.close();
        c.plant(log, victim);
        EXPECT_EQ(createConsoleLog(directory.path()), log);
        EXPECT_FALSE(QFileInfo(log).isSymLink());
        EXPECT_EQ(contents(log), QByteArray());
        EXPECT_EQ(contents(victim), "victim");
        EXPECT_FALSE(QFileInfo::exists(victim + ".none"));
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(log).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // A directory at the name cannot be replaced: no log then.
    QFile::remove(log);
    ASSERT_TRUE(QDir(directory.path()).mkdir(QLatin1String(consoleLogName)));
    EXPECT_EQ(createConsoleLog(directory.path()), std::nullopt);
    EXPECT_TRUE(QFileInfo(log).isDir());
}

}  // namespace
}  // namespace quorvale::guest
