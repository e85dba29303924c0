#pragma once
// Keeps a staged card's pending list truthful for the changes made in a browser: before a
// change is sent, an upload or duplicate the overlay has no room for is refused; once the guest
// has done it, and only then, it is recorded. A change the guest refused never appears. Sizes
// of deleted and duplicated files come from the browser's listing.

namespace quorvale::app {

class DeviceListViewModel;
class FileBrowserViewModel;

// Sets the browser's change observers; `devices` is held weakly.
void followStagedChanges(FileBrowserViewModel& files, DeviceListViewModel& devices);

}  // namespace quorvale::app
