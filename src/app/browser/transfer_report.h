#pragma once
// TransferReport: how an export or upload ended when it did not fail: all files done, or
// cancelled with some done. Its text is the notice the browser shows: "Exported 3 files to
// Downloads", "Uploaded “notes.txt” to docs", "Export cancelled: 2 of 5 files were exported to
// Downloads. The file in progress was not kept.", "Upload cancelled: nothing was uploaded."

#include <QString>
#include <QStringList>

namespace quorvale::app {

struct TransferReport {
    enum class Kind { exported, uploaded };

    Kind kind = Kind::exported;
    int filesDone = 0;
    int filesTotal = 0;
    bool cancelled = false;
    QString firstName;         // the first file done (names a single file)
    QString folder;            // where the files went: a local folder, or a folder of the card
    QStringList written = {};  // exports: the local entries written, in order
    QStringList notes = {};    // what was left out, and why

    // The summary, then what was left out ("Skipped … : a special file.").
    QString text() const;

    bool operator==(const TransferReport&) const = default;

private:
    QString summaryText() const;
};

}  // namespace quorvale::app
