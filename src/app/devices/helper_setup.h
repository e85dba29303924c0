#pragma once
// Whether the helper daemon can be set up from this copy of the application: a build that runs
// from its build tree has no installed helper to register until the build is installed once.

#include <QString>

#include <optional>

namespace quorvale::app {

// The one command that installs the helper (with the rest of the build) when `installedHelper`
// is missing and the application runs from `buildDirectory`: "sudo cmake --install DIR".
// Nothing when the helper is installed, or when this is not a build tree (an installed
// application without its helper reports the failure when it is registered).
std::optional<QString> helperInstallCommand(const QString& installedHelper,
                                            const QString& applicationDirectory,
                                            const QString& buildDirectory);

// `text` as one word for a POSIX shell, quoted only when it has to be.
QString shellWord(const QString& text);

}  // namespace quorvale::app
