// A card's block device that goes away under the running VM, during an export, an upload and a
// listing. The card is a loop device over an image on a small tmpfs of the test's own; it goes
// as a card does:
// - the reader unplugged: every read and write of the device fails (the backing file is cut to
//   nothing, so reads fail, and the tmpfs is filled, so writes fail);
// - the card pulled from a reader that stays: the device's size drops to 0 as well.
// Each call ends with an error (or, having read the card before it went, the card's own bytes)
// well within its timeout, nothing is published under a final name, the VM stops without
// hanging, and with the card back a new VM mounts and lists it.
// Reads past the end of a device that shrank are zeros to QEMU, not errors: the host's file
// operations check the card's size before they hand over an exported file or a listing.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <chrono>
#include <functional>

#include "booted_vm.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_error.h"
#include "rpc/json_rpc.h"
#include "vm_test_support.h"

namespace quorvale::guest {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using rpc::AnyCodable;

constexpr auto callTimeout = 30s;
constexpr size_t chunk = 1 << 20;
constexpr size_t bigSize = (8 << 20) + 777;
constexpr int entries = 1500;

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    unsigned x = 2463534242u;
    for (char& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<char>(x);
    }
    return bytes;
}

enum class Pull { readerUnplugged, cardPulled };

class PulledDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0 || ::access("/dev/loop-control", W_OK) != 0)
            GTEST_SKIP() << "needs root and loop devices to stand in for a card";
        ASSERT_TRUE(work.isValid());
        media = work.filePath("media").toStdString();
        ASSERT_EQ(shell("mkdir -p '" + media + "'"), 0);
        // Room for the card and a little more: filling it leaves the device nowhere to write.
        if (::mount("tmpfs", media.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=48m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs for the card";
        mounted = true;
        const std::string tree = work.filePath("tree").toStdString();
        ASSERT_EQ(shell("mkdir -p '" + tree + "/many'"), 0);
        ASSERT_EQ(shell("printf 'hello\\n' > '" + tree + "/hello.txt'"), 0);
        ASSERT_EQ(shell("cd '" + tree + "/many' && seq -f 'entry-%g.txt' 1 " +
                        std::to_string(entries) + " | xargs touch"),
                  0);
        {
            std::FILE* file = std::fopen((tree + "/big.bin").c_str(), "wb");
            ASSERT_TRUE(file);
            ASSERT_EQ(std::fwrite(big.data(), 1, big.size(), file), big.size());
            std::fclose(file);
        }
        pristine = work.filePath("pristine.img").toStdString();
        makePartitionedImage(pristine, tree, 40);
        card = media + "/card.img";
        ASSERT_EQ(shell("cp '" + pristine + "' '" + card + "'"), 0);
        device = shellOutput("losetup -f --show '" + card + "' 2>/dev/null");
        while (!device.empty() && device.back() == '\n')
            device.pop_back();
        if (device.empty())
            GTEST_SKIP() << "no free loop device to stand in for a card";
    }

    void TearDown() override {
        if (!device.empty())
            shell("losetup -d '" + device + "'");
        if (mounted)
            ::umount2(media.c_str(), MNT_DETACH);
    }

    UniqueFd openDevice() const {
        // As the helper opens a card: exclusively, so nothing on the host mounts it.
        return UniqueFd(::open(device.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
    }

    void pull(Pull how) {
        ASSERT_EQ(shell("truncate -s 0 '" + card + "'"), 0);
        shell("dd if=/dev/zero of='" + media + "/filler' bs=1M status=none 2>/dev/null");
        if (how == Pull::cardPulled) {
            ASSERT_EQ(shell("losetup -c '" + device + "'"), 0);
        }
        const std::string size = shellOutput("blockdev --getsize64 '" + device + "' 2>/dev/null");
        ASSERT_EQ(size == "0\n", how == Pull::cardPulled) << size;
    }

    // The card put back into the same device.
    void putBack() {
        ASSERT_EQ(shell("rm -f '" + media + "/filler' && cp '" + pristine + "' '" + card +
                        "' && losetup -c '" + device + "'"),
                  0);
    }

    // With the card back, a new VM mounts it and lists it as it was.
    void expectMountsAgain() {
        putBack();
        BootedVM again(openDevice(), "sdb2");
        EXPECT_EQ(again.names("/"),
                  (std::vector<std::string>{"big.bin", "hello.txt", "lost+found", "many"}));
        EXPECT_EQ(again.read("/hello.txt"), "hello\n");
    }

    // Uploads a large file in chunks and pulls the card after the first.
    void uploadAndPull(Pull how);
    // The host's file operations on the VM's transport, as the app makes them.
    static std::unique_ptr<fileops::FileOperationService> files(BootedVM& vm) {
        auto service = std::make_unique<fileops::FileOperationService>(vm.transport);
        service->checkDisksWith(
            [&vm](const std::optional<QString>& partition) { vm.service.checkDisks(partition); });
        return service;
    }

    QTemporaryDir work;
    std::string media, pristine, card, device;
    bool mounted = false;
    const std::string big = pattern(bigSize);
};

// What one call did: its reply, or the error it ended with, and how long it took.
struct Outcome {
    std::optional<AnyCodable> reply;
    std::string error;
    bool timedOut = false;
    std::chrono::milliseconds took{};
};

Outcome attempt(const std::function<AnyCodable()>& call) {
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    try {
        outcome.reply = call();
    } catch (const VsockError& error) {
        outcome.error = error.what();
        outcome.timedOut = error.kind == VsockError::Kind::timeout;
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
    outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return outcome;
}

// An error the user can be shown: one line, and not the transport giving up on a silent guest.
void expectClearError(const Outcome& outcome, const std::string& what) {
    EXPECT_FALSE(outcome.timedOut) << what << ": no answer within " << callTimeout.count() << " s";
    EXPECT_FALSE(outcome.error.empty()) << what;
    EXPECT_EQ(outcome.error.find('\n'), std::string::npos) << what << ": " << outcome.error;
    EXPECT_LT(outcome.took, callTimeout) << what;
}

// The VM stops in bounded time, however the card went.
void expectStops(BootedVM& vm) {
    const auto start = std::chrono::steady_clock::now();
    vm.transport.disconnect();
    run(vm.service.stopVM());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "stopping the VM hung";
}

TEST_F(PulledDeviceTest, ReaderUnpluggedDuringAnExport) {
    {
        BootedVM vm(openDevice(), "sdb2");
        std::string exported;
        Outcome last;
        for (size_t offset = 0; offset < big.size(); offset += chunk) {
            if (offset == chunk)
                pull(Pull::readerUnplugged);
            last = attempt([&] {
                return vm.call("read_file",
                               {{"path", AnyCodable("/big.bin")},
                                {"offset", AnyCodable(static_cast<int64_t>(offset))},
                                {"max_bytes", AnyCodable(static_cast<int64_t>(chunk))}},
                               callTimeout);
            });
            if (!last.reply)
                break;
            exported += rpc::base64Decode(*last.reply->stringValue()).value();
        }
        if (last.reply) {
            // Only bytes read before the card went could make a whole export.
            EXPECT_TRUE(exported == big) << "an export of a pulled card returned other bytes";
        } else {
            expectClearError(last, "the export's call after the pull");
        }
        expectStops(vm);
    }
    expectMountsAgain();
}

void PulledDeviceTest::uploadAndPull(Pull how) {
    {
        BootedVM vm(openDevice(), "sdb2");
        Outcome last;
        const auto syncCard = [&] {
            return attempt([&] {
                return vm.call("sync", {{"disk", AnyCodable("sdb")}}, callTimeout);
            });
        };
        for (size_t offset = 0; offset < big.size(); offset += chunk) {
            if (offset == chunk) {
                const Outcome before = syncCard();
                ASSERT_TRUE(before.reply) << "sync of a healthy card failed: " << before.error;
                EXPECT_EQ(before.reply->boolValue(), std::optional<bool>(true));
                pull(how);
            }
            const std::string piece = big.substr(offset, chunk);
            last = attempt([&] {
                return vm.call("write_file",
                               {{"path", AnyCodable("/up.bin")},
                                {"data_b64", AnyCodable(rpc::base64Encode(piece))},
                                {"offset", AnyCodable(static_cast<int64_t>(offset))},
                                {"final", AnyCodable(offset + chunk >= big.size())}},
                               callTimeout);
            });
            if (!last.reply)
                break;
        }
        ASSERT_FALSE(last.reply) << "an upload onto a pulled card was reported done";
        expectClearError(last, "the upload's call after the pull");
        // Writes that never reached the card make its flush fail, not answer true.
        const Outcome flushed = syncCard();
        EXPECT_FALSE(flushed.reply) << "sync of a card that lost writes was reported done";
        if (!flushed.reply) {
            expectClearError(flushed, "sync after the pull");
            EXPECT_NE(flushed.error.find("sdb2"), std::string::npos) << flushed.error;
        }
        expectStops(vm);
    }
    expectMountsAgain();
    // The upload never reached its final name.
    BootedVM check(openDevice(), "sdb2");
    const auto names = check.names("/");
    EXPECT_EQ(std::count(names.begin(), names.end(), "up.bin"), 0);
}

TEST_F(PulledDeviceTest, ReaderUnpluggedDuringAnUpload) {
    uploadAndPull(Pull::readerUnplugged);
}

TEST_F(PulledDeviceTest, CardPulledDuringAnUpload) {
    uploadAndPull(Pull::cardPulled);
}

TEST_F(PulledDeviceTest, ReaderUnpluggedDuringAListing) {
    {
        BootedVM vm(openDevice(), "sdb2");
        ASSERT_EQ(vm.read("/hello.txt"), "hello\n");
        pull(Pull::readerUnplugged);
        const Outcome listing = attempt([&] {
            return vm.call("list_dir", {{"path", AnyCodable("/many")}}, callTimeout);
        });
        if (listing.reply) {
            ASSERT_TRUE(listing.reply->arrayValue());
            EXPECT_EQ(listing.reply->arrayValue()->size(), static_cast<size_t>(entries))
                << "a listing cut off half way";
        } else {
            expectClearError(listing, "the listing after the pull");
        }
        // A later call on the gone card also ends, one way or the other, within its timeout.
        const Outcome next = attempt([&] {
            return vm.call("read_file",
                           {{"path", AnyCodable("/big.bin")},
                            {"offset", AnyCodable(static_cast<int64_t>(5 * chunk))},
                            {"max_bytes", AnyCodable(static_cast<int64_t>(chunk))}},
                           callTimeout);
        });
        if (next.reply)
            EXPECT_TRUE(rpc::base64Decode(*next.reply->stringValue()).value() ==
                        big.substr(5 * chunk, chunk))
                << "a read of a pulled card returned other bytes";
        else
            expectClearError(next, "a read after the pull");
        expectStops(vm);
    }
    expectMountsAgain();
}

// The card's reads are zeros once its device is empty: the export fails and publishes nothing,
// however many of its chunks the guest answered before.
TEST_F(PulledDeviceTest, CardPulledDuringAnExport) {
    const QString out = work.filePath("out");
    ASSERT_EQ(shell("mkdir -p '" + out.toStdString() + "'"), 0);
    {
        BootedVM vm(openDevice(), "sdb2");
        const auto service = files(vm);
        fileops::TransferOptions options;
        options.partition = QString::fromStdString(vm.partition);
        options.chunkBytes = chunk;
        bool pulled = false;
        options.progress = [&](std::uint64_t done, std::uint64_t) {
            if (!pulled && done > 0) {
                pulled = true;
                pull(Pull::cardPulled);
            }
        };
        const Outcome exported = attempt([&] {
            run(service->exportFile(QStringLiteral("/big.bin"), out + QStringLiteral("/big.bin"),
                                    big.size(), std::move(options)));
            return AnyCodable();
        });
        ASSERT_TRUE(pulled) << "the export ended before the card went";
        EXPECT_FALSE(exported.reply) << "an export of a pulled card was reported done";
        expectClearError(exported, "the export after the pull");
        EXPECT_EQ(shellOutput("ls -A '" + out.toStdString() + "'"), "")
            << "a failed export left a file behind";
        expectStops(vm);
    }
    expectMountsAgain();
}

// A folder read after the card went comes back as a clear error, never cut short.
TEST_F(PulledDeviceTest, CardPulledDuringAListing) {
    {
        BootedVM vm(openDevice(), "sdb2");
        ASSERT_EQ(vm.read("/hello.txt"), "hello\n");
        const auto service = files(vm);
        pull(Pull::cardPulled);
        std::size_t listed = 0;
        const Outcome listing = attempt([&] {
            listed = run(service->listDirectory(QStringLiteral("/many"),
                                                QString::fromStdString(vm.partition)))
                         .size();
            return AnyCodable();
        });
        EXPECT_FALSE(listing.reply) << "a listing of a pulled card was handed on: " << listed
                                    << " of " << entries << " entries";
        expectClearError(listing, "the listing after the pull");
        expectStops(vm);
    }
    expectMountsAgain();
}

}  // namespace
}  // namespace quorvale::guest
