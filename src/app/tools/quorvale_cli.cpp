// quorvale-cli: browse and change an ext4 partition of a disk image or removable disk from the
// command line, through the VM and its agent, with the application's own models.
//
//   quorvale-cli [--ready-timeout SECONDS] COMMAND SOURCE ARGS...
//   ls SOURCE PATH | get SOURCE REMOTE LOCAL | put SOURCE LOCAL REMOTE | rm SOURCE PATH...
//   mkdir SOURCE PATH | mv SOURCE PATH NEW_NAME | df SOURCE
//
// SOURCE is an image file or a device name, optionally followed by ":PARTITION". Exits 0 on
// success, 1 with one error line on failure, 2 for a usage error.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "cli_commands.h"
#include "cli_session.h"

namespace {

using namespace quorvale::app::cli;

constexpr const char* usage =
    "usage: quorvale-cli [--ready-timeout SECONDS] COMMAND SOURCE ARGS...\n"
    "  ls SOURCE PATH            list a directory\n"
    "  get SOURCE REMOTE LOCAL   copy a file out (LOCAL may be a folder)\n"
    "  put SOURCE LOCAL REMOTE   copy a file in (REMOTE may be a directory)\n"
    "  rm SOURCE PATH...         delete files or directories\n"
    "  mkdir SOURCE PATH         create a directory\n"
    "  mv SOURCE PATH NEW_NAME   rename an entry in its directory\n"
    "  df SOURCE                 show the partition's size and free space\n"
    "SOURCE: a disk image or device name, optionally followed by :PARTITION\n";

struct Command {
    const char* name;
    int minArgs;  // after SOURCE
    int maxArgs;  // -1: no limit
    std::function<QCoro::Task<void>(Session&, const QStringList&)> run;
};

const Command commands[] = {
    {"ls", 1, 1, [](Session& s, const QStringList& a) { return listCommand(s, a[0]); }},
    {"get", 2, 2, [](Session& s, const QStringList& a) { return getCommand(s, a[0], a[1]); }},
    {"put", 2, 2, [](Session& s, const QStringList& a) { return putCommand(s, a[0], a[1]); }},
    {"rm", 1, -1, [](Session& s, const QStringList& a) { return removeCommand(s, a); }},
    {"mkdir", 1, 1, [](Session& s, const QStringList& a) { return makeDirectoryCommand(s, a[0]); }},
    {"mv", 2, 2, [](Session& s, const QStringList& a) { return renameCommand(s, a[0], a[1]); }},
    {"df", 0, 0, [](Session& s, const QStringList&) { return diskUsageCommand(s); }},
};

QCoro::Task<void> runCommand(const Command& command, SourceSpec source, QStringList args,
                             std::chrono::milliseconds readyTimeout, int& status) {
    Session session;
    std::string failure;
    try {
        co_await session.open(std::move(source), readyTimeout);
        co_await command.run(session, args);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    co_await session.close();
    if (!failure.empty()) {
        std::fprintf(stderr, "quorvale-cli: %s\n", failure.c_str());
        status = 1;
    } else {
        status = 0;
    }
    QCoreApplication::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The log lines of the services go to stderr only when asked for (QT_LOGGING_RULES).
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvale.*=false"));
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
    if (args.size() < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    const Command* command = nullptr;
    for (const Command& candidate : commands) {
        if (args[0] == QLatin1String(candidate.name))
            command = &candidate;
    }
    const QStringList rest = args.mid(2);
    if (!command || rest.size() < command->minArgs ||
        (command->maxArgs >= 0 && rest.size() > command->maxArgs)) {
        std::fputs(usage, stderr);
        return 2;
    }
    int status = 1;
    // Started from the event loop, so that its exit() is never lost before exec().
    QTimer::singleShot(
        0, &app, [&] { runCommand(*command, parseSource(args[1]), rest, readyTimeout, status); });
    return app.exec();
}
