// Damaged and unusual cards through the whole road with the real VM. Each card is walked twice
// by the application's own road (open, mount, list every folder, read every file, eject): once
// from a folder the app cannot write, once writable. Over every card: the host neither crashes
// nor hangs, every call ends within its timeout, the read-only walk leaves the image's bytes as
// they were, a card that cannot be listed gives the user one clear message, and the undamaged
// cards list and read completely.
//
// CI walks a sample of six kinds of card, each once (read-only and writable in turn);
// QUORVALE_FAULT_CARDS=all (make soak) walks every card of the generated set both ways,
// QUORVALE_FAULT_CARDS=3,17,40 chosen cards both ways.

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "fault_support.h"

namespace quorvale::fault {
namespace {

using namespace std::chrono_literals;

constexpr int setSize = 240;
// A call that outlives its 10-second timeout by this much did not end by its timeout (the
// machine is shared and software-emulated: the slack is generous, a hang is not).
constexpr qint64 callLimitMs = 10000 + 30000;

// The sample: the first card of six kinds, a control among them.
QList<int> sampleOf(const std::vector<CardSpec>& plan) {
    QList<int> chosen;
    std::set<QString> seen;
    for (const CardSpec& card : plan) {
        const QString kind =
            card.category == QLatin1String("control") ? card.category + card.base : card.category;
        static const std::set<QString> wanted = {"controlext4", "directory", "journal",
                                                 "truncated",   "checksum",  "extent-tree"};
        if (wanted.count(kind) && seen.insert(kind).second)
            chosen << card.index;
    }
    return chosen;
}

QList<int> chosenCards(const std::vector<CardSpec>& plan) {
    const QString wanted = qEnvironmentVariable("QUORVALE_FAULT_CARDS");
    if (wanted == QLatin1String("all")) {
        QList<int> all;
        for (const CardSpec& card : plan)
            all << card.index;
        return all;
    }
    if (wanted.isEmpty())
        return sampleOf(plan);
    QList<int> chosen;
    for (const QString& index : wanted.split(',', Qt::SkipEmptyParts))
        chosen << index.toInt();
    return chosen;
}

// What went wrong with one card in one walk.
struct Findings {
    bool crashed = false;
    bool hung = false;
    bool changed = false;
    QStringList problems;
};

// Judges the lines the road printed for one card.
void judge(const CardSpec& card, Access access, const QList<RoadLine>& lines, Findings& found) {
    // Banners of the card's use, and those of its eject (the verdict on the filesystem).
    QStringList banners;
    QStringList ejectBanners;
    bool ejecting = false;
    bool mounted = false;
    bool rootListed = false;
    std::optional<QString> rootFailure;
    QString vmState;
    for (const RoadLine& line : lines) {
        const QString step = line.value(0);
        const bool failed = line.value(2) == QLatin1String("error");
        const qint64 ms = line.value(3).toLongLong();
        if (step == QLatin1String("banner")) {
            // A read-only session tells the user so once; that is no failure.
            const bool readOnlyNotice =
                access == Access::readOnly && line.value(1).contains(QLatin1String("read-only"));
            if (ejecting)
                ejectBanners << line.value(1);
            else if (!readOnlyNotice)
                banners << line.value(1);
            if (!isClearMessage(line.value(1)))
                found.problems << "unclear banner: " + line.value(1);
        } else if (step == QLatin1String("ejecting")) {
            ejecting = true;
        } else if (step == QLatin1String("vm")) {
            vmState = line.value(1);
        } else if (step == QLatin1String("hang")) {
            found.hung = true;
            found.problems << "hang in " + line.value(1);
        } else if (step == QLatin1String("list") || step == QLatin1String("read")) {
            if (ms > callLimitMs)
                found.problems
                    << QStringLiteral("%1 %2 took %3 ms").arg(step, line.value(1)).arg(ms);
            if (failed && !isClearMessage(line.value(4)))
                found.problems << QStringLiteral("unclear %1 error on %2: %3")
                                      .arg(step, line.value(1), line.value(4));
            if (step == QLatin1String("list") && line.value(1) == QLatin1String("/")) {
                rootListed = !failed;
                if (failed)
                    rootFailure = line.value(4);
                else if (card.control) {
                    const QStringList names = line.value(4).split('/');
                    for (const QString& name : card.rootNames) {
                        if (!names.contains(name))
                            found.problems << "control card lists no " + name;
                    }
                }
            }
            if (failed && card.control)
                found.problems << QStringLiteral("control card: %1 %2 failed: %3")
                                      .arg(step, line.value(1), line.value(4));
        } else if (step == QLatin1String("open") || step == QLatin1String("mount")) {
            if (step == QLatin1String("mount"))
                mounted = !failed;
            if (failed && !isClearMessage(line.value(4)))
                found.problems << QStringLiteral("unclear %1 error: %2").arg(step, line.value(4));
            if (failed && card.control)
                found.problems
                    << QStringLiteral("control card: %1 failed: %2").arg(step, line.value(4));
        } else if (step == QLatin1String("eject") && failed) {
            found.problems << "eject: " + line.value(4);
        }
    }
    if (!found.hung && vmState.isEmpty())
        found.problems << QStringLiteral("the card's walk never ended");
    if (vmState == QLatin1String("running") || vmState == QLatin1String("booting"))
        found.problems << "the VM still " + vmState + " after the eject";
    // One failure, one message: a card that cannot be listed does not pile banners up.
    if (banners.size() > 1)
        found.problems
            << QStringLiteral("%1 banners: %2").arg(banners.size()).arg(banners.join(" | "));
    if (ejectBanners.size() > 1)
        found.problems << QStringLiteral("%1 banners at the eject: %2")
                              .arg(ejectBanners.size())
                              .arg(ejectBanners.join(" | "));
    if (mounted && !rootListed && !rootFailure)
        found.problems << QStringLiteral("mounted, but / neither listed nor failed");
}

struct Totals {
    int walks = 0, crashes = 0, hangs = 0, changed = 0, withProblems = 0;
};

// Walks `cards` in as few road processes as it can: a crash or a hang ends one process and is
// charged to the card it was on; the walk goes on with the next card.
std::map<QString, Findings> walkAll(const std::vector<CardSpec>& cards, Access access,
                                    const QString& folder) {
    std::map<QString, Findings> findings;
    std::map<QString, QByteArray> before;
    for (const CardSpec& card : cards) {
        findings[card.file];
        if (access == Access::readOnly)
            before[card.file] = sha256(card.file);
    }
    size_t next = 0;
    while (next < cards.size()) {
        QStringList images;
        for (size_t i = next; i < cards.size(); ++i)
            images << cards[i].file;
        // A generous wall: every card may time out every call.
        const auto limit = std::chrono::seconds(600 * images.size());
        const RoadRun run =
            runRoad(QStringList{"--ready-timeout", "120", "walk"} + images, limit, access, folder);
        if (!run.started) {
            ADD_FAILURE() << "the road program did not start";
            break;
        }
        const QString last = run.lastCard();
        for (size_t i = next; i < cards.size(); ++i) {
            const CardSpec& card = cards[i];
            const QList<RoadLine> lines = run.linesOf(card.file);
            const bool ended = std::any_of(lines.begin(), lines.end(), [](const RoadLine& l) {
                return l.value(0) == QLatin1String("vm");
            });
            if (card.file == last && !ended) {
                Findings& found = findings[card.file];
                found.crashed = run.crashed;
                found.hung = run.hung || !run.crashed;
                judge(card, access, lines, found);
                found.problems << (run.crashed ? "the host crashed: " : "the host hung: ") +
                                      run.errors.right(400);
                next = i + 1;
                break;
            }
            if (lines.isEmpty()) {  // not reached: the run ended early
                next = i;
                break;
            }
            judge(card, access, lines, findings[card.file]);
            next = i + 1;
        }
        if (std::any_of(run.lines.begin(), run.lines.end(),
                        [](const RoadLine& l) { return l.value(0) == QLatin1String("end"); }))
            break;
    }
    for (const CardSpec& card : cards) {
        if (access == Access::readOnly && sha256(card.file) != before[card.file]) {
            findings[card.file].changed = true;
            findings[card.file].problems << QStringLiteral("a read-only walk changed the image");
        }
    }
    return findings;
}

Totals report(const char* walk, const std::vector<CardSpec>& cards,
              const std::map<QString, Findings>& findings) {
    Totals totals;
    for (const CardSpec& card : cards) {
        const Findings& found = findings.at(card.file);
        ++totals.walks;
        totals.crashes += found.crashed;
        totals.hangs += found.hung;
        totals.changed += found.changed;
        if (!found.problems.isEmpty()) {
            ++totals.withProblems;
            ADD_FAILURE() << walk << " walk of " << card.file.section('/', -1).toStdString() << " ("
                          << card.notes.toStdString() << "):\n  "
                          << found.problems.join("\n  ").toStdString();
        }
    }
    std::printf("%s walks: %d cards, %d crashes, %d hangs, %d changed images, %d with problems\n",
                walk, totals.walks, totals.crashes, totals.hangs, totals.changed,
                totals.withProblems);
    return totals;
}

TEST(DamagedCardsTest, TheRoadSurvivesEveryDamagedCard) {
    if (!vmImageAvailable())
        GTEST_SKIP() << "no VM image in the build tree";
    const int seed = faultSeed();
    const std::vector<CardSpec> plan = plannedCards(seed, setSize);
    ASSERT_EQ(plan.size(), size_t(setSize));
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<CardSpec> cards = makeCards(seed, setSize, chosenCards(plan), folder.path());
    ASSERT_FALSE(cards.empty());
    ASSERT_EQ(cards.size(), size_t(chosenCards(plan).size())) << "the generator skipped cards";
    std::printf("seed %d, %zu cards\n", seed, cards.size());

    std::vector<CardSpec> readOnlyCards = cards;
    std::vector<CardSpec> writableCards = cards;
    if (qEnvironmentVariableIsEmpty("QUORVALE_FAULT_CARDS")) {
        readOnlyCards.clear();
        writableCards.clear();
        for (size_t i = 0; i < cards.size(); ++i)
            (i % 2 ? writableCards : readOnlyCards).push_back(cards[i]);
    }
    const Totals readOnly =
        report("read-only", readOnlyCards, walkAll(readOnlyCards, Access::readOnly, folder.path()));
    const Totals writable =
        report("writable", writableCards, walkAll(writableCards, Access::readWrite, folder.path()));
    EXPECT_EQ(readOnly.crashes + writable.crashes, 0);
    EXPECT_EQ(readOnly.hangs + writable.hangs, 0);
    EXPECT_EQ(readOnly.changed, 0);
}

// The generator is the test's ground: the same seed makes the same bytes, another seed other
// bytes, and every kind of damage it promises is in the set.
TEST(DamagedCardsTest, TheGeneratorIsReproducibleFromItsSeed) {
    const std::vector<CardSpec> plan = plannedCards(7, setSize);
    ASSERT_EQ(plan.size(), size_t(setSize));
    std::set<QString> categories;
    std::set<QString> bases;
    for (const CardSpec& card : plan) {
        categories.insert(card.category);
        bases.insert(card.base);
    }
    for (const char* kind :
         {"control", "unusual", "superblock-field", "superblock-bits", "group-descriptor-field",
          "group-descriptor-bits", "bitmap", "inode-field", "inode-bits", "directory",
          "extent-tree", "journal", "truncated", "checksum", "feature", "partition-table"})
        EXPECT_TRUE(categories.count(kind)) << kind;
    for (const char* base : {"ext2", "ext3", "ext4-1k", "ext4-64k", "ext4-nocsum"})
        EXPECT_TRUE(bases.count(base)) << base;

    // Journal forgeries and a multi-mount block carry clocks and host names; bare mkfs output
    // carries UUIDs and hash seeds: each is a place where a second run could differ.
    QList<int> some;
    for (const CardSpec& card : plan) {
        if (card.base == QLatin1String("mmp") ||
            (card.category == QLatin1String("journal") && some.size() < 4) || card.index < 2)
            some << card.index;
    }
    QTemporaryDir first, second, third;
    const auto a = makeCards(7, setSize, some, first.path());
    const auto b = makeCards(7, setSize, some, second.path());
    const auto c = makeCards(8, setSize, {0}, third.path());
    ASSERT_EQ(a.size(), size_t(some.size()));
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(sha256(a[i].file), sha256(b[i].file)) << a[i].file.toStdString();
        EXPECT_EQ(a[i].notes, b[i].notes);
    }
    ASSERT_EQ(c.size(), 1u);
    EXPECT_NE(sha256(c[0].file), sha256(a[0].file)) << "another seed made the same card";
}

}  // namespace
}  // namespace quorvale::fault
