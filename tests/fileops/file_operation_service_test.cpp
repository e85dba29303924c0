#include <gtest/gtest.h>

#include <atomic>

#include "fileops/file_operation_service.h"
#include "fileops/scripted_peer.h"
#include "guest/vsock_transport.h"
#include "rpc/json_rpc.h"

namespace quorvale::fileops {
namespace {

using testing::LogCapture;
using testing::run;
using testing::ScriptedPeer;

constexpr const char* fileOpsCategory = "com.quorvale.app.FileOps";

// A transport connected to a scripted peer, and a service over it.
class FileOperationServiceTest : public ::testing::Test {
protected:
    void connect(ScriptedPeer::Script script) {
        testing::ensureApplication();
        peer = std::make_unique<ScriptedPeer>(std::move(script));
        transport.connect(peer->takeHostEnd());
    }
    // Answers every call with the same result member.
    void answer(std::optional<std::string> member) {
        connect([member](const boost::json::object&) { return member; });
    }
    void TearDown() override { transport.disconnect(); }

    guest::VsockTransport transport;
    std::unique_ptr<ScriptedPeer> peer;
    FileOperationService service{transport};
};

TEST_F(FileOperationServiceTest, PingIsTrueOnlyForTheStringPong) {
    answer(ScriptedPeer::result(R"("pong")"));
    EXPECT_TRUE(run(service.ping()));
    EXPECT_EQ(peer->lines().at(0), R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");

    for (const char* other : {R"("PONG")", "true", "null", R"(["pong"])"}) {
        FileOperationServiceTest::TearDown();
        answer(ScriptedPeer::result(other));
        EXPECT_FALSE(run(service.ping())) << other;
    }
    FileOperationServiceTest::TearDown();
    answer(std::string(R"("unused":0)"));  // a reply without "result"
    EXPECT_FALSE(run(service.ping()));
}

TEST_F(FileOperationServiceTest, PartitionIsSentOnlyWhenGiven) {
    answer(ScriptedPeer::result("[]"));
    run(service.listDirectory(QStringLiteral("/docs")));
    run(service.listDirectory(QStringLiteral("/docs"), QStringLiteral("sdb2")));
    run(service.createDirectory(QStringLiteral("/new"), QString()));
    const auto lines = peer->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              R"({"jsonrpc":"2.0","id":1,"method":"list_dir","params":{"path":"/docs"}})");
    EXPECT_EQ(
        lines[1],
        R"({"jsonrpc":"2.0","id":2,"method":"list_dir","params":{"partition":"sdb2","path":"/docs"}})");
    // An empty partition name is never sent.
    EXPECT_EQ(lines[2],
              R"({"jsonrpc":"2.0","id":3,"method":"create_directory","params":{"path":"/new"}})");
}

TEST_F(FileOperationServiceTest, ListingIsDecodedAndSorted) {
    answer(ScriptedPeer::result(
        R"([{"name":"b.txt","size":3},{"name":"a10"},{"name":"a9"},)"
        R"({"name":"Zeta","is_directory":true},{"name":"Docs","is_directory":true},{"size":1}])"));
    LogCapture log(fileOpsCategory);
    QList<model::FileItem> items = run(service.listDirectory(QStringLiteral("/home")));
    QStringList names;
    for (const model::FileItem& item : items)
        names.append(item.name);
    EXPECT_EQ(names, (QStringList{"Docs", "Zeta", "a9", "a10", "b.txt"}));
    EXPECT_EQ(items.last().path, QStringLiteral("/home/b.txt"));
    EXPECT_EQ(items.last().size, 3u);
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(FileOperationServiceTest, InvalidListingsAreLoggedAndEmpty) {
    for (const char* shape : {"{}", R"("text")", R"([{"name":"a"},1])", "5"}) {
        answer(ScriptedPeer::result(shape));
        LogCapture log(fileOpsCategory);
        EXPECT_TRUE(run(service.listDirectory(QStringLiteral("/"))).isEmpty()) << shape;
        EXPECT_EQ(log.messages(), QStringList{QStringLiteral("error Invalid list_dir response")})
            << shape;
        FileOperationServiceTest::TearDown();
    }
    answer(std::string(R"("unused":0)"));
    LogCapture log(fileOpsCategory);
    EXPECT_TRUE(run(service.listDirectory(QStringLiteral("/"))).isEmpty());
    EXPECT_EQ(log.messages().size(), 1);
}

TEST_F(FileOperationServiceTest, EmptyListingIsNotLogged) {
    answer(ScriptedPeer::result("[]"));
    LogCapture log(fileOpsCategory);
    EXPECT_TRUE(run(service.listDirectory(QStringLiteral("/"))).isEmpty());
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(FileOperationServiceTest, DeleteStopsAtTheFirstFailureAndRethrowsItUnchanged) {
    connect([](const boost::json::object& request) {
        if (request.at("params").at("path") == "/b")
            return ScriptedPeer::error(-2, "No such file or directory: /b");
        return ScriptedPeer::result("null");
    });
    LogCapture log(fileOpsCategory);
    try {
        run(service.deletePaths({"/a", "/b", "/c"}, QStringLiteral("sdb1")));
        FAIL() << "delete did not throw";
    } catch (const rpc::JSONRPCError& error) {
        EXPECT_EQ(error.code, -2);
        EXPECT_STREQ(error.what(), "No such file or directory: /b");
    }
    EXPECT_EQ(
        peer->lines(),
        (std::vector<std::string>{
            R"({"jsonrpc":"2.0","id":1,"method":"delete","params":{"partition":"sdb1","path":"/a"}})",
            R"({"jsonrpc":"2.0","id":2,"method":"delete","params":{"partition":"sdb1","path":"/b"}})"}));
    EXPECT_EQ(log.messages(), (QStringList{"info Deleting: /a", "info Deleting: /b"}));

    run(service.deletePaths({}));
    EXPECT_EQ(peer->lines().size(), 2u);
}

TEST_F(FileOperationServiceTest, DeleteSendsOneCallAtATime) {
    std::atomic<int> outstanding = 0;
    std::atomic<int> most = 0;
    connect([&](const boost::json::object&) {
        most = std::max(most.load(), ++outstanding);
        --outstanding;
        return ScriptedPeer::result("true");
    });
    run(service.deletePaths({"/a", "/b", "/c"}));
    EXPECT_EQ(peer->methods(), (std::vector<std::string>{"delete", "delete", "delete"}));
    EXPECT_EQ(most.load(), 1);
}

TEST_F(FileOperationServiceTest, CallsOutliveTheServiceThatStartedThem) {
    answer(ScriptedPeer::result(R"([{"name":"x"}])"));
    auto temporary = std::make_unique<FileOperationService>(transport);
    QCoro::Task<void> deletion = temporary->deletePaths({"/a", "/b"});
    QCoro::Task<QList<model::FileItem>> listing = temporary->listDirectory(QStringLiteral("/d"));
    temporary.reset();
    run(std::move(deletion));
    EXPECT_EQ(run(std::move(listing)).value(0).path, QStringLiteral("/d/x"));
    EXPECT_EQ(peer->methods(), (std::vector<std::string>{"delete", "list_dir", "delete"}));
}

TEST_F(FileOperationServiceTest, ReadFileDecodesStrictBase64Only) {
    answer(ScriptedPeer::result(R"("aGVsbG8=")"));
    EXPECT_EQ(run(service.readFile(QStringLiteral("/a"), 65536)), QByteArray("hello"));
    EXPECT_EQ(
        peer->lines().at(0),
        R"({"jsonrpc":"2.0","id":1,"method":"read_file","params":{"max_bytes":65536,"path":"/a"}})");
    TearDown();

    answer(ScriptedPeer::result(R"("")"));
    EXPECT_EQ(run(service.readFile(QStringLiteral("/a"), 10)), QByteArray());
    TearDown();

    for (const char* bad : {R"("aGVs\nbG8=")", R"("aGVs bG8=")", R"("aGVsbG8")", R"("aGVs*G8=")",
                            "5", "null", R"(["aGk="])"}) {
        answer(ScriptedPeer::result(bad));
        try {
            run(service.readFile(QStringLiteral("/a"), 10));
            ADD_FAILURE() << "accepted " << bad;
        } catch (const FileOperationError& error) {
            EXPECT_EQ(error.kind, FileOperationError::Kind::invalidData);
            EXPECT_STREQ(error.what(), "Invalid data received from VM");
        }
        TearDown();
    }
    answer(std::string(R"("unused":0)"));
    EXPECT_THROW(run(service.readFile(QStringLiteral("/a"), 10)), FileOperationError);
}

TEST_F(FileOperationServiceTest, RenameReturnsTheStringNewPath) {
    answer(ScriptedPeer::result(R"({"new_path":"/docs/b.txt","extra":1})"));
    LogCapture log(fileOpsCategory);
    EXPECT_EQ(run(service.rename(QStringLiteral("/docs/a.txt"), QStringLiteral("b.txt"))),
              QStringLiteral("/docs/b.txt"));
    EXPECT_EQ(
        peer->lines().at(0),
        R"({"jsonrpc":"2.0","id":1,"method":"rename","params":{"new_name":"b.txt","path":"/docs/a.txt"}})");
    EXPECT_EQ(log.messages(), QStringList{QStringLiteral("info Renaming: /docs/a.txt → b.txt")});
    TearDown();

    for (const char* bad : {R"({"new_path":5})", R"({"path":"/b"})", R"("/docs/b.txt")", "null"}) {
        answer(ScriptedPeer::result(bad));
        try {
            run(service.rename(QStringLiteral("/a"), QStringLiteral("b")));
            ADD_FAILURE() << "accepted " << bad;
        } catch (const FileOperationError& error) {
            EXPECT_EQ(error.kind, FileOperationError::Kind::invalidData) << bad;
        }
        TearDown();
    }
}

TEST_F(FileOperationServiceTest, WritesCopiesAndDirectoriesSendTheirMembersAndLog) {
    answer(ScriptedPeer::result(R"({"ignored":true})"));
    LogCapture log(fileOpsCategory);
    run(service.writeFile(QStringLiteral("/empty"), QByteArray()));
    run(service.writeFile(QStringLiteral("/hi"), QByteArray("hi\0!", 4), QStringLiteral("vda1")));
    run(service.copy(QStringLiteral("/a"), QStringLiteral("/a copy")));
    run(service.createDirectory(QStringLiteral("/untitled folder")));
    run(service.sync());
    run(service.unmount());
    run(service.sync(QStringLiteral("sdb")));
    run(service.unmount(QStringLiteral("sdb")));
    run(service.copyBetween(QStringLiteral("/etc"), QStringLiteral("sdb2"), QStringLiteral("/etc"),
                            QStringLiteral("sdc1")));
    EXPECT_EQ(
        peer->lines(),
        (std::vector<std::string>{
            R"({"jsonrpc":"2.0","id":1,"method":"write_file","params":{"data_b64":"","path":"/empty"}})",
            R"({"jsonrpc":"2.0","id":2,"method":"write_file","params":{"data_b64":"aGkAIQ==","partition":"vda1","path":"/hi"}})",
            R"({"jsonrpc":"2.0","id":3,"method":"copy_file","params":{"dest_path":"/a copy","path":"/a"}})",
            R"({"jsonrpc":"2.0","id":4,"method":"create_directory","params":{"path":"/untitled folder"}})",
            R"({"jsonrpc":"2.0","id":5,"method":"sync","params":{}})",
            R"({"jsonrpc":"2.0","id":6,"method":"unmount","params":{}})",
            R"({"jsonrpc":"2.0","id":7,"method":"sync","params":{"disk":"sdb"}})",
            R"({"jsonrpc":"2.0","id":8,"method":"unmount","params":{"disk":"sdb"}})",
            R"({"jsonrpc":"2.0","id":9,"method":"copy_file","params":{"dest_partition":"sdc1","dest_path":"/etc","partition":"sdb2","path":"/etc"}})"}));
    EXPECT_EQ(
        log.messages(),
        (QStringList{"info Writing file: /empty (0 bytes)", "info Writing file: /hi (4 bytes)",
                     "info Copying: /a → /a copy", "info Creating directory: /untitled folder",
                     "info Copying: sdb2:/etc → sdc1:/etc"}));
}

TEST_F(FileOperationServiceTest, ArraysOfObjectsAreHandedOnAsReceived) {
    answer(ScriptedPeer::result(
        R"([{"name":"root","total_bytes":1000,"free_bytes":250.5},{"name":"boot"}])"));
    std::vector<Dictionary> partitions = run(service.getPartitions());
    ASSERT_EQ(partitions.size(), 2u);
    EXPECT_EQ(partitions[0].at("total_bytes").intValue(), 1000);
    EXPECT_EQ(partitions[0].at("free_bytes").numberValue(), 250.5);
    EXPECT_EQ(partitions[1].at("name").stringValue(), "boot");
    std::vector<Dictionary> usage = run(service.dirUsage(QStringLiteral("/")));
    EXPECT_EQ(usage.size(), 2u);
    EXPECT_EQ(peer->lines().at(1),
              R"({"jsonrpc":"2.0","id":2,"method":"dir_usage","params":{"path":"/"}})");
    TearDown();

    for (const char* other : {"{}", R"([{"name":"a"},2])", R"("x")", "null"}) {
        answer(ScriptedPeer::result(other));
        EXPECT_TRUE(run(service.getPartitions()).empty()) << other;
        EXPECT_TRUE(run(service.dirUsage(QStringLiteral("/"))).empty()) << other;
        TearDown();
    }
}

TEST_F(FileOperationServiceTest, TransportErrorsPassThroughUnchanged) {
    try {
        run(service.listDirectory(QStringLiteral("/")));
        FAIL() << "no error while not connected";
    } catch (const guest::VsockError& error) {
        EXPECT_EQ(error.kind, guest::VsockError::Kind::notConnected);
        EXPECT_STREQ(error.what(), "Vsock not connected");
    }
    answer(ScriptedPeer::error(-17, "File exists: /untitled folder"));
    try {
        run(service.createDirectory(QStringLiteral("/untitled folder")));
        FAIL() << "no error from the guest";
    } catch (const rpc::JSONRPCError& error) {
        EXPECT_EQ(error.code, -17);
        EXPECT_STREQ(error.what(), "File exists: /untitled folder");
    }
}

}  // namespace
}  // namespace quorvale::fileops
