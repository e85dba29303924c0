// tree: a folder and everything under it, drawn with branches; links are shown, never followed.

#include "cli_support.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app::cli {
namespace {

struct Counts {
    int folders = 0;
    int files = 0;
};

QCoro::Task<void> printBranch(Session& session, QString partition, QString folder, QString indent,
                              Counts& counts) {
    const QList<model::FileItem> items =
        co_await session.service().listDirectory(folder, partition);
    for (qsizetype i = 0; i < items.size(); ++i) {
        const model::FileItem& item = items[i];
        const bool last = i == items.size() - 1;
        QString line =
            indent + (last ? QStringLiteral("└── ") : QStringLiteral("├── ")) + item.name;
        const bool descend = item.isDirectory && !item.isSymlink;
        if (descend)
            line += QLatin1Char('/');
        if (item.symlinkTarget)
            line += QStringLiteral(" -> ") + *item.symlinkTarget;
        print(line);
        if (descend) {
            ++counts.folders;
            co_await printBranch(session, partition, item.path,
                                 indent + (last ? QStringLiteral("    ") : QStringLiteral("│   ")),
                                 counts);
        } else {
            ++counts.files;
        }
    }
}

}  // namespace

QCoro::Task<void> treeCommand(Session& session, Remote remote) {
    print(remote.path);
    Counts counts;
    co_await printBranch(session, remote.partition, remote.path, QString(), counts);
    print(QString());
    print(QStringLiteral("%1 director%2, %3 file%4")
              .arg(counts.folders)
              .arg(counts.folders == 1 ? "y" : "ies")
              .arg(counts.files)
              .arg(counts.files == 1 ? "" : "s"));
}

}  // namespace quorvale::app::cli
