// QEMU killed at a random moment of an upload, rename, delete, duplicate or new folder, through
// the application's own road. Afterwards, on the image: once the journal is replayed e2fsck has
// nothing to repair; an operation the app reported done is complete and byte-exact; one it did
// not report is absent or complete, never partial under its final name; and no hidden leftover
// stays once the card has been mounted again.
//
// CI makes QUORVALE_CRASH_RUNS runs (15 by default; make soak makes 300), each with its own
// operation and moment drawn from QUORVALE_FAULT_SEED. Every tenth round of the five operations,
// the first included, runs them without a kill: those runs time each operation, and the kills of
// the other rounds fall within 5/4 of that time, so that most land while the operation runs.

#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "fault_support.h"

namespace quorvale::fault {
namespace {

using namespace std::chrono_literals;

QByteArray pattern(qsizetype size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xff);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// One entry of a folder on the image, as debugfs lists it.
struct Entry {
    bool directory = false;
    qint64 size = 0;
};

// The entries of `folder` on the image (without "." and ".."); the host's own view, without
// the journal.
std::map<QString, Entry> listing(const QString& image, const QString& folder) {
    QString out;
    shell("debugfs -R 'ls -p " + folder + "' '" + image + "' 2>/dev/null", &out);
    std::map<QString, Entry> entries;
    // /inode/mode/uid/gid/name/size/
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split('/');
        if (fields.size() < 7 || fields[5] == QLatin1String(".") ||
            fields[5] == QLatin1String(".."))
            continue;
        // The mode is octal with its file type, such as 040755 for a folder.
        const bool directory = (fields[2].toUInt(nullptr, 8) & S_IFMT) == S_IFDIR;
        entries[fields[5]] = Entry{directory, fields[6].toLongLong()};
    }
    return entries;
}

QByteArray hostRead(const QString& image, const QString& path) {
    QTemporaryDir dir;
    const QString out = dir.filePath("out");
    // debugfs takes double quotes, not single ones.
    shell("debugfs -R 'dump \"" + path + "\" \"" + out + "\"' '" + image + "' >/dev/null 2>&1");
    QFile file(out);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Names that are neither the card's own nor an operation's result: leftovers of the app.
QStringList leftovers(const QString& image) {
    QStringList found;
    for (const QString& folder : {QStringLiteral("/"), QStringLiteral("/docs")}) {
        for (const auto& [name, entry] : listing(image, folder)) {
            if (name.startsWith('.'))
                found << folder + (folder.endsWith('/') ? "" : "/") + name;
        }
    }
    return found;
}

// The card every run starts from.
struct Card {
    QByteArray hello = "hello\n";
    QByteArray note = pattern(100 << 10, 1);
    QByteArray big = pattern(3 << 20, 2);
    QByteArray upload = pattern((9 << 20) + 12345, 3);  // three calls of 4 MiB at most
};

bool makeCard(const Card& card, const QString& folder, const QString& image) {
    const QString tree = folder + "/tree";
    return QDir().mkpath(tree + "/docs") && writeFile(tree + "/hello.txt", card.hello) &&
           writeFile(tree + "/docs/note.txt", card.note) &&
           writeFile(tree + "/big.bin", card.big) &&
           shell("mkfs.ext4 -q -F -L crash -d '" + tree + "' '" + image + "' 64M") == 0;
}

struct Operation {
    const char* name;
    QStringList args;  // for the road, after the operation's name
    int windowMs;      // the kill falls within this many ms of the operation's start at most
};

// How long after "ready" a kill may fall for `op`: 5/4 of the median time its unkilled runs
// took, within [20 ms, op.windowMs]; op.windowMs while none has been timed.
int killWindowMs(const Operation& op, std::vector<int> timed) {
    if (timed.empty())
        return op.windowMs;
    std::sort(timed.begin(), timed.end());
    return std::clamp(timed[timed.size() / 2] * 5 / 4, 20, op.windowMs);
}

std::vector<Operation> operations(const QString& localUpload) {
    return {
        {"upload", {localUpload, "/up.bin"}, 6000},
        {"rename", {"/docs/note.txt", "renamed.txt"}, 600},
        {"delete", {"/big.bin"}, 600},
        {"duplicate", {"/big.bin", "/docs/copy.bin"}, 2500},
        {"mkdir", {"/docs/made"}, 600},
    };
}

// The PID of the QEMU that `parent` started, or 0.
pid_t qemuOf(qint64 parent) {
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // pid (comm) state ppid ...
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == parent &&
            text.mid(text.indexOf('(') + 1, close - text.indexOf('(') - 1).startsWith("qemu"))
            return static_cast<pid_t>(pid.toInt());
    }
    return 0;
}

// What one run found wrong; empty when the card came through.
QStringList check(const Card& card, const Operation& op, bool acknowledged, const QString& image) {
    QStringList problems;
    const auto root = listing(image, "/");
    const auto docs = listing(image, "/docs");
    const auto has = [](const std::map<QString, Entry>& folder, const char* name) {
        return folder.count(QString::fromLatin1(name)) > 0;
    };
    // Exactly `expected`, or (when not acknowledged) absent.
    const auto file = [&](const std::map<QString, Entry>& folder, const char* name,
                          const QString& path, const QByteArray& expected, bool mayBeAbsent) {
        if (!has(folder, name)) {
            if (!mayBeAbsent)
                problems << path + " is missing";
            return;
        }
        if (hostRead(image, path) != expected)
            problems << QStringLiteral("%1 holds %2 bytes, not the %3 expected")
                            .arg(path)
                            .arg(folder.at(QString::fromLatin1(name)).size)
                            .arg(expected.size());
    };
    const QString name = QString::fromLatin1(op.name);
    // What no operation touches.
    file(root, "hello.txt", "/hello.txt", card.hello, false);
    if (name != QLatin1String("delete"))
        file(root, "big.bin", "/big.bin", card.big, false);
    if (name != QLatin1String("rename"))
        file(docs, "note.txt", "/docs/note.txt", card.note, false);

    if (name == QLatin1String("upload")) {
        file(root, "up.bin", "/up.bin", card.upload, !acknowledged);
    } else if (name == QLatin1String("rename")) {
        const bool before = has(docs, "note.txt");
        const bool after = has(docs, "renamed.txt");
        if (before == after)
            problems << QStringLiteral("the renamed file is %1").arg(before ? "twice" : "gone");
        if (acknowledged && before)
            problems << "an acknowledged rename is undone";
        file(docs, before ? "note.txt" : "renamed.txt",
             before ? "/docs/note.txt" : "/docs/renamed.txt", card.note, true);
    } else if (name == QLatin1String("delete")) {
        if (acknowledged && has(root, "big.bin"))
            problems << "an acknowledged delete is undone";
        file(root, "big.bin", "/big.bin", card.big, true);
    } else if (name == QLatin1String("duplicate")) {
        file(docs, "copy.bin", "/docs/copy.bin", card.big, !acknowledged);
    } else if (name == QLatin1String("mkdir")) {
        if (acknowledged && !(has(docs, "made") && docs.at("made").directory))
            problems << "an acknowledged new folder is missing";
    }
    return problems;
}

struct Totals {
    int runs = 0, unkilled = 0, killedBeforeAck = 0, killedAfterAck = 0, missed = 0;
    int unclean = 0, partial = 0, lost = 0, leftoversAfterRemount = 0, withProblems = 0;
    int neverMounted = 0;
};

TEST(CrashHarnessTest, KillingTheVmMidOperationLeavesACleanCard) {
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    bool ok = false;
    int runs = qEnvironmentVariableIntValue("QUORVALE_CRASH_RUNS", &ok);
    if (!ok || runs <= 0)
        runs = 15;
    const int seed = faultSeed();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const Card card;
    const QString pristine = folder.filePath("pristine.img");
    ASSERT_TRUE(makeCard(card, folder.path(), pristine));
    const QString localUpload = folder.filePath("upload.bin");
    ASSERT_TRUE(writeFile(localUpload, card.upload));
    const std::vector<Operation> ops = operations(localUpload);

    Totals totals;
    std::map<std::string, Totals> perOperation;
    std::map<std::string, std::vector<int>> durations;  // ms per operation that ended
    std::map<std::string, std::vector<int>> timed;      // ms per operation run without a kill
    for (int run = 0; run < runs; ++run) {
        const Operation& op = ops[run % ops.size()];
        const bool unkilled = (run / ops.size()) % 10 == 0;
        std::mt19937 random(static_cast<unsigned>(seed * 7919 + run));
        const int windowMs = killWindowMs(op, timed[op.name]);
        const int delayMs = std::uniform_int_distribution<int>(0, windowMs)(random);
        const QString image = folder.filePath(QStringLiteral("run%1.img").arg(run));
        ASSERT_TRUE(QFile::copy(pristine, image));
        const std::string what =
            (unkilled ? QStringLiteral("run %1 (%2, no kill)").arg(run).arg(QLatin1String(op.name))
                      : QStringLiteral("run %1 (%2, kill after %3 of %4 ms)")
                            .arg(run)
                            .arg(QLatin1String(op.name))
                            .arg(delayMs)
                            .arg(windowMs))
                .toStdString();

        // The kill comes from a thread of its own, `delayMs` after the road is ready to operate.
        std::thread killer;
        std::mutex mutex;
        bool killed = false, acknowledged = false, ackBeforeKill = false;
        const RoadRun road = runRoad(
            QStringList{"--ready-timeout", "120", "--linger", "2000", "op", image,
                        QLatin1String(op.name)} +
                op.args,
            600s, Access::readWrite, {}, [&](const RoadLine& line, qint64 pid) {
                if (line.value(0) == QLatin1String("ready") && !unkilled && !killer.joinable()) {
                    killer = std::thread([&, pid] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                        const pid_t qemu = qemuOf(pid);
                        std::lock_guard lock(mutex);
                        killed = qemu > 0 && ::kill(qemu, SIGKILL) == 0;
                    });
                } else if (line.value(0) == QLatin1String("done")) {
                    std::lock_guard lock(mutex);
                    acknowledged = line.value(2) == QLatin1String("ok");
                    ackBeforeKill = acknowledged && !killed;
                    durations[op.name].push_back(line.value(3).toInt());
                    if (unkilled && acknowledged)
                        timed[op.name].push_back(line.value(3).toInt());
                }
            });
        if (killer.joinable())
            killer.join();
        Totals& mine = perOperation[op.name];
        ++totals.runs;
        ++mine.runs;
        ASSERT_TRUE(road.started);
        EXPECT_FALSE(road.crashed) << what << ": the host crashed: " << road.errors.toStdString();
        EXPECT_FALSE(road.hung) << what << ": the host hung";
        const bool ready = std::any_of(road.lines.begin(), road.lines.end(),
                                       [](const RoadLine& l) { return l.value(0) == "ready"; });
        if (!ready) {
            // Nothing was killed, so the card is untouched; the failed mount is reported and
            // the soak goes on with its next run.
            ++totals.neverMounted;
            ++mine.neverMounted;
            QStringList said;
            for (const RoadLine& line : road.lines)
                said << line.join(' ');
            ADD_FAILURE() << what << ": the card never mounted (exit " << road.exitCode
                          << "): " << said.join(" | ").toStdString() << " "
                          << road.errors.toStdString();
            std::printf("%s: never mounted\n", what.c_str());
            std::fflush(stdout);
            continue;
        }
        const char* moment = unkilled                        ? "none"
                             : !killed                       ? "missed"
                             : acknowledged && ackBeforeKill ? "after-ack"
                                                             : "before-ack";
        if (unkilled) {
            ++totals.unkilled;
            ++mine.unkilled;
            EXPECT_TRUE(acknowledged) << what << ": the operation failed without a kill";
        } else if (!killed) {
            ++totals.missed;
            ++mine.missed;
        } else if (acknowledged && ackBeforeKill) {
            ++totals.killedAfterAck;
            ++mine.killedAfterAck;
        } else {
            ++totals.killedBeforeAck;
            ++mine.killedBeforeAck;
        }

        QStringList problems;
        // The journal replayed as a mount would; then a full check must find nothing.
        shell("e2fsck -E journal_only -y '" + image + "' >/dev/null 2>&1");
        QString fsck;
        if (shell("e2fsck -fn '" + image + "' 2>&1", &fsck) != 0) {
            ++totals.unclean;
            problems << "e2fsck finds damage after recovery:\n" + fsck.right(600);
        }
        const QStringList wrong = check(card, op, acknowledged, image);
        for (const QString& problem : wrong) {
            if (problem.contains(QLatin1String("missing")) ||
                problem.contains(QLatin1String("undone")))
                ++totals.lost;
            else if (problem.contains(QLatin1String("holds")))
                ++totals.partial;
        }
        problems << wrong;
        // A leftover of the interrupted operation must be gone once the card is mounted again.
        if (!leftovers(image).isEmpty()) {
            const RoadRun again = runRoad({"--ready-timeout", "120", "walk", image}, 600s);
            const QStringList left = leftovers(image);
            if (!left.isEmpty()) {
                ++totals.leftoversAfterRemount;
                problems << "left after mounting again: " + left.join(", ");
            }
            EXPECT_FALSE(again.crashed || again.hung) << what << ": the second mount failed";
        }
        // One line a run, so that a long soak cut short still tells what it saw.
        std::printf("%s: kill %s, %s\n", what.c_str(), moment,
                    problems.isEmpty() ? "clean" : "PROBLEMS");
        std::fflush(stdout);
        if (!problems.isEmpty()) {
            ++totals.withProblems;
            ++mine.withProblems;
            ADD_FAILURE() << what << ":\n  " << problems.join("\n  ").toStdString();
        } else {
            QFile::remove(image);
        }
    }
    std::printf(
        "crash runs: %d (not killed %d, killed before the acknowledgement %d, after it %d, kill "
        "missed %d); unclean after recovery %d, partial files %d, lost acknowledged operations "
        "%d, leftovers after a new mount %d, never mounted %d\n",
        totals.runs, totals.unkilled, totals.killedBeforeAck, totals.killedAfterAck, totals.missed,
        totals.unclean, totals.partial, totals.lost, totals.leftoversAfterRemount,
        totals.neverMounted);
    for (const auto& [name, counts] : perOperation) {
        std::vector<int>& ms = durations[name];
        std::sort(ms.begin(), ms.end());
        std::printf(
            "  %s: %d runs (not killed %d, killed before the acknowledgement %d, after it %d, "
            "missed %d), %d with problems; %zu ended, median %d ms\n",
            name.c_str(), counts.runs, counts.unkilled, counts.killedBeforeAck,
            counts.killedAfterAck, counts.missed, counts.withProblems, ms.size(),
            ms.empty() ? 0 : ms[ms.size() / 2]);
    }
    EXPECT_EQ(totals.withProblems, 0);
    EXPECT_EQ(totals.neverMounted, 0);
    // The moments must mostly fall inside the operations, or the harness proves little.
    const int killRuns = totals.runs - totals.unkilled;
    EXPECT_LE(totals.missed, killRuns / 2) << "most kills came after the VM had stopped";
    // Over a soak's hundreds of runs, a good share must also come before the acknowledgement.
    if (killRuns >= 100) {
        EXPECT_GE(totals.killedBeforeAck, killRuns / 3)
            << "few kills came before the acknowledgement";
    }
}

}  // namespace
}  // namespace quorvale::fault
