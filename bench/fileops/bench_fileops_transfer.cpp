// Chunked export and upload of a 256 MiB file through FileOperationService and the real agent on
// the host, beside `cp` of the same file in the same run. Median of 5 runs each.

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

#include "bench_support.h"
#include "fileops/file_operation_service.h"
#include "fileops/scripted_peer.h"
#include "guest/vsock_transport.h"
#include "support/agent_process.h"

using namespace quorvale;

namespace {

constexpr qint64 size = qint64{256} << 20;

bool makeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::mt19937_64 random(7);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < size; written += block.size()) {
        auto* words = reinterpret_cast<std::uint64_t*>(block.data());
        for (qsizetype i = 0; i < block.size() / 8; ++i)
            words[i] = random();
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

void print(const char* what, const std::vector<double>& service, const std::vector<double>& cp) {
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("%-8s %12.0f %10.2f %12.0f %10.2f\n", what, mb / bench::median(service),
                bench::median(service), mb / bench::median(cp), bench::median(cp));
}

}  // namespace

int main() {
    const int runs = bench::runCount();
    testing::ensureApplication();
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.*=false"));
    QTemporaryDir scratch;
    QDir(scratch.path()).mkdir(QStringLiteral("root"));
    const QString root = scratch.filePath(QStringLiteral("root"));
    const QString remoteFile = root + QStringLiteral("/big.bin");
    const QString localFile = scratch.filePath(QStringLiteral("local.bin"));
    if (!makeFile(remoteFile) || !QFile::copy(remoteFile, localFile)) {
        std::fprintf(stderr, "cannot create the test files\n");
        return 1;
    }
    testing::AgentProcess agent(root);
    guest::VsockTransport transport;
    transport.connect(agent.connect());
    fileops::FileOperationService service(transport);

    fileops::TransferOptions options;
    if (const int chunk = qEnvironmentVariableIntValue("QUORVALE_BENCH_CHUNK"); chunk > 0)
        options.chunkBytes = static_cast<std::size_t>(chunk);
    std::vector<double> exports, uploads, cpOut, cpIn;
    const QString exported = scratch.filePath(QStringLiteral("exported.bin"));
    const QString copied = scratch.filePath(QStringLiteral("copied.bin"));
    for (int run = 0; run < runs; ++run) {
        QFile::remove(exported);
        exports.push_back(bench::timeRun([&] {
            testing::run(service.exportFile(QStringLiteral("/big.bin"), exported, size, options));
        }));
        QFile::remove(copied);
        cpOut.push_back(bench::timeRun([&] { bench::runQuietly("cp", {remoteFile, copied}); }));

        uploads.push_back(bench::timeRun([&] {
            testing::run(service.uploadFile(localFile, QStringLiteral("/uploaded.bin"), options));
        }));
        QFile::remove(copied);
        cpIn.push_back(bench::timeRun([&] { bench::runQuietly("cp", {localFile, copied}); }));
    }
    if (QFileInfo(exported).size() != size || QFileInfo(root + "/uploaded.bin").size() != size) {
        std::fprintf(stderr, "a transfer came out with the wrong size\n");
        return 1;
    }
    std::printf("256 MiB, median of %d\n%-8s %12s %10s %12s %10s\n", runs, "", "service MB/s", "s",
                "cp MB/s", "s");
    print("export", exports, cpOut);
    print("upload", uploads, cpIn);
    transport.disconnect();
    return 0;
}
