#pragma once
// The VM console log: "quorvale-vm-console.log" in a directory private to one instance of the
// app (0700, made afresh in the user's runtime directory), so no other local user can plant a
// link at its name. The file is created anew at every boot without following anything at its
// name: a symlink or file there is removed first, never written through.

#include <QString>

#include <optional>

namespace quorvale::guest {

inline constexpr const char* consoleLogName = "quorvale-vm-console.log";

// Makes an empty console log in `directory`; its path, or nothing when it cannot be made.
std::optional<QString> createConsoleLog(const QString& directory);

}  // namespace quorvale::guest
