#pragma once
// Copies of whole trees between a card and this computer: folders (empty ones too), files with
// their permission bits (never set-user-ID or set-group-ID) and modification times, and
// symbolic links as links. A link is never followed on either side: on this computer every
// folder is opened below the chosen one without passing a link, so no name from a card can
// lead out of it. Special files are left out with a note. A name that is taken goes to the
// ConflictPolicy; a folder onto a folder merges, and its entries meet their own conflicts.
//
// One progress covers the whole job; a cancel ends it after the file in flight, which is
// removed (finished files stay). The service must outlive the call.

#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>

#include "fileops/conflicts.h"
#include "fileops/file_operation_service.h"
#include "model/file_item.h"

namespace quorvale::fileops {

struct TreeProgress {
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    int filesDone = 0;
    int filesTotal = 0;
    QString currentFile;  // below the target folder ("photos/2020/a.jpg")
};

struct TreeOptions {
    std::optional<QString> partition;
    std::stop_token stop;
    ConflictPolicy conflicts = ConflictPolicy::failing();
    std::function<void(const TreeProgress&)> progress;
    // Told of each file done: its name, its bytes and where it went on the target side.
    std::function<void(const QString& name, std::uint64_t bytes, const QString& path)> fileDone;
    // The name of the one top entry on the target side, when it is not to keep its own.
    QString topName;
    std::size_t chunkBytes = std::size_t{4} << 20;
};

struct TreeReport {
    TransferOutcome outcome = TransferOutcome::completed;
    int filesDone = 0;
    int filesTotal = 0;
    int skipped = 0;      // entries left as they were after a conflict
    QStringList written;  // the top entries made, as paths on the target side
    QStringList notes;    // what was left out, and why
};

// Copies the card entries `items` (files, folders, links) into the local folder `folder`.
QCoro::Task<TreeReport> exportTree(FileOperationService& service, QList<model::FileItem> items,
                                   QString folder, TreeOptions options);
// Copies the local entries `paths` into the card folder `folder`.
QCoro::Task<TreeReport> uploadTree(FileOperationService& service, QStringList paths, QString folder,
                                   TreeOptions options);

}  // namespace quorvale::fileops
