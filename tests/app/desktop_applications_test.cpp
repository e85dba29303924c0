// Desktop entries for Open With: parsing, the command line that opens a file, and which
// applications are offered for a type, from real XDG folders made for the test.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/browser/desktop_applications.h"

namespace quorvale::app {
namespace {

QStringList split(const char* exec) {
    return splitExec(QString::fromUtf8(exec)).value_or(QStringList{"<broken>"});
}

TEST(DesktopApplications, ExecLinesSplitAsDesktopEntriesQuoteThem) {
    EXPECT_EQ(split("gedit %U"), (QStringList{"gedit", "%U"}));
    EXPECT_EQ(split("  env  A=1   viewer --new-window %f "),
              (QStringList{"env", "A=1", "viewer", "--new-window", "%f"}));
    EXPECT_EQ(split(R"("/opt/My App/run" "a \"quoted\" \$word" %F)"),
              (QStringList{"/opt/My App/run", R"(a "quoted" $word)", "%F"}));
    EXPECT_EQ(split(R"(sh -c "echo \\ back")"), (QStringList{"sh", "-c", R"(echo \ back)"}));
    EXPECT_EQ(split(R"(run "unterminated)"), QStringList{"<broken>"});
    EXPECT_EQ(split(""), QStringList{});
}

TEST(DesktopApplications, TheFileIsOneArgumentOfItsOwnWhereTheEntrySaysSo) {
    DesktopApplication app;
    app.name = "Viewer";
    app.icon = "viewer";
    const QString file = "/home/me/.cache/opened/x1/a b;$(rm -rf ~).txt";
    app.exec = {"viewer", "--title=%c", "%f"};
    EXPECT_EQ(launchArguments(app, file), (QStringList{"viewer", "--title=Viewer", file}));
    app.exec = {"viewer", "%U", "%i", "--x=%k%d%%"};
    const QStringList withUrl = launchArguments(app, file);
    ASSERT_EQ(withUrl.size(), 5);
    EXPECT_TRUE(withUrl[1].startsWith("file:///home/me/")) << withUrl[1].toStdString();
    EXPECT_FALSE(withUrl[1].contains(' '));
    EXPECT_EQ(QUrl(withUrl[1]).toLocalFile(), file);
    EXPECT_EQ(withUrl.mid(2), (QStringList{"--icon", "viewer", "--x=%"}));
    app.exec = {"viewer", "--new"};
    EXPECT_EQ(launchArguments(app, file), (QStringList{"viewer", "--new", file}));
}

TEST(DesktopApplications, OnlyVisibleApplicationsWithAProgramAreEntries) {
    const auto parse = [](const QString& body) {
        return parseDesktopEntry("x.desktop", "# comment\n[Desktop Entry]\n" + body +
                                                  "\n[Desktop Action new]\nExec=other %f\n");
    };
    const auto good = parse(
        "Type=Application\nName=Edit\\sIt\nName[de]=Bearbeiten\nExec=edit "
        "%f\nMimeType=text/plain;text/x-csrc;\nIcon=edit");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->name, "Edit It");
    EXPECT_EQ(good->exec, (QStringList{"edit", "%f"})) << "the action's Exec is not the entry's";
    EXPECT_EQ(good->mimeTypes, (QStringList{"text/plain", "text/x-csrc"}));
    EXPECT_FALSE(parse("Type=Link\nName=L\nExec=edit %f"));
    EXPECT_FALSE(parse("Type=Application\nName=H\nExec=edit %f\nHidden=true"));
    EXPECT_FALSE(parse("Type=Application\nName=N\nExec=edit %f\nNoDisplay=true"));
    EXPECT_FALSE(parse("Type=Application\nName=E"));
    EXPECT_FALSE(parse("Type=Application\nName=Q\nExec=\"edit %f"));
    EXPECT_FALSE(parse("Type=Application\nName=T\nExec=edit %f\nTryExec=/nonexistent/edit"));
}

class DesktopFolders : public ::testing::Test {
protected:
    DesktopFolders() {
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(system.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(system.filePath("xdg")));
        // The system's types, but only the applications made here.
        QFile::link("/usr/share/mime", system.filePath("mime"));
    }
    ~DesktopFolders() override {
        for (const char* name :
             {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"})
            qunsetenv(name);
    }
    static void write(const QString& path, const QByteArray& text) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    void entry(const QString& folder, const QString& id, const QByteArray& name,
               const QByteArray& types, const QByteArray& exec = "app %f") {
        write(folder + "/applications/" + id, "[Desktop Entry]\nType=Application\nName=" + name +
                                                  "\nExec=" + exec + "\nMimeType=" + types + "\n");
    }
    static QStringList names(const QList<DesktopApplication>& apps) {
        QStringList out;
        for (const DesktopApplication& app : apps)
            out << app.name;
        return out;
    }

    QTemporaryDir home;
    QTemporaryDir system;
};

TEST_F(DesktopFolders, ApplicationsForATypeAndItsParentsWithTheDefaultFirst) {
    const QString user = home.filePath("data");
    entry(system.path(), "zed.desktop", "Zed", "text/plain;");
    entry(system.path(), "code.desktop", "Code Editor", "text/x-csrc;");
    entry(system.path(), "paint.desktop", "Paint", "image/png;");
    entry(system.path(), "launcher.desktop", "Launcher", "text/plain;", "launcher");
    entry(system.path(), "shadowed.desktop", "System Copy", "text/plain;");
    entry(user, "shadowed.desktop", "My Copy", "text/plain;");
    EXPECT_EQ(mimeTypeForName("main.c"), "text/x-csrc");
    // text/x-csrc is a kind of text/plain; an entry without a file in its Exec opens nothing.
    EXPECT_EQ(names(applicationsFor("text/x-csrc")),
              (QStringList{"Code Editor", "My Copy", "Zed"}));
    EXPECT_EQ(names(applicationsFor("text/plain")), (QStringList{"My Copy", "Zed"}));
    EXPECT_EQ(names(applicationsFor("image/png")), QStringList{"Paint"});
    EXPECT_EQ(names(applicationsFor("application/x-nothing-opens-this")), QStringList{});
    EXPECT_EQ(names(applicationsFor("application/x-nothing-opens-this", true)),
              (QStringList{"Code Editor", "My Copy", "Paint", "Zed"}));

    write(home.filePath("config/mimeapps.list"),
          "[Added Associations]\ntext/x-csrc=paint.desktop;\n"
          "[Default Applications]\ntext/x-csrc=zed.desktop;code.desktop;\n");
    EXPECT_EQ(names(applicationsFor("text/x-csrc")),
              (QStringList{"Zed", "Code Editor", "My Copy"}));
}

}  // namespace
}  // namespace quorvale::app
