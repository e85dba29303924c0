// quorvale-cli: browse and change ext4 partitions of disk images and removable disks from the
// command line, through the VM and its agent, with the application's own models. Several
// sources may take part in one run, all in one VM.
//
//   quorvale-cli [--ready-timeout SECONDS] [OPTIONS] COMMAND [SOURCE] ARGS...
//
// Remote paths are plain (on the SOURCE given first) or SOURCE:PATH (cli_arguments.h). Exit
// statuses are listed in the usage text.

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "cli_arguments.h"
#include "cli_commands.h"
#include "cli_mount.h"
#include "cli_session.h"
#include "cli_staged.h"
#include "fileops/transfer_memory.h"

namespace {

using namespace quorvale::app::cli;
using quorvale::app::JournalChoice;

constexpr const char* usage =
    "usage: quorvale-cli [--ready-timeout SECONDS] [OPTIONS] COMMAND [SOURCE] ARGS...\n"
    "  ls SOURCE PATH            list a directory (-l: long form, --json: JSON)\n"
    "  stat SOURCE PATH          show one entry (--json: JSON)\n"
    "  tree SOURCE PATH          show a folder and everything under it\n"
    "  cat SOURCE PATH           write a file to stdout\n"
    "  get SOURCE REMOTE LOCAL   copy a file out (LOCAL may be a folder)\n"
    "  put SOURCE LOCAL REMOTE   copy a file in (REMOTE may be a directory)\n"
    "  rm SOURCE PATH...         delete files or directories\n"
    "  mkdir SOURCE PATH         create a directory\n"
    "  mv SOURCE PATH NEW_NAME   rename an entry in its directory\n"
    "  mv SOURCE FROM TO         move an entry (TO starts with / or is SOURCE:PATH; into an\n"
    "                            existing directory it keeps its name)\n"
    "  cp SOURCE FROM TO         copy a file or folder inside the VM (TO may be a directory)\n"
    "  df SOURCE                 show the partition's size and free space (--json: JSON)\n"
    "  info SOURCE               show the partition's health, read before mounting\n"
    "  check SOURCE              check the partition read-only (e2fsck -fn); Ctrl-C skips\n"
    "  eject SOURCE [--verify]   unmount and eject; --verify checks the card first\n"
    "  apply SOURCE              write the card's staged changes into it, then check it\n"
    "  discard SOURCE            drop the card's staged changes (the card is not touched)\n"
    "  mount SOURCE MOUNTPOINT   serve the partition on an empty folder of yours to every\n"
    "                            program until it is unmounted; several SOURCE=MOUNTPOINT\n"
    "                            pairs share one VM; --background returns once mounted\n"
    "  unmount MOUNTPOINT        end a mount (fusermount3 -u does too); returns once the\n"
    "                            card is synced\n"
    "SOURCE: a disk image or device name, optionally followed by :PARTITION\n"
    "Any remote path may be written SOURCE:PATH instead; when every one is, no SOURCE comes\n"
    "first: cp card.img:/etc new.img:/etc copies from one card to another.\n"
    "Options (anywhere on the line):\n"
    "  -r, --recursive           get and put copy folders with everything in them: modes,\n"
    "                            times and links kept, special files left out with a note\n"
    "  --on-conflict=ACTION      when a name is taken: fail (the default), ask, replace,\n"
    "                            keep-both (\"name 2.ext\") or skip\n"
    "  -l                        ls in long form\n"
    "  --json                    ls, stat and df print one line of JSON\n"
    "  --read-only               the whole run is read-only: every disk is handed to the VM\n"
    "                            read-only and nothing is written (a card whose journal needs\n"
    "                            recovery opens without replaying it)\n"
    "  --repair                  replay the journal of a card that needs recovery\n"
    "  --staged                  the card is only read: every change lands in an overlay\n"
    "                            in the cache directory, kept until apply or discard\n"
    "  --session FILE            the record of the staged changes to continue, apply or\n"
    "                            discard (implies --staged; without it a new one is made\n"
    "                            in the cache directory and its path printed)\n"
    "  -h, --help                show this text\n"
    "Exit status:\n"
    "  0   success\n"
    "  1   failure (one line on stderr starting \"quorvale-cli: \")\n"
    "  2   usage error\n"
    "  check, eject --verify and apply exit as e2fsck -n: 0 clean, 4 damaged, 8 not run,\n"
    "  32 skipped with Ctrl-C.\n";

Options runOptions;
bool readOnlyRun = false;
bool stagedRun = false;
QString sessionFile;

using Run =
    std::function<QCoro::Task<void>(Session&, const std::vector<Remote>&, const QStringList&)>;

struct Command {
    CommandShape shape;
    // Remote arguments resolved, and every argument's text.
    Run run;
    // Runs without the VM: given the source instead of mounted partitions.
    std::function<QCoro::Task<void>(Session&, SourceSpec)> runHostOnly = {};
    // Opens the partition read-only whatever was asked (the command only reads).
    bool readOnly = false;
};

const Command commands[] = {
    {{"ls", {Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return listCommand(s, r[0], runOptions);
     }},
    {{"stat", {Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return statCommand(s, r[0], runOptions);
     }},
    {{"tree", {Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return treeCommand(s, r[0]);
     }},
    {{"cat", {Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return catCommand(s, r[0]);
     }},
    {{"get", {Role::remote, Role::local}},
     [](Session& s, const std::vector<Remote>& r, const QStringList& a) {
         return getCommand(s, r[0], a[1], runOptions);
     }},
    {{"put", {Role::local, Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList& a) {
         return putCommand(s, a[0], r[1], runOptions);
     }},
    {{"rm", {Role::remote}, true},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return removeCommand(s, QList<Remote>(r.begin(), r.end()));
     }},
    {{"mkdir", {Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return makeDirectoryCommand(s, r[0]);
     }},
    {{"mv", {Role::remote, Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList& a) {
         // A plain name renames in place; a path moves.
         if (!a[1].contains(QLatin1Char('/')))
             return renameCommand(s, r[0], a[1]);
         return moveCommand(s, r[0], r[1]);
     }},
    {{"cp", {Role::remote, Role::remote}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return copyCommand(s, r[0], r[1]);
     }},
    {{"df", {}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return diskUsageCommand(s, r[0].partition, runOptions);
     }},
    {{"info", {}}, {}, [](Session& s, SourceSpec source) { return infoCommand(s, source); }},
    {{"check", {}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return checkCommand(s, r[0].partition);
     },
     {},
     true},
    // A trailing "--verify" is taken off the command line before the arguments are resolved.
    {{"eject", {}},
     [](Session& s, const std::vector<Remote>&, const QStringList&) {
         return ejectCommand(s, s.verifyEject);
     }},
    {{"apply", {}},
     [](Session& s, const std::vector<Remote>& r, const QStringList&) {
         return applyCommand(s, r[0].partition);
     }},
    {{"discard", {}}, {}, [](Session& s, SourceSpec source) { return discardCommand(s, source); }},
};

// Every source is mounted first, in the order named: one VM holds them all.
QCoro::Task<void> mountAndRun(const Command& command, const Invocation& invocation,
                              std::chrono::milliseconds readyTimeout, Session& session) {
    QStringList partitions;
    for (const SourceSpec& source : invocation.sources)
        partitions << co_await session.open(source, readyTimeout);
    // Per argument its remote path (empty for the others); a command without remote
    // arguments finds its source's partition first.
    std::vector<Remote> remotes;
    for (qsizetype i = 0; i < invocation.values.size(); ++i) {
        const int source = invocation.sourceOf[static_cast<std::size_t>(i)];
        remotes.push_back(source < 0 ? Remote{} : Remote{partitions[source], invocation.values[i]});
    }
    if (remotes.empty())
        remotes.push_back(Remote{partitions.value(0), QStringLiteral("/")});
    auto checking = checkStagedRoom(session, command.shape.name, remotes, invocation.values);
    StagedSizes sizes = co_await std::move(checking);
    recordStagedChanges(session, std::move(sizes));
    co_await command.run(session, remotes, invocation.values);
    if (command.shape.name != QLatin1String("apply"))
        for (qsizetype i = 0; i < partitions.size(); ++i)
            if (const QString disk = session.stagedDisk(partitions[i]); !disk.isEmpty())
                reportStaged(session, disk, invocation.sources[static_cast<std::size_t>(i)].source);
}

QCoro::Task<void> runCommand(const Command& command, Invocation invocation,
                             std::chrono::milliseconds readyTimeout, JournalChoice choice,
                             bool verify, int& status) {
    Session session;
    session.choice = command.readOnly ? JournalChoice::openReadOnly : choice;
    session.readOnly = readOnlyRun;
    session.verifyEject = verify;
    session.sessionFile = sessionFile;
    session.staged = stagedRun;
    if (command.shape.name == QLatin1String("apply")) {
        // apply takes up changes that exist: the named record, or the card's pending one. A
        // run killed while staged leaves the overlay's journal to replay, which writes to the
        // overlay only: apply writes the state the staged operations left.
        session.noteRecovered = false;
        if (session.choice == JournalChoice::undecided)
            session.choice = JournalChoice::repairAndOpen;
        if (!sessionFile.isEmpty() && !QFileInfo::exists(sessionFile)) {
            std::fprintf(stderr, "quorvale-cli: no staged changes in %s\n",
                         qUtf8Printable(sessionFile));
            status = 1;
            QCoreApplication::exit(status);
            co_return;
        }
    }
    std::string failure;
    try {
        if (command.runHostOnly) {
            co_await command.runHostOnly(session, invocation.sources.front());
        } else {
            co_await mountAndRun(command, invocation, readyTimeout, session);
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    co_await session.close();
    if (!failure.empty()) {
        std::fprintf(stderr, "quorvale-cli: %s\n", failure.c_str());
        status = 1;
    } else {
        status = session.exitStatus;
    }
    QCoreApplication::exit(status);
}

QCoro::Task<void> runMount(std::vector<MountPair> pairs, std::chrono::milliseconds readyTimeout,
                           JournalChoice choice, int& status) {
    Session session;
    session.choice = choice;
    session.readOnly = readOnlyRun;
    session.sessionFile = sessionFile;
    session.staged = stagedRun;
    std::string failure;
    try {
        status = co_await mountCommand(session, std::move(pairs), readyTimeout);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure.empty()) {
        co_await session.close();
        std::fprintf(stderr, "quorvale-cli: %s\n", failure.c_str());
        status = 1;
    }
    QCoreApplication::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists: the parent returns once the mounts are ready.
    if (wantsBackground(argc, argv))
        detachWhenReady();
    quorvale::fileops::shareHeapAcrossThreads();
    QCoreApplication app(argc, argv);
    // Log lines (ours and Qt's) go to stderr only when asked for with QT_LOGGING_RULES: stderr
    // carries the progress bar and the one error line.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QStringList args = app.arguments().mid(1);
    std::chrono::milliseconds readyTimeout = std::chrono::seconds(10);
    if (args.size() >= 2 && args[0] == QLatin1String("--ready-timeout")) {
        bool ok = false;
        const double seconds = args[1].toDouble(&ok);
        if (!ok || seconds <= 0) {
            std::fputs(usage, stderr);
            return 2;
        }
        readyTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        args = args.mid(2);
    }
    bool repair = false;
    for (qsizetype i = 0; i < args.size();) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (arg == QLatin1String("-r") || arg == QLatin1String("--recursive")) {
            runOptions.recursive = true;
        } else if (arg == QLatin1String("-l")) {
            runOptions.longListing = true;
        } else if (arg == QLatin1String("--json")) {
            runOptions.json = true;
        } else if (arg == QLatin1String("--read-only")) {
            readOnlyRun = true;
        } else if (arg == QLatin1String("--repair")) {
            repair = true;
        } else if (arg == QLatin1String("--background")) {
            // Taken before the run started (detachWhenReady).
        } else if (arg == QLatin1String("--staged")) {
            stagedRun = true;
        } else if (arg == QLatin1String("--session") && i + 1 < args.size()) {
            sessionFile = QFileInfo(args[i + 1]).absoluteFilePath();
            stagedRun = true;
            args.removeAt(i);
        } else if (arg.startsWith(QLatin1String("--on-conflict="))) {
            const auto choice = quorvale::fileops::parseConflictChoice(arg.section('=', 1));
            if (!choice) {
                std::fputs(usage, stderr);
                return 2;
            }
            runOptions.onConflict = *choice;
        } else {
            ++i;
            continue;
        }
        args.removeAt(i);
    }
    if (readOnlyRun && (repair || stagedRun)) {
        std::fputs(usage, stderr);
        return 2;
    }
    const JournalChoice choice = readOnlyRun ? JournalChoice::openReadOnly
                                 : repair    ? JournalChoice::repairAndOpen
                                             : JournalChoice::undecided;
    bool verify = false;
    if (args.size() == 3 && args[0] == QLatin1String("eject") &&
        args[2] == QLatin1String("--verify")) {
        verify = true;
        args.removeLast();
    }
    if (args.isEmpty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    int status = 1;
    if (args[0] == QLatin1String("unmount") && args.size() == 2) {
        QTimer::singleShot(0, &app, [&] {
            [](QString mountPoint, int& status) -> QCoro::Task<void> {
                status = co_await unmountCommand(mountPoint);
                QCoreApplication::exit(status);
            }(args[1], status);
        });
        return app.exec();
    }
    if (args[0] == QLatin1String("mount")) {
        auto pairs = parseMountPairs(args.mid(1));
        if (!pairs) {
            std::fputs(usage, stderr);
            return 2;
        }
        QTimer::singleShot(0, &app, [&] { runMount(*pairs, readyTimeout, choice, status); });
        return app.exec();
    }
    const Command* command = nullptr;
    for (const Command& candidate : commands) {
        if (args[0] == candidate.shape.name)
            command = &candidate;
    }
    std::optional<Invocation> invocation;
    try {
        if (command)
            invocation = resolveArguments(command->shape, args.mid(1));
    } catch (const UsageError&) {
    }
    if (!invocation) {
        std::fputs(usage, stderr);
        return 2;
    }
    // Started from the event loop, so that its exit() is never lost before exec().
    QTimer::singleShot(
        0, &app, [&] { runCommand(*command, *invocation, readyTimeout, choice, verify, status); });
    return app.exec();
}
