#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <random>
#include <stop_token>

#include "integration/agent_fixture.h"

namespace quorvale::testing {
namespace {

using fileops::TransferOptions;
using fileops::TransferOutcome;

constexpr qint64 largeSize = qint64{256} << 20;

// Writes `size` pseudo-random bytes (fixed seed) and returns their SHA-256.
QByteArray makeFile(const QString& path, qint64 size, std::uint64_t seed) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::mt19937_64 random(seed);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < size; written += block.size()) {
        auto* words = reinterpret_cast<std::uint64_t*>(block.data());
        for (qsizetype i = 0; i < block.size() / 8; ++i)
            words[i] = random();
        block.truncate(static_cast<qsizetype>(std::min<qint64>(block.size(), size - written)));
        file.write(block);
        hash.addData(block);
    }
    return hash.result();
}

QByteArray sha256(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

struct ProgressLog {
    std::uint64_t lastDone = 0;
    std::uint64_t lastTotal = 0;
    int calls = 0;
    bool monotonic = true;

    fileops::ProgressHandler handler() {
        return [this](std::uint64_t done, std::uint64_t total) {
            monotonic = monotonic && done > lastDone && done <= total;
            lastDone = done;
            lastTotal = total;
            ++calls;
        };
    }
};

using LargeFileTest = AgentFixture;

TEST_F(LargeFileTest, ExportAndUploadOf256MiBAreByteExact) {
    const QByteArray expected = makeFile(hostPath(QStringLiteral("/big.bin")), largeSize, 1);
    ASSERT_FALSE(expected.isEmpty());

    ProgressLog exported;
    TransferOptions options;
    options.progress = exported.handler();
    const QString local = scratch.filePath(QStringLiteral("exported.bin"));
    EXPECT_EQ(run(service.exportFile(QStringLiteral("/big.bin"), local, largeSize, options)),
              TransferOutcome::completed);
    EXPECT_EQ(QFileInfo(local).size(), largeSize);
    EXPECT_EQ(sha256(local), expected);
    EXPECT_TRUE(exported.monotonic);
    EXPECT_GE(exported.calls, 32);  // chunks of a few MiB, not one call
    EXPECT_EQ(exported.lastDone, std::uint64_t(largeSize));
    EXPECT_EQ(exported.lastTotal, std::uint64_t(largeSize));

    const QString source = scratch.filePath(QStringLiteral("upload.bin"));
    const QByteArray uploadHash = makeFile(source, largeSize + 12345, 2);
    ProgressLog uploaded;
    options.progress = uploaded.handler();
    options.partition = QStringLiteral("root");
    EXPECT_EQ(run(service.uploadFile(source, QStringLiteral("/uploaded.bin"), options)),
              TransferOutcome::completed);
    EXPECT_EQ(sha256(hostPath(QStringLiteral("/uploaded.bin"))), uploadHash);
    EXPECT_TRUE(uploaded.monotonic);
    EXPECT_EQ(uploaded.lastDone, std::uint64_t(largeSize + 12345));
    EXPECT_EQ(uploaded.lastTotal, uploaded.lastDone);
    // Only the published files are visible.
    QStringList listed;
    for (const model::FileItem& item : run(service.listDirectory(QStringLiteral("/"))))
        listed.append(item.name);
    EXPECT_EQ(listed, (QStringList{"big.bin", "uploaded.bin"}));
}

TEST_F(LargeFileTest, CancelledUploadLeavesTheOldFileIntact) {
    put(QStringLiteral("/target.bin"), "the old contents");
    const QString source = scratch.filePath(QStringLiteral("upload.bin"));
    makeFile(source, 64 << 20, 3);

    std::stop_source stop;
    TransferOptions options;
    options.stop = stop.get_token();
    std::uint64_t reached = 0;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        reached = done;
        if (done * 2 >= total)
            stop.request_stop();
    };
    EXPECT_EQ(run(service.uploadFile(source, QStringLiteral("/target.bin"), options)),
              TransferOutcome::cancelled);
    EXPECT_GE(reached, std::uint64_t{32} << 20);
    EXPECT_LT(reached, std::uint64_t{64} << 20);
    EXPECT_EQ(get(QStringLiteral("/target.bin")), QByteArray("the old contents"));
    QStringList listed;
    for (const model::FileItem& item : run(service.listDirectory(QStringLiteral("/"))))
        listed.append(item.name);
    EXPECT_EQ(listed, QStringList{QStringLiteral("target.bin")});

    // A fresh upload of the same path starts over; it takes the old file's place only when
    // told to.
    const QByteArray small = makeFile(source, 5 << 20, 4);
    EXPECT_THROW(run(service.uploadFile(source, QStringLiteral("/target.bin"), TransferOptions{})),
                 std::exception);
    EXPECT_EQ(get(QStringLiteral("/target.bin")), QByteArray("the old contents"));
    TransferOptions replace;
    replace.replace = true;
    EXPECT_EQ(run(service.uploadFile(source, QStringLiteral("/target.bin"), replace)),
              TransferOutcome::completed);
    EXPECT_EQ(sha256(hostPath(QStringLiteral("/target.bin"))), small);
}

TEST_F(LargeFileTest, FailedExportLeavesTheLocalFileAlone) {
    const QString local = scratch.filePath(QStringLiteral("keep.txt"));
    QFile file(local);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();
    EXPECT_THROW(
        run(service.exportFile(QStringLiteral("/missing.bin"), local, 100, TransferOptions{})),
        rpc::JSONRPCError);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("keep me"));
    EXPECT_EQ(QDir(scratch.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("keep.txt")});
}

}  // namespace
}  // namespace quorvale::testing
