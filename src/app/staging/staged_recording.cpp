#include "app/staging/staged_recording.h"

#include <QPointer>

#include "app/browser/file_browser_view_model.h"
#include "app/devices/device_list_view_model.h"
#include "fileops/file_operation_service.h"

namespace quorvale::app {

namespace {

// The listed size of the file a change acts on; 0 for a folder or an entry not listed.
std::uint64_t listedBytes(const FileBrowserViewModel& files, const fileops::Change& change) {
    for (const model::FileItem& item : files.allFiles())
        if (item.path == change.path && !item.isDirectory)
            return static_cast<std::uint64_t>(item.size);
    return 0;
}

}  // namespace

void followStagedChanges(FileBrowserViewModel& files, DeviceListViewModel& devices) {
    QPointer<DeviceListViewModel> staging(&devices);
    FileBrowserViewModel* browser = &files;
    files.changeObserver = [browser, staging](const fileops::Change& change) {
        if (staging && browser->currentPartition)
            staging->checkStagedChange(change, *browser->currentPartition,
                                       listedBytes(*browser, change));
    };
    files.changeDoneObserver = [browser, staging](const fileops::Change& change) {
        if (staging && browser->currentPartition)
            staging->stagedChange(change, *browser->currentPartition,
                                  listedBytes(*browser, change));
    };
}

}  // namespace quorvale::app
