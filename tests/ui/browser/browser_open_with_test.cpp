// Open With… over the real agent: the chooser lists the desktop's applications for the file's
// type, and the chosen one is started on an exported copy of the file.

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "browser_fixture.h"
#include "ui/common/screenshot.h"
#include "ui/sheets/open_with_sheet.h"
#include "vm/qstring_printer.h"

namespace quorvale::test {
namespace {

class BrowserOpenWithTest : public BrowserTest {
protected:
    BrowserOpenWithTest() {
        qputenv("XDG_DATA_HOME", QFile::encodeName(desktop.filePath("data")));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(desktop.filePath("system")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(desktop.filePath("config")));
        // The system's types, but only the applications made here.
        QDir().mkpath(desktop.filePath("system"));
        QFile::link("/usr/share/mime", desktop.filePath("system/mime"));
        // A text viewer that copies what it is given, and an image editor.
        QDir().mkpath(desktop.filePath("system/applications"));
        script = desktop.filePath("viewer.sh");
        writeText(script, "#!/bin/sh\ncp \"$1\" \"" + desktop.filePath("seen").toUtf8() + "\"\n");
        QFile(script).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        writeText(desktop.filePath("system/applications/viewer.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Plain Viewer\nExec=\"" +
                      script.toUtf8() + "\" %f\nMimeType=text/plain;\n");
        writeText(desktop.filePath("system/applications/paint.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Paint\nExec=paint %U\n"
                  "MimeType=image/png;\n");
    }
    ~BrowserOpenWithTest() override {
        for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME"})
            qunsetenv(name);
    }
    static void writeText(const QString& path, const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    static QStringList rows(QListWidget* list) {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }

    QTemporaryDir desktop;
    QString script;
};

TEST_F(BrowserOpenWithTest, TheChosenApplicationOpensAnExportedCopy) {
    agent.writeFile("notes.md", "# remember the milk\n");
    open();
    QMenu* menu = view->entryMenu(view->itemModel()->item(0));
    QAction* openWith = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == "Open With…")
            openWith = action;
    ASSERT_TRUE(openWith);
    openWith->trigger();
    auto* sheet = view->findChild<ui::OpenWithSheet*>("openWithSheet");
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    // Markdown is a kind of plain text; the image editor is offered only when asked for all.
    EXPECT_EQ(rows(sheet->applicationList()), QStringList{"Plain Viewer"});
    sheet->showAllBox()->setChecked(true);
    EXPECT_EQ(rows(sheet->applicationList()), (QStringList{"Paint", "Plain Viewer"}));
    sheet->showAllBox()->setChecked(false);
    saveScreenshot(*sheet, "browser_open_with", {420, 380});

    QTest::mouseClick(sheet->openButton(), Qt::LeftButton);
    // The application writes what it was given; the file may exist before its bytes do.
    QByteArray seen;
    testing::spinUntil([&] {
        QFile file(desktop.filePath("seen"));
        seen = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        return seen == "# remember the milk\n";
    });
    EXPECT_EQ(seen, "# remember the milk\n");
}

TEST_F(BrowserOpenWithTest, AKindNothingOpensSaysSo) {
    agent.writeFile("blob.qzx9", "?");
    open();
    view->beginOpenWith(view->itemModel()->item(0));
    auto* sheet = view->findChild<ui::OpenWithSheet*>("openWithSheet");
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->applicationList()->count(), 0);
    EXPECT_TRUE(sheet->emptyLabel()->isVisible());
    EXPECT_FALSE(sheet->openButton()->isEnabled());
    sheet->reject();
}

}  // namespace
}  // namespace quorvale::test
