#pragma once
// Files, bytes and programs in tests: writing and reading files, a deterministic byte pattern,
// SHA-256 of a file, and running a program or a shell command line.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <string>
#include <utility>

namespace quorvale::testing {

// Writes a file, making its folders first; false when it cannot.
bool writeFile(const QString& path, const QByteArray& bytes);
// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString& path);
// `size` bytes from a xorshift generator started at `seed`: the same bytes for the same seed.
QByteArray bytePattern(qsizetype size, quint32 seed = 2463534242u);
// The SHA-256 of the file's bytes in hex; empty when it cannot be read.
QByteArray sha256Of(const QString& path);

// A fresh folder under /tmp, removed with everything in it when the object goes; its path is
// short, as Unix socket paths must be.
class ShortTempDir {
public:
    ShortTempDir();
    ~ShortTempDir();
    ShortTempDir(const ShortTempDir&) = delete;
    ShortTempDir& operator=(const ShortTempDir&) = delete;
    std::filesystem::path path;
};

// Runs a program with `input` on its stdin (closed after it), for up to `limitSeconds`; its exit
// status (-1 when it did not run or end normally) and its merged output.
std::pair<int, QByteArray> runTool(const QString& program, const QStringList& args,
                                   const QByteArray& input = {}, int limitSeconds = 120);
// Runs `command` with sh, its output shown or hidden; its exit status (-1 when it did not end
// normally).
enum class Echo { shown, hidden };
int shell(const std::string& command, Echo echo = Echo::shown);
// Whether `command` exits 0, its output hidden.
inline bool shellSucceeds(const std::string& command) {
    return shell(command, Echo::hidden) == 0;
}
// The same, returning what it printed on stdout.
std::string shellOutput(const std::string& command);

}  // namespace quorvale::testing
