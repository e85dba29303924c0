// Drags out of the browser onto an X client that saves directly (XdndDirectSave0): the entry
// is exported after the drop to the place the target names, never over a file that is there,
// never while the button is held, and never to a place the target's URI only pretends to be.
// Runs on an X server of its own (run_on_x.sh), with the mouse driven through QTest.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "browser_fixture.h"
#include "ui/browser/direct_save.h"
#include "ui/common/screenshot.h"
#include "ui/sheets/conflict_sheet.h"
#include "xdnd_target.h"

namespace quorvale::test {
namespace {

using namespace std::chrono_literals;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList namesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

QByteArray fileUri(const QString& path) {
    return QByteArrayLiteral("file://") + QUrl::toPercentEncoding(path, "/");
}

class DirectSaveTest : public BrowserTest {
protected:
    void SetUp() override {
        if (!ui::DirectSave::available())
            FAIL() << "needs the xcb platform: run through run_on_x.sh";
        ASSERT_TRUE(target.isReady());
    }

    // The middle of the entry at `row` in the view shown (the grid or the list).
    QPoint entryCenter(int row) const {
        const bool list = appState.viewMode() == app::ViewMode::list;
        QAbstractItemView* shown = list ? static_cast<QAbstractItemView*>(view->list())
                                        : static_cast<QAbstractItemView*>(view->grid());
        const QRect rect = shown->visualRect(view->itemModel()->index(row, 0));
        return shown->viewport()->mapTo(view.get(), rect.center());
    }

    // Presses on the entry at `row`, drags it out of the browser onto the target and releases
    // it there once the target has accepted it; returns after the drop.
    void dragToTarget(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        target.reset();
        QWindow* window = view->windowHandle();
        const QPoint start = entryCenter(row);
        const QPoint onTarget = window->mapFromGlobal(targetArea.center());
        QCursor::setPos(window->mapToGlobal(start));
        QTest::qWait(50);
        QTest::mousePress(window, Qt::LeftButton, modifiers, start);
        // The drag runs its own event loop from the move that starts it: the rest of the
        // gesture happens on a timer inside it.
        int step = 0;
        QTimer gesture;
        QObject::connect(&gesture, &QTimer::timeout, [&] {
            if (step == 0 || target.statusesSent == 0) {
                QTest::mouseEvent(QTest::MouseMove, window, Qt::NoButton, modifiers,
                                  onTarget + QPoint(step % 2, 0));
                ++step;
            } else {
                gesture.stop();
                QTest::mouseRelease(window, Qt::LeftButton, modifiers, onTarget);
            }
        });
        gesture.start(100);
        // The first move arms the view's drag, the second, farther than the drag distance,
        // begins it.
        QTest::mouseEvent(QTest::MouseMove, window, Qt::NoButton, modifiers, start + QPoint(4, 0));
        QTest::mouseEvent(QTest::MouseMove, window, Qt::NoButton, modifiers, start + QPoint(40, 0));
        gesture.stop();
    }

    void waitForAnswer() {
        ASSERT_TRUE(testing::spinUntil([&] { return target.finished; }, 20s));
        ASSERT_TRUE(testing::spinUntil([&] { return !view->viewModel()->isTransferring(); }));
    }

    const QRect targetArea{1000, 100, 250, 250};
    XdndTarget target{targetArea};
    QTemporaryDir home;
};

TEST_F(DirectSaveTest, DroppedFileIsSavedWhereTheTargetAsksAndOnlyAfterTheDrop) {
    QByteArray bytes(3'000'000, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    agent.writeFile(QStringLiteral("notes.txt"), bytes);
    open();
    const QString chosen = home.filePath(QStringLiteral("saved é notes.txt"));
    target.uri = fileUri(chosen);
    // A target asking while the button is still down is refused and nothing is written then.
    target.askBeforeDrop = true;
    clickTile(0);
    dragToTarget(0);
    waitForAnswer();

    EXPECT_TRUE(target.offeredTypes.contains(QStringLiteral("XdndDirectSave0")));
    EXPECT_TRUE(target.offeredTypes.contains(QStringLiteral("text/uri-list")));
    EXPECT_EQ(target.proposedName, "notes.txt");
    ASSERT_TRUE(target.earlyAnswer.has_value());
    EXPECT_EQ(*target.earlyAnswer, QByteArray());
    EXPECT_EQ(target.answer, QByteArray("S"));
    EXPECT_EQ(namesIn(home.path()), QStringList{QStringLiteral("saved é notes.txt")});
    EXPECT_TRUE(readAll(chosen) == bytes);
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(DirectSaveTest, TakenNameIsAskedAboutAndNeverOverwritten) {
    agent.writeFile(QStringLiteral("notes.txt"), "from the card");
    open();
    const QString taken = home.filePath(QStringLiteral("notes.txt"));
    {
        QFile file(taken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("mine");
    }
    target.uri = fileUri(taken);
    clickTile(0);

    struct Case {
        fileops::ConflictAction choice;
        QByteArray answer;
        QStringList names;
    };
    const Case cases[] = {
        {fileops::ConflictAction::skip, "E", {"notes.txt"}},
        {fileops::ConflictAction::keepBoth, "S", {"notes 2.txt", "notes.txt"}},
    };
    bool pictured = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.choice));
        int asked = 0;
        QTimer answerSheet;
        QObject::connect(&answerSheet, &QTimer::timeout, [&] {
            auto* sheet = view->findChild<ui::ConflictSheet*>();
            if (!sheet || !sheet->isVisible() || sheet->result() != 0)
                return;
            if (!pictured) {
                // The whole screen, as the user sees it: the browser asking, the target beside.
                const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
                QDir().mkpath(screenshotDirectory());
                EXPECT_TRUE(screen.save(screenshotDirectory() +
                                        QStringLiteral("/direct_save_conflict.png")));
                pictured = true;
            }
            ++asked;
            sheet->button(c.choice)->click();
        });
        answerSheet.start(50);
        dragToTarget(0);
        waitForAnswer();
        answerSheet.stop();
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(target.answer, c.answer);
        EXPECT_EQ(namesIn(home.path()), c.names);
        EXPECT_EQ(readAll(taken), "mine");
    }
    EXPECT_EQ(readAll(home.filePath(QStringLiteral("notes 2.txt"))), "from the card");
}

TEST_F(DirectSaveTest, PlacesThatAreNotPlainLocalPathsAreRefused) {
    agent.writeFile(QStringLiteral("notes.txt"), "from the card");
    open();
    QDir(home.path()).mkdir(QStringLiteral("inner"));
    const QString inner = home.filePath(QStringLiteral("inner"));
    const struct {
        QByteArray uri;
        QByteArray answer;
    } cases[] = {
        {"http://example.org/notes.txt", "F"},
        {"file://elsewhere.example.org" + QFile::encodeName(inner) + "/notes.txt", "F"},
        {"file:notes.txt", "E"},
        {QFile::encodeName(inner) + "/notes.txt", "E"},
        {fileUri(inner) + "/../notes.txt", "E"},
        {fileUri(inner) + "/%2e%2e/notes.txt", "E"},
        {fileUri(inner) + "/", "E"},
    };
    clickTile(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri.toStdString());
        target.uri = c.uri;
        dragToTarget(0);
        waitForAnswer();
        EXPECT_EQ(target.answer, c.answer);
    }
    EXPECT_EQ(namesIn(home.path()), QStringList{QStringLiteral("inner")});
    EXPECT_TRUE(namesIn(inner).isEmpty());
}

TEST_F(DirectSaveTest, SeveralEntriesAreOfferedAsFileUrlsOnly) {
    agent.writeFile(QStringLiteral("a.txt"), "a");
    agent.writeFile(QStringLiteral("b.txt"), "b");
    open();
    target.uri = fileUri(home.filePath(QStringLiteral("a.txt")));
    // In the list this time: a plain press on a selected row drags the whole selection.
    appState.setViewMode(app::ViewMode::list);
    QTest::qWait(20);
    QTest::mouseClick(view->windowHandle(), Qt::LeftButton, Qt::NoModifier, entryCenter(0));
    QTest::mouseClick(view->windowHandle(), Qt::LeftButton, Qt::ControlModifier, entryCenter(1));
    ASSERT_EQ(selectedNames().size(), 2);
    dragToTarget(1);
    EXPECT_EQ(selectedNames().size(), 2);
    ASSERT_TRUE(testing::spinUntil([&] { return target.finished; }, 20s));
    EXPECT_TRUE(target.offeredTypes.contains(QStringLiteral("text/uri-list")));
    EXPECT_FALSE(target.offeredTypes.contains(QStringLiteral("XdndDirectSave0")));
    EXPECT_FALSE(target.answer.has_value());
    EXPECT_TRUE(namesIn(home.path()).isEmpty());
}

}  // namespace
}  // namespace quorvale::test
