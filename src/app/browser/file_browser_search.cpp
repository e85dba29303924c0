// FileBrowserViewModel: the search through every folder below the current one.

#include <QPointer>

#include "app/browser/file_browser_view_model.h"
#include "app/core/app_log.h"

namespace quorvale::app {

using fileops::lcFileOps;
using model::FileItem;

void FileBrowserViewModel::setSearchesSubfolders(bool value) {
    if (searchesSubfolders_ == value)
        return;
    searchesSubfolders_ = value;
    if (!value) {
        stopSearch();
        searchResults_.clear();
        searchOutcome_.reset();
    }
    Q_EMIT searchStateChanged();
    applyFilterAndSort();
}

void FileBrowserViewModel::stopSearch() {
    ++searchGeneration;  // batches still on their way are dropped
    if (!searchStop)
        return;
    searchStop->request_stop();
    searchStop.reset();
    Q_EMIT searchStateChanged();
}

// Made outside the coroutine: g++ 12 mishandles captures of lambdas made in coroutine bodies.
fileops::SearchResultsHandler FileBrowserViewModel::searchResultsTo(std::uint64_t generation) {
    QPointer<FileBrowserViewModel> self(this);
    return [self, generation](QList<FileItem> found) {
        if (!self || self->searchGeneration != generation)
            return;
        self->searchResults_.append(std::move(found));
        self->applyFilterAndSort();
    };
}

QCoro::Task<void> FileBrowserViewModel::searchSubfolders() {
    stopSearch();
    searchOutcome_.reset();
    if (!showsSearchResults() || !fileOpService) {
        searchResults_.clear();
        applyFilterAndSort();
        co_return;
    }
    const std::uint64_t generation = searchGeneration;
    std::stop_source stop;
    searchStop = stop;
    searchResults_.clear();
    applyFilterAndSort();
    Q_EMIT searchStateChanged();

    QPointer<FileBrowserViewModel> self(this);
    const auto service = fileOpService;
    fileops::SearchResultsHandler found = searchResultsTo(generation);
    std::optional<fileops::SearchOutcome> outcome;
    QString failure;
    try {
        outcome = co_await service->search(currentPath_, searchQuery_, currentPartition,
                                           std::move(found), stop.get_token(), maxSearchResults);
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self || searchGeneration != generation)
        co_return;
    searchStop.reset();
    searchOutcome_ = outcome;
    if (!outcome) {
        setError(QStringLiteral("Search failed: ") + failure);
        qCCritical(lcFileOps, "Search failed: %s", qUtf8Printable(failure));
    }
    Q_EMIT searchStateChanged();
}

}  // namespace quorvale::app
