// list_dir of directories with 10,000 and 100,000 entries through FileOperationService and the
// real agent: from the request to the sorted FileItem list in hand, beside `ls -l` of the same
// directory. Median of 5 runs each.

#include <fcntl.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>

#include "bench_support.h"
#include "fileops/directory_listing.h"
#include "fileops/file_operation_service.h"
#include "fileops/scripted_peer.h"
#include "guest/vsock_transport.h"
#include "support/agent_process.h"

using namespace quorvale;

namespace {

void fill(const QString& directory, int entries) {
    const QByteArray base = QFile::encodeName(directory);
    for (int i = 0; i < entries; ++i) {
        const QByteArray name = base + "/File " + QByteArray::number(i) + ".txt";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
}

}  // namespace

int main() {
    const int runs = bench::runCount();
    testing::ensureApplication();
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.*=false"));
    QTemporaryDir root;
    for (int entries : {10'000, 100'000}) {
        const QString name = QStringLiteral("dir%1").arg(entries);
        QDir(root.path()).mkdir(name);
        fill(root.filePath(name), entries);
    }
    testing::AgentProcess agent(root.path());
    guest::VsockTransport transport;
    transport.connect(agent.connect());
    fileops::FileOperationService service(transport);

    std::printf("%-22s %10s %14s %18s %12s\n", "list_dir", "entries", "service (ms)",
                "of which host (ms)", "ls -l (ms)");
    for (int entries : {10'000, 100'000}) {
        const QString name = QStringLiteral("dir%1").arg(entries);
        std::vector<double> listing, host, ls;
        qsizetype items = 0;
        for (int run = 0; run < runs; ++run) {
            listing.push_back(bench::timeRun([&] {
                items = testing::run(service.listDirectory(QLatin1Char('/') + name)).size();
            }));
            // The host's share: decoding and sorting the same reply.
            std::optional<rpc::AnyCodable> reply = testing::run(transport.send(
                "list_dir", {{"path", rpc::AnyCodable((QLatin1Char('/') + name).toStdString())}}));
            host.push_back(bench::timeRun(
                [&] { fileops::decodeListing(&reply->json(), QLatin1Char('/') + name); }));
            ls.push_back(bench::timeRun([&] {
                bench::runQuietly(QStringLiteral("ls"),
                                  {QStringLiteral("-l"), root.filePath(name)});
            }));
        }
        std::printf("median of %-12d %10lld %14.1f %18.1f %12.1f\n", runs,
                    static_cast<long long>(items), bench::median(listing) * 1000,
                    bench::median(host) * 1000, bench::median(ls) * 1000);
    }
    transport.disconnect();
    return 0;
}
