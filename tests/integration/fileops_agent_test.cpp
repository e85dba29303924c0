#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include "integration/agent_fixture.h"
#include "rpc/json_rpc.h"

namespace quorvale::testing {
namespace {

using fileops::FileOperationError;

QStringList names(const QList<model::FileItem>& items) {
    QStringList list;
    for (const model::FileItem& item : items)
        list.append(item.name);
    return list;
}

// The guest's message of a refused call, or "" when it succeeded.
template <typename T>
std::string refusal(QCoro::Task<T> task) {
    try {
        run(std::move(task));
    } catch (const rpc::JSONRPCError& error) {
        return error.message;
    }
    return {};
}

using FileOpsAgentTest = AgentFixture;

TEST_F(FileOpsAgentTest, PingAndPartitions) {
    EXPECT_TRUE(run(service.ping()));
    std::vector<fileops::Dictionary> partitions = run(service.getPartitions());
    ASSERT_FALSE(partitions.empty());
    EXPECT_GT(partitions[0].at("total_bytes").numberValue().value_or(0), 0);
    EXPECT_GE(partitions[0].at("free_bytes").numberValue().value_or(-1), 0);
}

TEST_F(FileOpsAgentTest, ListingDecodesEveryMemberAndSorts) {
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("docs/Zeta")));
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("docs/Docs")));
    for (const char* name : {"b.txt", "a10", "a9"})
        put(QStringLiteral("/docs/") + QLatin1String(name), "12345");
    QFile::setPermissions(hostPath(QStringLiteral("/docs/a9")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    ASSERT_TRUE(QFile::link(QStringLiteral("b.txt"), hostPath(QStringLiteral("/docs/link"))));

    QList<model::FileItem> items = run(service.listDirectory(QStringLiteral("/docs")));
    EXPECT_EQ(names(items), (QStringList{"Docs", "Zeta", "a9", "a10", "b.txt", "link"}));
    const model::FileItem& a9 = items[2];
    EXPECT_EQ(a9.path, QStringLiteral("/docs/a9"));
    EXPECT_EQ(a9.size, 5u);
    EXPECT_FALSE(a9.isDirectory);
    EXPECT_EQ(a9.permissions & 0777, 0640);
    EXPECT_EQ(a9.permissionText(), QStringLiteral("-rw-r-----"));
    EXPECT_FALSE(a9.owner.isEmpty());
    EXPECT_LT(qAbs(a9.modifiedDate.secsTo(QDateTime::currentDateTimeUtc())), 300);
    EXPECT_TRUE(items[0].isDirectory);
    EXPECT_TRUE(items[5].isSymlink);
    EXPECT_EQ(items[5].symlinkTarget, QStringLiteral("b.txt"));
}

TEST_F(FileOpsAgentTest, FilesAreWrittenReadRenamedCopiedAndDeleted) {
    run(service.createDirectory(QStringLiteral("/work")));
    EXPECT_TRUE(QFileInfo(hostPath(QStringLiteral("/work"))).isDir());

    const QByteArray bytes("line one\n\0binary\xff", 17);
    run(service.writeFile(QStringLiteral("/work/a.bin"), bytes));
    EXPECT_EQ(get(QStringLiteral("/work/a.bin")), bytes);
    EXPECT_EQ(run(service.readFile(QStringLiteral("/work/a.bin"), 65536)), bytes);
    EXPECT_EQ(run(service.readFile(QStringLiteral("/work/a.bin"), 4)), QByteArray("line"));
    run(service.writeFile(QStringLiteral("/work/a.bin"), QByteArray()));
    EXPECT_EQ(get(QStringLiteral("/work/a.bin")), QByteArray());

    put(QStringLiteral("/work/a.bin"), "content");
    EXPECT_EQ(run(service.rename(QStringLiteral("/work/a.bin"), QStringLiteral("b.bin"))),
              QStringLiteral("/work/b.bin"));
    EXPECT_FALSE(exists(QStringLiteral("/work/a.bin")));
    EXPECT_EQ(get(QStringLiteral("/work/b.bin")), QByteArray("content"));

    run(service.copy(QStringLiteral("/work/b.bin"), QStringLiteral("/work/b copy.bin")));
    EXPECT_EQ(get(QStringLiteral("/work/b copy.bin")), QByteArray("content"));
    EXPECT_EQ(get(QStringLiteral("/work/b.bin")), QByteArray("content"));

    std::vector<fileops::Dictionary> usage = run(service.dirUsage(QStringLiteral("/")));
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(usage[0].at("name").stringValue(), "work");
    EXPECT_EQ(usage[0].at("is_directory").boolValue(), true);
    EXPECT_GE(usage[0].at("size").numberValue().value_or(0), 14);

    run(service.deletePaths({QStringLiteral("/work/b.bin"), QStringLiteral("/work/b copy.bin")}));
    EXPECT_TRUE(run(service.listDirectory(QStringLiteral("/work"))).isEmpty());
    run(service.sync());
    run(service.unmount());
}

TEST_F(FileOpsAgentTest, DirectoriesAreCopiedAndDeletedRecursively) {
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("tree/a/b/c")));
    put(QStringLiteral("/tree/top.txt"), "top");
    put(QStringLiteral("/tree/a/b/c/deep.txt"), "deep");
    run(service.copy(QStringLiteral("/tree"), QStringLiteral("/tree2")));
    EXPECT_EQ(get(QStringLiteral("/tree2/a/b/c/deep.txt")), QByteArray("deep"));

    run(service.deletePaths({QStringLiteral("/tree"), QStringLiteral("/tree2")}));
    EXPECT_FALSE(exists(QStringLiteral("/tree")));
    EXPECT_FALSE(exists(QStringLiteral("/tree2")));
    EXPECT_TRUE(run(service.listDirectory(QStringLiteral("/"))).isEmpty());
}

TEST_F(FileOpsAgentTest, NothingIsEverOverwritten) {
    put(QStringLiteral("/a.txt"), "A");
    put(QStringLiteral("/b.txt"), "B");
    ASSERT_TRUE(QDir(root).mkdir(QStringLiteral("dir")));

    EXPECT_NE(refusal(service.rename(QStringLiteral("/a.txt"), QStringLiteral("b.txt"))), "");
    EXPECT_NE(refusal(service.copy(QStringLiteral("/a.txt"), QStringLiteral("/b.txt"))), "");
    EXPECT_NE(refusal(service.copy(QStringLiteral("/a.txt"), QStringLiteral("/dir"))), "");
    EXPECT_NE(refusal(service.createDirectory(QStringLiteral("/dir"))), "");
    EXPECT_NE(refusal(service.createDirectory(QStringLiteral("/a.txt"))), "");
    EXPECT_EQ(get(QStringLiteral("/a.txt")), QByteArray("A"));
    EXPECT_EQ(get(QStringLiteral("/b.txt")), QByteArray("B"));
    EXPECT_TRUE(QDir(hostPath(QStringLiteral("/dir"))).isEmpty());

    // Refusals carry a readable message; a failed delete stops the rest.
    EXPECT_EQ(refusal(service.createDirectory(QStringLiteral("/dir"))), "File exists: /dir");
    EXPECT_NE(refusal(service.deletePaths({QStringLiteral("/missing"), QStringLiteral("/a.txt")})),
              "");
    EXPECT_TRUE(exists(QStringLiteral("/a.txt")));
}

TEST_F(FileOpsAgentTest, PathsNeverEscapeTheRoot) {
    put(QStringLiteral("/inside.txt"), "inside");
    QFile outside(scratch.filePath(QStringLiteral("outside.txt")));
    ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
    outside.write("secret");
    outside.close();
    // Links out of the tree that are written through point at a decoy beside it, never at a
    // folder of this machine: a broken containment then changes the decoy and nothing else.
    // The same absolute path inside the tree holds the card's own copy.
    const QString decoy = scratch.filePath(QStringLiteral("decoy"));
    for (const QString& base : {decoy, root + decoy}) {
        ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/etc")));
        QFile file(base + QStringLiteral("/etc/passwd"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(base == decoy ? "decoy" : "card");
    }
    ASSERT_TRUE(QFile::link(decoy, hostPath(QStringLiteral("/to-decoy"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("/"), hostPath(QStringLiteral("/to-root"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("../outside.txt"), hostPath(QStringLiteral("/up"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("loop"), hostPath(QStringLiteral("/loop"))));

    EXPECT_NE(refusal(service.readFile(QStringLiteral("/../etc/passwd"), 4096)), "");
    EXPECT_NE(refusal(service.readFile(QStringLiteral("/../outside.txt"), 4096)), "");
    EXPECT_NE(refusal(service.readFile(QStringLiteral("/up"), 4096)), "");
    EXPECT_NE(refusal(service.readFile(QStringLiteral("/loop"), 4096)), "");
    EXPECT_NE(refusal(service.listDirectory(QStringLiteral("/loop"))), "");
    // Absolute links resolve inside the served directory: "/" is its top (only read through),
    // the decoy's path is the card's copy.
    QList<model::FileItem> throughLink = run(service.listDirectory(QStringLiteral("/to-root")));
    EXPECT_TRUE(names(throughLink).contains(QStringLiteral("inside.txt")));
    EXPECT_EQ(run(service.readFile(QStringLiteral("/to-decoy/etc/passwd"), 4096)), "card");
    run(service.writeFile(QStringLiteral("/to-decoy/etc/new"), "written"));
    EXPECT_EQ(get(decoy + QStringLiteral("/etc/new")), QByteArray("written"));
    EXPECT_EQ(QDir(decoy + QStringLiteral("/etc")).entryList(QDir::Files),
              QStringList{QStringLiteral("passwd")});

    // Writes through escapes land nowhere outside.
    refusal(service.writeFile(QStringLiteral("/../outside.txt"), "overwritten"));
    refusal(service.writeFile(QStringLiteral("/up"), "overwritten"));
    refusal(service.deletePaths({QStringLiteral("/../outside.txt")}));
    refusal(service.deletePaths({QStringLiteral("/to-decoy/etc/passwd")}));
    refusal(service.rename(QStringLiteral("/inside.txt"), QStringLiteral("../moved.txt")));
    EXPECT_TRUE(outside.open(QIODevice::ReadOnly));
    EXPECT_EQ(outside.readAll(), QByteArray("secret"));
    EXPECT_FALSE(QFileInfo::exists(scratch.filePath(QStringLiteral("moved.txt"))));
    QFile decoyPasswd(decoy + QStringLiteral("/etc/passwd"));
    EXPECT_TRUE(decoyPasswd.open(QIODevice::ReadOnly));
    EXPECT_EQ(decoyPasswd.readAll(), QByteArray("decoy"));
    EXPECT_TRUE(exists(QStringLiteral("/inside.txt")));
}

TEST_F(FileOpsAgentTest, ReadsOfNonFilesAreRefusedWithAMessage) {
    ASSERT_TRUE(QDir(root).mkdir(QStringLiteral("d")));
    EXPECT_NE(refusal(service.readFile(QStringLiteral("/d"), 10)), "");
    EXPECT_EQ(refusal(service.readFile(QStringLiteral("/nope"), 10)),
              "No such file or directory: /nope");
    EXPECT_NE(refusal(service.rename(QStringLiteral("/d"), QStringLiteral(".."))), "");
    EXPECT_NE(refusal(service.rename(QStringLiteral("/d"), QStringLiteral("a/b"))), "");
    EXPECT_TRUE(exists(QStringLiteral("/d")));
}

}  // namespace
}  // namespace quorvale::testing
