// FileBrowserView searching all subfolders: the "in all subfolders" switch, a short pause after
// typing before the guest is asked, the results' folders, and the count in the status line.

#include <QTimer>

#include "ui/browser/file_browser_view.h"
#include "ui/browser/file_item_model.h"
#include "ui/browser/file_list_view.h"
#include "ui/browser/search_bar.h"

namespace quorvale::ui {

void FileBrowserView::connectSearch() {
    searchDelay = new QTimer(this);
    searchDelay->setSingleShot(true);
    searchDelay->setInterval(300);
    connect(searchDelay, &QTimer::timeout, browserVM, [this] { browserVM->searchSubfolders(); });
    connect(search, &SearchBar::subfoldersToggled, this, [this](bool on) {
        browserVM->setSearchesSubfolders(on);
        if (on)
            browserVM->searchSubfolders();
    });
    connect(browserVM, &app::FileBrowserViewModel::searchQueryChanged, this, [this] {
        // Narrowing shows at once what the last results hold; the guest is asked once typing
        // pauses. An empty text ends the search now.
        if (!browserVM->searchesSubfolders())
            return;
        if (browserVM->searchQuery().isEmpty()) {
            searchDelay->stop();
            browserVM->searchSubfolders();
        } else {
            searchDelay->start();
        }
    });
    connect(browserVM, &app::FileBrowserViewModel::searchStateChanged, this, [this] {
        search->setSearchesSubfolders(browserVM->searchesSubfolders());
        updateContent();
        updateStatus();
    });
    connect(browserVM, &app::FileBrowserViewModel::filesChanged, this, [this] {
        listView->setColumnHidden(FileItemModel::folder, !browserVM->showsSearchResults());
    });
    connect(&appState, &app::AppState::showEntryRequested, this,
            [this](const QString& path, bool isDirectory) {
                model::FileItem item;
                item.path = item.id = path;
                item.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
                item.isDirectory = isDirectory;
                if (isDirectory)
                    openItem(item);
                else
                    showInFolder(item);
            });
}

QString FileBrowserView::searchCountText() const {
    const qsizetype count = browserVM->files().size();
    QString text = count == 1 ? QStringLiteral("1 result in all subfolders")
                              : QStringLiteral("%1 results in all subfolders").arg(count);
    if (browserVM->isSearching())
        text += QStringLiteral(", searching…");
    else if (browserVM->searchOutcome() == fileops::SearchOutcome::truncated)
        text += QStringLiteral(" (the first %1 found)")
                    .arg(app::FileBrowserViewModel::maxSearchResults);
    return text;
}

QCoro::Task<void> FileBrowserView::showInFolder(model::FileItem item) {
    QPointer<FileBrowserView> self(this);
    browserVM->setSearchQuery(QString());
    const qsizetype slash = item.path.lastIndexOf(QLatin1Char('/'));
    // A named value: g++ 12 mis-copies a temporary handed to a coroutine.
    const QString folder = slash <= 0 ? QStringLiteral("/") : item.path.left(slash);
    co_await browserVM->navigateTo(folder);
    if (self)
        browserVM->selectEntry(item.id, app::SelectionGesture::only);
}

}  // namespace quorvale::ui
