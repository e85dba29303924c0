// What a check's result means (clean, damaged with its findings, skipped, not run), how the
// guest's status is decoded, and a check skipped while it runs, against a fake guest.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <sys/socket.h>

#include "app/health/check_report.h"
#include "app_test_support.h"
#include "fileops/partition_control.h"
#include "guest/vsock_transport.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using fileops::CheckStatus;
using Outcome = CheckReport::Outcome;

QByteArray superblock(std::uint16_t state, std::uint32_t incompat = 0) {
    QByteArray b(1024, '\0');
    b[0x38] = char(0x53);
    b[0x39] = char(0xEF);
    b[0x3A] = char(state);
    b[0x60] = char(incompat);
    return b;
}

CheckStatus finished(int exitCode, QString output, QByteArray sb = superblock(1)) {
    CheckStatus status;
    status.state = CheckStatus::State::finished;
    status.exitCode = exitCode;
    status.output = std::move(output);
    status.superblock = std::move(sb);
    return status;
}

const QString cleanOutput =
    "e2fsck 1.47.0 (5-Feb-2023)\nPass 1: Checking inodes, blocks, and sizes\nPass 5: Checking "
    "group summary information\nCARD: 12/8192 files (0.0% non-contiguous), 1360/32768 blocks\n";
const QString damagedOutput =
    "e2fsck 1.47.0 (5-Feb-2023)\nPass 1: Checking inodes, blocks, and sizes\n"
    "Pass 4: Checking reference counts\nInode 2 ref count is 9, should be 3.  Fix? no\n\n"
    "Block bitmap differences:  +(1--259)\nFix? no\n\n"
    "CARD: ********** WARNING: Filesystem still has errors **********\n\n"
    "CARD: 12/8192 files (0.0% non-contiguous), 1360/32768 blocks\n";

TEST(CheckReport, OutcomeFindingsAndExitStatus) {
    struct Case {
        const char* name;
        CheckStatus status;
        Outcome outcome;
        int exitStatus;
        QString message;
        QStringList findings;
    };
    CheckStatus skipped = finished(32, "e2fsck 1.47.0\n");
    skipped.state = CheckStatus::State::cancelled;
    const Case cases[] = {
        {"clean",
         finished(0, cleanOutput),
         Outcome::clean,
         0,
         "Safe to remove: the file system is clean",
         {}},
        {"damaged",
         finished(4, damagedOutput),
         Outcome::damaged,
         4,
         "The check found problems: Inode 2 ref count is 9, should be 3. (and 1 more)",
         {"Inode 2 ref count is 9, should be 3.", "Block bitmap differences:  +(1--259)"}},
        {"e2fsck content, but the superblock still wants recovery",
         finished(0, cleanOutput, superblock(1, 0x4)),
         Outcome::damaged,
         4,
         "The check found problems: the journal still needs recovery",
         {"the journal still needs recovery"}},
        {"superblock not marked clean",
         finished(0, cleanOutput, superblock(0)),
         Outcome::damaged,
         4,
         "The check found problems: the superblock is not marked clean",
         {"the superblock is not marked clean"}},
        {"a tagged finding",
         finished(4,
                  "[QUOTA WARNING] Usage inconsistent for ID 0:actual (8, 2) != expected "
                  "(4, 1)\n"),
         Outcome::damaged,
         4,
         "The check found problems: Quota warning: Usage inconsistent for ID 0:actual (8, 2) != "
         "expected (4, 1)",
         {"[QUOTA WARNING] Usage inconsistent for ID 0:actual (8, 2) != expected (4, 1)"}},
        {"operational error",
         finished(8, "e2fsck: No such file or directory while opening\n"),
         Outcome::failed,
         8,
         "The check could not run: e2fsck: No such file or directory while opening",
         {"e2fsck: No such file or directory while opening"}},
        {"errors found, then an operational error: damage, not a check that never ran",
         finished(12, damagedOutput),
         Outcome::damaged,
         4,
         "The check found problems: Inode 2 ref count is 9, should be 3. (and 1 more); the "
         "check stopped before the end",
         {"Inode 2 ref count is 9, should be 3.", "Block bitmap differences:  +(1--259)"}},
        {"an operational error after the progress lines names the error",
         finished(8,
                  "e2fsck 1.47.0 (5-Feb-2023)\ne2fsck: Cannot allocate memory while reading\n"
                  "CARD: ********** WARNING: Filesystem still has errors **********\n"),
         Outcome::failed,
         8,
         "The check could not run: e2fsck: Cannot allocate memory while reading",
         {"e2fsck: Cannot allocate memory while reading"}},
        {"skipped",
         skipped,
         Outcome::skipped,
         32,
         "Ejected without a check: the check was skipped",
         {}},
        {"cancelled by a signal",
         finished(32, ""),
         Outcome::skipped,
         32,
         "Ejected without a check: the check was skipped",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CheckReport report = makeCheckReport(c.status);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(report.exitStatus(), c.exitStatus);
        EXPECT_EQ(report.message.toStdString(), c.message.toStdString());
        EXPECT_EQ(report.findings, c.findings) << report.findings.join('|').toStdString();
    }
    EXPECT_EQ(makeCheckReport(finished(4, damagedOutput)).summary,
              "CARD: 12/8192 files (0.0% non-contiguous), 1360/32768 blocks");
}

// e2fsck puts a damaged bitmap's differences on one line of tens of kilobytes; the message
// stays one readable line and the findings keep the whole of it.
TEST(CheckReport, LongFindingsAreCutInTheMessageOnly) {
    QString differences = "Block bitmap differences: ";
    for (int block = 4; differences.size() < 20000; block += 3)
        differences += QStringLiteral(" +%1").arg(block);
    for (const auto& [exitCode, prefix] :
         {std::pair{4, "The check found problems: Block bitmap differences:  +4 +7"},
          std::pair{8, "The check could not run: Block bitmap differences:  +4 +7"}}) {
        const CheckReport report = makeCheckReport(finished(exitCode, differences + "\n"));
        SCOPED_TRACE(exitCode);
        EXPECT_TRUE(report.message.startsWith(QLatin1String(prefix)))
            << report.message.left(200).toStdString();
        EXPECT_LE(report.message.size(), 160);
        ASSERT_TRUE(report.message.endsWith(QChar(0x2026)));
        // Cut between two block numbers, not inside one.
        const QString kept =
            report.message.mid(report.message.indexOf(QLatin1String("Block"))).chopped(1);
        EXPECT_TRUE(differences.startsWith(kept));
        EXPECT_EQ(differences.at(kept.size()), QLatin1Char(' '));
        EXPECT_EQ(report.findings, QStringList{differences});
    }
}

TEST(CheckStatusDecoding, AcceptsOnlyWellFormedStatuses) {
    struct Case {
        const char* json;
        bool valid;
        int percent;
        std::optional<int> exitCode;
    } cases[] = {
        {R"({"state":"running","pass":1,"percent":35,"output":""})", true, 35, std::nullopt},
        {R"({"state":"finished","pass":5,"percent":100,"exit_code":4,"output":"x",
             "superblock_b64":"AAAA"})",
         true, 100, 4},
        {R"({"state":"running","percent":900})", true, 100, std::nullopt},
        {R"({"state":"finished","percent":100})", false, 0, std::nullopt},
        {R"({"state":"exploded"})", false, 0, std::nullopt},
        {R"({"state":"finished","exit_code":0,"superblock_b64":"!!"})", false, 0, std::nullopt},
        {R"(["running"])", false, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const auto status = fileops::decodeCheckStatus(boost::json::parse(c.json));
        ASSERT_EQ(status.has_value(), c.valid);
        if (!status)
            continue;
        EXPECT_EQ(status->percent, c.percent);
        EXPECT_EQ(status->exitCode, c.exitCode);
    }
}

TEST(PartitionControl, ASkippedCheckIsCancelledInTheGuestAndReportedAsSkipped) {
    ensureApplication();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    bool cancelled = false;
    int polls = 0;
    FakeGuest guest(UniqueFd(fds[1]), [&](const std::string& method) {
        if (method == "check_cancel") {
            cancelled = true;
            return GuestReply::result("true");
        }
        if (method == "check_status") {
            ++polls;
            return GuestReply::result(
                cancelled ? R"({"state":"cancelled","pass":1,"percent":12,"exit_code":32})"
                          : R"({"state":"running","pass":1,"percent":)" +
                                std::to_string(polls * 4) + "}");
        }
        return GuestReply::result(R"({"started":true})");
    });
    guest::VsockTransport transport;
    transport.connect(UniqueFd(fds[0]));
    fileops::PartitionControl control(transport);
    std::stop_source skip;
    QList<int> seen;
    std::optional<CheckStatus> result;
    run([&]() -> QCoro::Task<void> {
        result = co_await control.runCheck(
            "sdb1",
            [&](const CheckStatus& status) {
                seen << status.percent;
                if (seen.size() == 3)
                    skip.request_stop();
            },
            skip.get_token(), std::chrono::milliseconds(1));
    }());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->state, CheckStatus::State::cancelled);
    EXPECT_EQ(seen.mid(0, 3), (QList<int>{4, 8, 12}));
    EXPECT_EQ(guest.methods.first(), "check_filesystem");
    EXPECT_EQ(guest.methods.count("check_cancel"), 1);
    EXPECT_EQ(makeCheckReport(*result).outcome, Outcome::skipped);
}

}  // namespace
}  // namespace quorvale::app
