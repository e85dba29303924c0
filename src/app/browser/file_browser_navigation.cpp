// FileBrowserViewModel: Back and Forward through the folders visited, and selection gestures.

#include "app/browser/file_browser_view_model.h"

namespace quorvale::app {

QCoro::Task<void> FileBrowserViewModel::goBack() {
    const std::optional<QString> path = history.back(currentPath_);
    if (!path)
        co_return;
    Q_EMIT historyChanged();
    co_await showDirectory(*path);
}

QCoro::Task<void> FileBrowserViewModel::goForward() {
    const std::optional<QString> path = history.forward(currentPath_);
    if (!path)
        co_return;
    Q_EMIT historyChanged();
    co_await showDirectory(*path);
}

void FileBrowserViewModel::clearHistory() {
    if (!canGoBack() && !canGoForward())
        return;
    history.clear();
    Q_EMIT historyChanged();
}

void FileBrowserViewModel::reset() {
    clearHistory();
    setSearchQuery(QString());
    setError(std::nullopt);
    clearListing();
    setCurrentPath(QStringLiteral("/"));
    pathComponents_ = breadcrumb(currentPath_);
    Q_EMIT pathComponentsChanged();
}

void FileBrowserViewModel::clearListing() {
    ++sortGeneration;  // a sort still running is stale
    stopSearch();
    searchResults_.clear();
    allFiles_.clear();
    anchor.reset();
    setSelectedFiles({});
    if (!files_.isEmpty())
        setFiles({});
}

void FileBrowserViewModel::selectEntry(const QString& id, SelectionGesture gesture) {
    SelectionChange change = applySelectionGesture(files_, selectedFiles_, anchor, id, gesture);
    anchor = change.anchor;
    setSelectedFiles(change.selected);
}

}  // namespace quorvale::app
