// The browser and preview models against a guest that lies (HostilePeer), seeded: whatever
// it answers, nothing crashes, every operation ends, the models leave their busy states, and
// nothing is written outside the export folder the user chose, which sits in a decoy folder
// beside a file that must never change. A few fixed seeds run here; `make soak` runs many
// (QUORVALE_HOSTILE_SEEDS=<count>, QUORVALE_HOSTILE_FIRST_SEED=<n>).

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "agent/dispatcher.h"
#include "agent/file_methods.h"
#include "agent/host_partitions.h"
#include "app/browser/file_browser_view_model.h"
#include "app/preview/file_preview_view_model.h"
#include "app_test_support.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "hostile_peer.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using model::FileItem;

constexpr int stepsPerSeed = 24;
// A guest quiet this long while an operation waits has dropped an answer: it hangs up, which
// must end whatever still waits.
constexpr std::int64_t quietMilliseconds = 500;

std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QByteArray digestOf(const QString& directory) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    for (const QString& path : paths) {
        hash.addData(path.toUtf8());
        QFile file(path);
        if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly))
            hash.addData(file.readAll());
    }
    return hash.result();
}

QCoro::Task<void> finish(QCoro::Task<void> task, bool* done) {
    try {
        co_await std::move(task);
    } catch (...) {
        // Any error is an acceptable outcome against a lying guest; hanging or crashing is not.
    }
    *done = true;
}

// A transfer as a step: its report is not judged against a lying guest.
QCoro::Task<void> ignoringReport(QCoro::Task<app::TransferReport> transfer) {
    co_await std::move(transfer);
}

class HostileGuest {
public:
    explicit HostileGuest(std::uint64_t seed) : seed(seed), user(seed * 7919 + 17) {
        qputenv("XDG_STATE_HOME", QFile::encodeName(base.filePath("state")));
        writeFile(card("a.txt"), "alpha\n");
        writeFile(card("docs/report.txt"), QByteArray(5000, 'r'));
        writeFile(card("docs/deep/note.md"), "# note\n");
        writeFile(card("photos/p.jpg"), QByteArray("\xff\xd8\xff\xe0 not really a jpeg"));
        writeFile(card("bin.dat"), QByteArray(70000, '\x01'));
        writeFile(base.filePath("decoy/outside.txt"), "outside: must never change\n");
        QDir().mkpath(exportFolder());
        writeFile(base.filePath("local/up.txt"), "upload me\n");
        writeFile(base.filePath("local/big.bin"), QByteArray(300000, 'u'));
        localDigest = digestOf(base.filePath("local"));

        partitions =
            std::make_unique<agent::HostPartitions>(card("").toStdString(), "sdb1", "card");
        agent::addFileMethods(dispatcher, *partitions);
        connectPeer(seed);
        browser.fileOpService = std::make_shared<fileops::FileOperationService>(transport);
        browser.currentPartition = QStringLiteral("sdb1");
        preview.fileBrowserVM = &browser;
    }
    ~HostileGuest() {
        transport.disconnect();
        qunsetenv("XDG_STATE_HOME");
    }

    void runSteps() {
        for (int step = 0; step < stepsPerSeed; ++step) {
            if (!transport.isConnected() || peer->hungUp())
                connectPeer(seed * 1000 + static_cast<std::uint64_t>(step));
            const std::string what = runStep();
            SCOPED_TRACE(what);
            checkOutside();
            EXPECT_FALSE(browser.isTransferring()) << "a transfer never ended";
            EXPECT_FALSE(browser.isLoading()) << "a listing never ended";
            EXPECT_FALSE(preview.isLoadingPreview()) << "a preview never ended";
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "seed " << seed << " step " << step << ": " << what
                              << "\npeer: " << peer->journal();
                return;
            }
        }
    }

private:
    QString card(const QString& relative) const { return base.filePath("card/" + relative); }
    QString exportFolder() const { return base.filePath("decoy/export"); }

    void connectPeer(std::uint64_t peerSeed) {
        peer = std::make_unique<HostilePeer>(dispatcher, peerSeed);
        transport.connect(peer->takeHostEnd());
    }

    int below(int count) { return std::uniform_int_distribution<int>(0, count - 1)(user); }

    // A listed item, or a made-up one that points anywhere.
    FileItem someItem() {
        const QList<FileItem> files = browser.files();
        if (!files.isEmpty() && below(4) != 0)
            return files[below(static_cast<int>(files.size()))];
        FileItem item;
        item.name = below(2) ? QStringLiteral("../escape.txt") : QStringLiteral("made-up.txt");
        item.path = item.id = QStringLiteral("/a.txt");
        item.size = static_cast<std::uint64_t>(below(100000));
        return item;
    }

    // Runs one user action to its end; returns its description.
    std::string runStep() {
        QCoro::Task<void> task;
        std::string what;
        switch (below(9)) {
            case 0: {
                const FileItem item = someItem();
                what = "navigate to " + item.path.toStdString();
                task = browser.navigateTo((item.isDirectory || below(2)) ? item.path : "/docs");
                break;
            }
            case 1:
                what = "reload";
                task = browser.loadDirectory();
                break;
            case 2:
                what = "up";
                task = browser.navigateUp();
                break;
            case 3: {
                QList<FileItem> items;
                for (int i = below(3) + 1; i > 0; --i)
                    items << someItem();
                what = "export " + std::to_string(items.size()) + " items";
                task = ignoringReport(browser.exportItems(items, exportFolder()));
                break;
            }
            case 4: {
                QStringList sources{base.filePath("local/up.txt")};
                if (below(2))
                    sources << base.filePath("local/big.bin");
                what = "upload";
                task = ignoringReport(browser.uploadFiles(sources));
                break;
            }
            case 5: {
                const FileItem item = someItem();
                what = "duplicate " + item.path.toStdString();
                task = browser.duplicate(item);
                break;
            }
            case 6: {
                const QString names[] = {"new folder", "../up", "a/b", ".."};
                const QString name = names[below(4)];
                what = "new folder " + name.toStdString();
                task = browser.createFolder(name);
                break;
            }
            case 7: {
                const FileItem item = someItem();
                browser.setSelectedFiles({item.path});
                what = "delete " + item.path.toStdString();
                task = browser.deleteSelected();
                break;
            }
            default: {
                const FileItem item = someItem();
                what = "preview " + item.path.toStdString();
                task = preview.loadPreview(item);
                break;
            }
        }
        bool done = false;
        QCoro::Task<void> running = finish(std::move(task), &done);
        spinUntil([&] { return done || peer->idleMilliseconds() > quietMilliseconds; }, 120s);
        if (!done) {
            peer->hangUp();
            spinUntil([&] { return done; }, 30s);
        }
        if (!done) {
            // Its frame refers to this one: nothing sensible can follow.
            std::fprintf(stderr, "seed %llu: \"%s\" never ended\npeer: %s\n",
                         static_cast<unsigned long long>(seed), what.c_str(),
                         peer->journal().c_str());
            std::_Exit(1);
        }
        return what;
    }

    void checkOutside() {
        const QStringList decoy =
            QDir(base.filePath("decoy"))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        EXPECT_EQ(decoy, (QStringList{"export", "outside.txt"})) << "written beside the export";
        QFile outside(base.filePath("decoy/outside.txt"));
        EXPECT_TRUE(outside.open(QIODevice::ReadOnly) &&
                    outside.readAll() == "outside: must never change\n");
        EXPECT_FALSE(QFileInfo(outside.fileName()).isSymLink());
        // Folders come out whole and links as links (never followed): anything else, or a
        // partial file, is a fault.
        QDirIterator exported(exportFolder(),
                              QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                              QDirIterator::Subdirectories);
        while (exported.hasNext()) {
            const QFileInfo entry(exported.next());
            EXPECT_TRUE(entry.isSymLink() || entry.isFile() || entry.isDir())
                << "not a file, folder or link: " << entry.filePath().toStdString();
            EXPECT_FALSE(entry.fileName().endsWith(".part"))
                << "a partial file left: " << entry.filePath().toStdString();
        }
        EXPECT_EQ(digestOf(base.filePath("local")), localDigest) << "an upload source changed";
    }

    std::uint64_t seed;
    std::mt19937_64 user;  // the user's actions, apart from the guest's choices
    QTemporaryDir base;
    QByteArray localDigest;
    std::unique_ptr<agent::HostPartitions> partitions;
    agent::Dispatcher dispatcher;
    guest::VsockTransport transport{HostilePeer::oversizedBytes};
    std::unique_ptr<HostilePeer> peer;
    FileBrowserViewModel browser;
    FilePreviewViewModel preview;
};

TEST(HostileGuestTest, BrowserAndPreviewSurviveALyingGuest) {
    ensureApplication();
    // Thousands of lines about refused answers would only slow the run down.
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.*=false"));
    const std::uint64_t first = environmentNumber("QUORVALE_HOSTILE_FIRST_SEED", 1);
    const std::uint64_t count = environmentNumber("QUORVALE_HOSTILE_SEEDS", 4);
    for (std::uint64_t seed = first; seed < first + count && !HasFailure(); ++seed) {
        HostileGuest guest(seed);
        guest.runSteps();
    }
}

}  // namespace
}  // namespace quorvale::app
