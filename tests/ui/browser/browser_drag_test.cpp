// Files dragged in from a desktop file manager are uploaded; entries dragged out are exported
// first and handed over as file URLs.

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>

#include "browser_fixture.h"

namespace quorvale::test {
namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QCoro::Task<void> exportForDrag(ui::FileBrowserView* view, std::optional<QList<QUrl>>* urls) {
    *urls = co_await view->exportSelectionForDrag();
}

TEST_F(BrowserTest, DroppedFileUrlsAreUploaded) {
    QTemporaryDir desktop;
    const QString photo = desktop.filePath(QStringLiteral("holiday.jpg"));
    const QByteArray bytes(300'000, 'j');
    {
        QFile file(photo);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    open();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(photo), QUrl(QStringLiteral("https://example.org/x"))});
    const QPoint at = view->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());

    ASSERT_TRUE(testing::spinUntil([&] {
        return readAll(agent.rootPath(QStringLiteral("holiday.jpg"))) == bytes &&
               !view->viewModel()->isTransferring();
    }));
    ASSERT_TRUE(testing::spinUntil([&] { return view->viewModel()->files().size() == 1; }));
    EXPECT_EQ(view->viewModel()->files().constFirst().name, QStringLiteral("holiday.jpg"));
    EXPECT_FALSE(appState.activeAlert());
}

TEST_F(BrowserTest, DropWithoutLocalFilesIsRefused) {
    open();
    QMimeData data;
    data.setText(QStringLiteral("just text"));
    QDragEnterEvent enter(view->rect().center(), Qt::CopyAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    enter.setAccepted(false);
    QCoreApplication::sendEvent(view.get(), &enter);
    EXPECT_FALSE(enter.isAccepted());
}

TEST_F(BrowserTest, DragOutExportsTheSelectedFilesAndFolders) {
    agent.writeFile(QStringLiteral("notes.txt"), "first notes");
    agent.writeFile(QStringLiteral("data.bin"), QByteArray(5'000'000, '\x7f'));
    agent.makeDirectory(QStringLiteral("folder"));
    agent.writeFile(QStringLiteral("folder/inside.txt"), "inside");
    open();
    QSet<QString> everything;
    for (const model::FileItem& item : view->viewModel()->files())
        everything.insert(item.id);
    ASSERT_EQ(everything.size(), 3);
    view->viewModel()->setSelectedFiles(everything);

    std::optional<QList<QUrl>> urls;
    testing::run(exportForDrag(view.get(), &urls));
    ASSERT_TRUE(urls.has_value());
    ASSERT_EQ(urls->size(), 3);
    QMap<QString, QByteArray> handedOut;
    for (const QUrl& url : *urls) {
        ASSERT_TRUE(url.isLocalFile());
        handedOut.insert(QFileInfo(url.toLocalFile()).fileName(), readAll(url.toLocalFile()));
    }
    EXPECT_EQ(handedOut.value(QStringLiteral("notes.txt")), "first notes");
    EXPECT_EQ(handedOut.value(QStringLiteral("data.bin")), QByteArray(5'000'000, '\x7f'));
    for (const QUrl& url : *urls) {
        if (url.fileName() == "folder") {
            EXPECT_EQ(readAll(url.toLocalFile() + "/inside.txt"), "inside");
        }
    }

    view->viewModel()->setSelectedFiles({});
    testing::run(exportForDrag(view.get(), &urls));
    EXPECT_FALSE(urls.has_value());
}

}  // namespace
}  // namespace quorvale::test
