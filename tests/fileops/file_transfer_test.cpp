#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "fileops/file_operation_service.h"
#include "fileops/local_file.h"
#include "fileops/scripted_peer.h"
#include "guest/vm_error.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"

namespace quorvale::fileops {
namespace {

using testing::run;
using testing::ScriptedPeer;

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

std::string readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll().toStdString();
}

void writeAll(const QString& path, const std::string& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

// A guest holding one file of `content`, answering read_file chunks like the agent.
class TransferTest : public ::testing::Test {
protected:
    void serve(std::string content) {
        testing::ensureApplication();
        remote = std::move(content);
        peer = std::make_unique<ScriptedPeer>(
            [this](const boost::json::object& request) { return handle(request); });
        transport.connect(peer->takeHostEnd());
    }

    std::optional<std::string> handle(const boost::json::object& request) {
        const auto& params = request.at("params").as_object();
        std::lock_guard lock(mutex);
        if (request.at("method") == "read_file") {
            const auto offset = static_cast<std::size_t>(params.at("offset").as_int64());
            const auto max =
                std::min(readCap, static_cast<std::size_t>(params.at("max_bytes").as_int64()));
            if (offset > remote.size())
                return ScriptedPeer::error(-22, "Invalid argument: offset");
            std::string text = rpc::base64Encode(std::string_view(remote).substr(offset, max));
            if (corruptReads)
                text.insert(0, "\n");
            return ScriptedPeer::result(boost::json::serialize(boost::json::value(text)));
        }
        if (request.at("method") == "write_file") {
            const auto offset = static_cast<std::size_t>(params.at("offset").as_int64());
            if (offset == 0)
                staged.clear();
            if (offset != staged.size() || offset == failWriteAt)
                return ScriptedPeer::error(-22, "Invalid argument: offset");
            staged += *rpc::base64Decode(std::string(params.at("data_b64").as_string()));
            if (params.at("final").as_bool())
                remote = staged;
            return ScriptedPeer::result("null");
        }
        if (request.at("method") == "list_dir")
            return ScriptedPeer::result(R"([{"name":"f","path":"/f","size":9000}])");
        if (request.at("method") == "abort_upload") {
            staged.clear();
            return ScriptedPeer::result("true");
        }
        return ScriptedPeer::error(-32601, "Method not found");
    }

    std::vector<boost::json::object> requests() const {
        std::vector<boost::json::object> list;
        for (const std::string& line : peer->lines())
            list.push_back(boost::json::parse(line).as_object());
        return list;
    }

    void TearDown() override { transport.disconnect(); }

    std::mutex mutex;
    std::string remote;
    std::string staged;
    bool corruptReads = false;
    std::size_t failWriteAt = SIZE_MAX;  // the write chunk at this offset fails
    std::size_t readCap = SIZE_MAX;      // most bytes one answer carries
    guest::VsockTransport transport;
    std::unique_ptr<ScriptedPeer> peer;
    FileOperationService service{transport};
    QTemporaryDir local;
};

TEST_F(TransferTest, ExportReadsChunksUntilAShortOneAndReportsProgress) {
    const std::string content = pattern(10'000);
    serve(content);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    TransferOptions options;
    options.chunkBytes = 3000;
    options.partition = QStringLiteral("sdb1");
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        progress.emplace_back(done, total);
    };
    const QString destination = local.filePath(QStringLiteral("out.bin"));
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/big.bin"), destination, 10'000, options)),
              TransferOutcome::completed);
    EXPECT_EQ(readAll(destination), content);
    // Four chunks, the last asking one byte beyond the expected end to see it.
    std::vector<std::pair<std::int64_t, std::int64_t>> asked;
    for (const auto& request : requests()) {
        EXPECT_EQ(request.at("method"), "read_file");
        EXPECT_EQ(request.at("params").at("partition"), "sdb1");
        EXPECT_EQ(request.at("params").at("path"), "/big.bin");
        asked.emplace_back(request.at("params").at("offset").as_int64(),
                           request.at("params").at("max_bytes").as_int64());
    }
    EXPECT_EQ(asked, (std::vector<std::pair<std::int64_t, std::int64_t>>{
                         {0, 3000}, {3000, 3000}, {6000, 3000}, {9000, 1001}}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(std::uint64_t{10'000}, std::uint64_t{10'000}));
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i].first, progress[i - 1].first);
}

TEST_F(TransferTest, ExportOfAWholeNumberOfChunksNeedsNoExtraCall) {
    const std::string content = pattern(9'000);
    serve(content);
    std::vector<std::uint64_t> done;
    TransferOptions options;
    options.chunkBytes = 3000;
    options.progress = [&](std::uint64_t bytes, std::uint64_t) { done.push_back(bytes); };
    const QString destination = local.filePath(QStringLiteral("exact.bin"));
    run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options));
    EXPECT_EQ(readAll(destination), content);
    EXPECT_EQ(peer->lines().size(), 3u);
    EXPECT_EQ(done, (std::vector<std::uint64_t>{3000, 6000, 9000}));
}

TEST_F(TransferTest, AnExportStopsAtTheListedSize) {
    const std::string content = pattern(7'500);
    serve(content);
    TransferOptions options;
    options.chunkBytes = 2000;
    const struct {
        std::uint64_t listed;
        bool completes;
    } cases[] = {
        {7'500, true},
        {20'000, true},  // shrank since it was listed: ends early, without an error
        {3'000, false},  // grew: reported, not followed
        {0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listed);
        const QString destination = local.filePath(QStringLiteral("out-%1.bin").arg(c.listed));
        if (c.completes) {
            EXPECT_EQ(run(service.exportFile(QStringLiteral("/f"), destination, c.listed, options)),
                      TransferOutcome::completed);
            EXPECT_EQ(readAll(destination), content);
            continue;
        }
        try {
            run(service.exportFile(QStringLiteral("/f"), destination, c.listed, options));
            ADD_FAILURE() << "a grown file was exported";
        } catch (const FileOperationError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Operation failed: File changed during export: /f is larger than the " +
                          std::to_string(c.listed) + " bytes listed");
        }
        EXPECT_FALSE(QFileInfo::exists(destination));
    }
}

TEST_F(TransferTest, AGuestThatNeverEndsAFileCannotFillTheDisk) {
    // A hostile guest: every read is answered in full, or with more than was asked.
    testing::ensureApplication();
    bool oversized = false;
    std::atomic<std::uint64_t> bytesAsked = 0;
    peer = std::make_unique<ScriptedPeer>([&](const boost::json::object& request) {
        const auto max = static_cast<std::size_t>(request.at("params").at("max_bytes").as_int64());
        bytesAsked += max;
        const std::string bytes(oversized ? 2 * max + 3 : max, 'z');
        return ScriptedPeer::result(
            boost::json::serialize(boost::json::value(rpc::base64Encode(bytes))));
    });
    transport.connect(peer->takeHostEnd());
    TransferOptions options;
    options.chunkBytes = 1000;
    for (const bool more : {false, true}) {
        oversized = more;
        bytesAsked = 0;
        const QString destination = local.filePath(QStringLiteral("five.txt"));
        EXPECT_THROW(run(service.exportFile(QStringLiteral("/five.txt"), destination, 5, options)),
                     FileOperationError);
        EXPECT_LE(bytesAsked.load(), 6u) << "never asked past the listed size and one byte";
        EXPECT_TRUE(
            QDir(local.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            << "nothing written";
    }
}

TEST(NumberedNames, KeepTheExtensionAfterTheNumber) {
    EXPECT_EQ(numberedName(QStringLiteral("photo.jpg"), 2), "photo 2.jpg");
    EXPECT_EQ(numberedName(QStringLiteral("archive.tar.gz"), 3), "archive.tar 3.gz");
    EXPECT_EQ(numberedName(QStringLiteral("README"), 2), "README 2");
    EXPECT_EQ(numberedName(QStringLiteral(".profile"), 2), ".profile 2");
    EXPECT_EQ(numberedName(QStringLiteral("trailing."), 2), "trailing. 2");
}

TEST_F(TransferTest, AnExportNeverReplacesALocalFile) {
    const std::string content = pattern(3'000);
    serve(content);
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    writeAll(victim, "victim");
    writeAll(local.filePath(QStringLiteral("photo.jpg")), "mine");
    ASSERT_TRUE(QFile::link(victim, local.filePath(QStringLiteral("notes.txt"))));
    writeAll(local.filePath(QStringLiteral("archive.tar.gz")), "mine");
    writeAll(local.filePath(QStringLiteral("archive.tar 2.gz")), "mine too");

    const struct {
        const char* asked;
        const char* published;
    } cases[] = {
        {"photo.jpg", "photo 2.jpg"},           {"photo.jpg", "photo 3.jpg"},
        {"notes.txt", "notes 2.txt"},  // a symlink there is kept, not written through
        {"archive.tar.gz", "archive.tar 3.gz"}, {"new.bin", "new.bin"},
    };
    for (const auto& c : cases) {
        TransferOptions options;
        QString publishedAs;
        options.published = [&](const QString& path) { publishedAs = path; };
        run(service.exportFile(QStringLiteral("/f"), local.filePath(c.asked), 3'000, options));
        EXPECT_EQ(publishedAs, local.filePath(c.published));
        EXPECT_EQ(readAll(local.filePath(c.published)), content) << c.published;
    }
    EXPECT_EQ(readAll(local.filePath(QStringLiteral("photo.jpg"))), "mine");
    EXPECT_EQ(readAll(local.filePath(QStringLiteral("archive.tar.gz"))), "mine");
    EXPECT_EQ(readAll(local.filePath(QStringLiteral("archive.tar 2.gz"))), "mine too");
    EXPECT_TRUE(QFileInfo(local.filePath(QStringLiteral("notes.txt"))).isSymLink());
    EXPECT_EQ(readAll(victim), "victim");
}

TEST_F(TransferTest, ExportFromAGuestThatCapsItsAnswersIsComplete) {
    const std::string content = pattern(10'000);
    serve(content);
    readCap = 1'500;
    TransferOptions options;
    options.chunkBytes = 4'000;
    const QString destination = local.filePath(QStringLiteral("capped.bin"));
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/f"), destination, 10'000, options)),
              TransferOutcome::completed);
    EXPECT_EQ(readAll(destination), content);
}

TEST_F(TransferTest, FailedOrCancelledExportLeavesTheOldLocalFile) {
    serve(pattern(9'000));
    const QString destination = local.filePath(QStringLiteral("keep.txt"));
    writeAll(destination, "old contents");
    corruptReads = true;
    TransferOptions options;
    options.chunkBytes = 1000;
    EXPECT_THROW(run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options)),
                 FileOperationError);
    EXPECT_EQ(readAll(destination), "old contents");

    corruptReads = false;
    std::stop_source stop;
    options.stop = stop.get_token();
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        if (done >= 3000)
            stop.request_stop();
    };
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options)),
              TransferOutcome::cancelled);
    EXPECT_EQ(readAll(destination), "old contents");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("keep.txt")});
}

TEST_F(TransferTest, UploadSendsOrderedChunksAndPublishesWithTheLast) {
    serve("previous");
    const std::string content = pattern(6'500);
    const QString source = local.filePath(QStringLiteral("in.bin"));
    writeAll(source, content);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    TransferOptions options;
    options.chunkBytes = 2048;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        progress.emplace_back(done, total);
    };
    EXPECT_EQ(run(service.uploadFile(source, QStringLiteral("/up.bin"), options)),
              TransferOutcome::completed);
    EXPECT_EQ(remote, content);
    std::vector<std::tuple<std::int64_t, bool, std::size_t>> chunks;
    for (const auto& request : requests()) {
        EXPECT_EQ(request.at("method"), "write_file");
        EXPECT_FALSE(request.at("params").as_object().contains("partition"));
        chunks.emplace_back(request.at("params").at("offset").as_int64(),
                            request.at("params").at("final").as_bool(),
                            request.at("params").at("data_b64").as_string().size());
    }
    EXPECT_EQ(chunks,
              (std::vector<std::tuple<std::int64_t, bool, std::size_t>>{
                  {0, false, 2732}, {2048, false, 2732}, {4096, false, 2732}, {6144, true, 476}}));
    EXPECT_EQ(progress.back(), std::make_pair(std::uint64_t{6'500}, std::uint64_t{6'500}));
}

TEST_F(TransferTest, UploadWithAFailedChunkNeverSendsTheFinalOne) {
    serve("previous");
    failWriteAt = 2000;
    const QString source = local.filePath(QStringLiteral("in.bin"));
    writeAll(source, pattern(10'000));
    TransferOptions options;
    options.chunkBytes = 1000;
    EXPECT_THROW(run(service.uploadFile(source, QStringLiteral("/up.bin"), options)),
                 rpc::JSONRPCError);
    EXPECT_EQ(remote, "previous");
    auto sent = requests();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[1].at("params").at("offset"), 1000) << "the first chunk lands alone";
    // The guest is told to drop what it holds of the upload, once every chunk has answered.
    EXPECT_EQ(sent.back().at("method"), "abort_upload");
    EXPECT_EQ(sent.back().at("params").at("path"), "/up.bin");
    sent.pop_back();
    for (const auto& request : sent) {
        EXPECT_EQ(request.at("method"), "write_file");
        EXPECT_FALSE(request.at("params").at("final").as_bool());
    }
}

TEST_F(TransferTest, EmptyUploadIsOneFinalChunk) {
    serve("previous");
    const QString source = local.filePath(QStringLiteral("empty"));
    writeAll(source, "");
    run(service.uploadFile(source, QStringLiteral("/e"), TransferOptions{}));
    EXPECT_EQ(remote, "");
    EXPECT_EQ(
        peer->lines(),
        std::vector<std::string>{
            R"({"jsonrpc":"2.0","id":1,"method":"write_file","params":{"data_b64":"","final":true,"offset":0,"path":"/e","replace":false}})"});
}

TEST_F(TransferTest, CancelledUploadNeverSendsTheFinalChunk) {
    serve("previous");
    const QString source = local.filePath(QStringLiteral("in.bin"));
    writeAll(source, pattern(10'000));
    std::stop_source stop;
    TransferOptions options;
    options.chunkBytes = 1000;
    options.stop = stop.get_token();
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        if (done >= 5000)
            stop.request_stop();
    };
    EXPECT_EQ(run(service.uploadFile(source, QStringLiteral("/up.bin"), options)),
              TransferOutcome::cancelled);
    EXPECT_EQ(remote, "previous");
    // Chunks already on their way when the stop came may land; nothing after them is sent.
    const auto lines = peer->lines();
    EXPECT_GE(lines.size(), 6u);
    EXPECT_LT(lines.size(), 11u);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find(R"("final":true)"), std::string::npos) << line;
    EXPECT_EQ(requests().back().at("method"), "abort_upload");
    EXPECT_EQ(requests().back().at("params").at("path"), "/up.bin");
}

// Changes refused in the middle of a transfer (the card was damaged under it): an upload sends
// nothing more and drops its temporary, an export fails rather than publish what it read. A
// refusal that was there before an export began is no news to it.
TEST_F(TransferTest, ARefusalDuringATransferEndsIt) {
    serve(pattern(9'000));
    const QString reason = QStringLiteral("The disk image was shortened");
    TransferOptions options;
    options.chunkBytes = 1000;
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        if (done >= 3000)
            service.refuseChanges(reason);
    };
    const QString destination = local.filePath(QStringLiteral("out.bin"));
    try {
        run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options));
        ADD_FAILURE() << "an export across a refusal was published";
    } catch (const FileOperationError& error) {
        EXPECT_TRUE(QString::fromUtf8(error.what()).contains(reason)) << error.what();
    }
    EXPECT_EQ(QDir(local.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
    options.progress = {};
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options)),
              TransferOutcome::completed);
    EXPECT_EQ(readAll(destination), pattern(9'000));

    service.refuseChanges(std::nullopt);
    const QString source = local.filePath(QStringLiteral("in.bin"));
    writeAll(source, pattern(10'000));
    options.progress = [&](std::uint64_t done, std::uint64_t) {
        if (done >= 3000)
            service.refuseChanges(reason);
    };
    const std::size_t before = peer->lines().size();
    EXPECT_THROW(run(service.uploadFile(source, QStringLiteral("/up.bin"), options)),
                 FileOperationError);
    EXPECT_EQ(remote, pattern(9'000)) << "the old file was replaced";
    const auto lines = peer->lines();
    ASSERT_GT(lines.size(), before);
    EXPECT_LT(lines.size() - before, 9u) << "chunks went on after the refusal";
    for (std::size_t i = before; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].find(R"("final":true)"), std::string::npos) << lines[i];
    EXPECT_EQ(requests().back().at("method"), "abort_upload");
}

// A card pulled from its reader reads as zeros, not errors: the check after the last answer
// fails the export, which publishes nothing, and a listing likewise. One check per file, not
// per chunk, naming the partition.
TEST_F(TransferTest, ACardGoneFromItsReaderFailsTheExportAndTheListing) {
    serve(pattern(9'000));
    std::vector<std::optional<QString>> checked;
    bool gone = false;
    service.checkDisksWith([&](const std::optional<QString>& partition) {
        checked.push_back(partition);
        if (gone)
            throw guest::VMError(guest::VMError::Kind::diskRemoved, "sdb has 0 bytes");
    });
    const std::optional<QString> partition = QStringLiteral("sdb2");
    TransferOptions options;
    options.chunkBytes = 1000;
    options.partition = partition;
    options.progress = [&](std::uint64_t done, std::uint64_t) { gone = gone || done >= 3000; };
    const QString destination = local.filePath(QStringLiteral("out.bin"));
    try {
        run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options));
        ADD_FAILURE() << "an export of a card gone from its reader was published";
    } catch (const guest::VMError& error) {
        EXPECT_EQ(error.kind, guest::VMError::Kind::diskRemoved);
    }
    EXPECT_EQ(QDir(local.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_EQ(checked, std::vector{partition});

    // The card back in its reader: the same export completes.
    gone = false;
    options.progress = {};
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/f"), destination, 9'000, options)),
              TransferOutcome::completed);
    EXPECT_EQ(readAll(destination), pattern(9'000));
    EXPECT_EQ(checked.size(), 2u);

    gone = true;
    EXPECT_THROW(run(service.listDirectory(QStringLiteral("/"), partition)), guest::VMError);
    gone = false;
    EXPECT_EQ(run(service.listDirectory(QStringLiteral("/"), partition)).size(), 1);
    EXPECT_EQ(checked, std::vector(4, partition));
}

TEST_F(TransferTest, LocalFailuresAreReportedWithTheirReason) {
    serve("x");
    try {
        run(service.uploadFile(local.filePath(QStringLiteral("missing")), QStringLiteral("/m"),
                               TransferOptions{}));
        FAIL() << "missing source accepted";
    } catch (const FileOperationError& error) {
        EXPECT_EQ(error.kind, FileOperationError::Kind::operationFailed);
        EXPECT_EQ(std::string(error.what()),
                  "Operation failed: No such file or directory: " +
                      local.filePath(QStringLiteral("missing")).toStdString());
    }
    EXPECT_THROW(run(service.uploadFile(local.path(), QStringLiteral("/m"), TransferOptions{})),
                 FileOperationError);
    EXPECT_THROW(run(service.exportFile(QStringLiteral("/x"),
                                        local.filePath(QStringLiteral("no/such/dir/x")), 1,
                                        TransferOptions{})),
                 FileOperationError);
    EXPECT_TRUE(peer->lines().empty());
}

}  // namespace
}  // namespace quorvale::fileops
