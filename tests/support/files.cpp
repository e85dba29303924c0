#include "support/files.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace quorvale::testing {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray bytePattern(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed ? seed : 1;
    for (char& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<char>(x);
    }
    return bytes;
}

QByteArray sha256Of(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

ShortTempDir::ShortTempDir() {
    char pattern[] = "/tmp/qvt-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ShortTempDir::~ShortTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::pair<int, QByteArray> runTool(const QString& program, const QStringList& args,
                                   const QByteArray& input, int limitSeconds) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForStarted(10000))
        return {-1, {}};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(limitSeconds * 1000)) {
        process.kill();
        process.waitForFinished();
        return {-1, process.readAll()};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

int shell(const std::string& command, Echo echo) {
    const int status =
        std::system((echo == Echo::hidden ? command + " >/dev/null 2>&1" : command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    ::pclose(pipe);
    return out;
}

}  // namespace quorvale::testing
