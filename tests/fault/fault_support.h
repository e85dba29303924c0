#pragma once
// Support for the fault tests: the damaged-card generator, the road program run in a process
// of its own (a crash or a hang costs one card and is counted), read-only sessions, hashes and
// the test of a message the user is shown.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace quorvale::fault {

// One card of the generator's manifest.
struct CardSpec {
    int index = -1;
    QString file;  // absolute path
    QString category;
    QString base;
    bool control = false;  // must mount, list and read cleanly
    QStringList rootNames;
    QString notes;
};

// The seed of the generated set: QUORVALE_FAULT_SEED, else 1.
int faultSeed();
// (index, category, base) of every card the generator would make, without making any.
std::vector<CardSpec> plannedCards(int seed, int count);
// Makes the cards `indexes` of the set in `directory`; returns them as the manifest lists them.
std::vector<CardSpec> makeCards(int seed, int count, const QList<int>& indexes,
                                const QString& directory);

// One line the road printed, split at tabs.
using RoadLine = QStringList;

// What one run of quorvale-fault-road did.
struct RoadRun {
    bool started = false;
    bool crashed = false;  // ended by a signal or an abnormal status
    bool hung = false;     // outlived its limit, or its watchdog caught a step
    int exitCode = -1;
    QList<RoadLine> lines;
    QString errors;  // its stderr

    // The lines printed for `image`, from its "card" line to the next.
    QList<RoadLine> linesOf(const QString& image) const;
    // The last card the run started.
    QString lastCard() const;
};

enum class Access { readWrite, readOnly };

// Runs the road with `args`. Read-only: the cards' folder is mounted read-only for the program
// (a private mount namespace as root, file modes otherwise), so the app can open the cards only
// for reading, as it does a card the user cannot write. `onLine` sees each line as it comes and
// may end the program (returning true) after killing what it likes.
RoadRun runRoad(const QStringList& args, std::chrono::seconds limit, Access access = {},
                const QString& cardFolder = {},
                const std::function<void(const RoadLine&, qint64 pid)>& onLine = {});

QByteArray sha256(const QString& path);

// Runs `command` with sh; its exit status (-1 when it did not end normally within ten minutes),
// its merged output in `output`.
int shell(const QString& command, QString* output = nullptr);

// A message fit to show a person: one line of readable text, not empty, not a dump.
bool isClearMessage(const QString& message);

QString buildDir();
QString sourceDir();
bool vmImageAvailable();

}  // namespace quorvale::fault
