#include "cli_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>

#include <qcoro/qcorolocalsocket.h>
#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include "cli_staged.h"
#include "mount/guest_mount.h"

namespace quorvale::app::cli {

namespace {

using namespace std::chrono_literals;

int readyPipe = -1;  // the child's end, until it says it is ready
int signalPipe[2] = {-1, -1};

void print(const QString& line) {
    std::fprintf(stderr, "quorvale-cli: %s\n", qUtf8Printable(line));
}

// One mount of the run with the control socket `unmount` talks to.
struct Served {
    std::unique_ptr<mount::GuestMount> mount;
    std::unique_ptr<QLocalServer> control;
    std::vector<QPointer<QLocalSocket>> waiting;  // told "ok" once the card is synced
    bool done = false;
};

void answer(Served& served, const QByteArray& line) {
    for (const auto& socket : served.waiting) {
        if (socket) {
            socket->write(line);
            socket->flush();
            socket->disconnectFromServer();
        }
    }
    served.waiting.clear();
}

bool isQuorvaleMount(const QString& mountPoint) {
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    const QString wanted = QFileInfo(mountPoint).absoluteFilePath();
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const auto fields = line.split(' ');
        if (fields.size() > 2 && fields[0] == "quorvale" &&
            QString::fromLocal8Bit(fields[1]).replace(QStringLiteral("\\040"),
                                                      QStringLiteral(" ")) == wanted)
            return true;
    }
    return false;
}

}  // namespace

std::optional<std::vector<MountPair>> parseMountPairs(const QStringList& args) {
    std::vector<MountPair> pairs;
    if (args.size() == 2 && !args[0].contains(QLatin1Char('='))) {
        pairs.push_back({parseSource(args[0]), args[1]});
        return pairs;
    }
    for (const QString& arg : args) {
        const auto split = arg.lastIndexOf(QLatin1Char('='));
        if (split <= 0 || split == arg.size() - 1)
            return std::nullopt;
        pairs.push_back({parseSource(arg.left(split)), arg.mid(split + 1)});
    }
    if (pairs.empty())
        return std::nullopt;
    return pairs;
}

bool wantsBackground(int argc, char** argv) {
    bool mount = false;
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        mount = mount || std::string_view(argv[i]) == "mount";
        background = background || std::string_view(argv[i]) == "--background";
    }
    return mount && background;
}

void detachWhenReady() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;  // stays in the foreground
    const pid_t child = ::fork();
    if (child < 0)
        return;
    if (child == 0) {
        ::close(fds[0]);
        readyPipe = fds[1];
        ::setsid();
        return;
    }
    ::close(fds[1]);
    char ready = 0;
    const bool told = ::read(fds[0], &ready, 1) == 1 && ready == 'R';
    if (told)
        std::_Exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::_Exit(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1);
}

void signalReady() {
    if (readyPipe < 0)
        return;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::close(null);
    }
    [[maybe_unused]] const auto n = ::write(readyPipe, "R", 1);
    ::close(readyPipe);
    readyPipe = -1;
}

QCoro::Task<int> mountCommand(Session& session, std::vector<MountPair> pairs,
                              std::chrono::milliseconds readyTimeout) {
    std::vector<std::unique_ptr<Served>> served;
    int status = 0;
    bool told = false;
    const auto loseAll = [&] {
        for (auto& s : served)
            s->mount->lose();
        if (!std::exchange(told, true))
            print(
                QStringLiteral("the VM or a card was lost: every call on the mount fails with "
                               "EIO until it is unmounted"));
        status = 1;
    };
    for (const MountPair& pair : pairs) {
        if (const auto problem = mount::mountPointProblem(pair.mountPoint))
            throw CliError(problem->toStdString());
    }
    for (const MountPair& pair : pairs) {
        const QString partition = co_await session.open(pair.source, readyTimeout);
        auto s = std::make_unique<Served>();
        s->mount = std::make_unique<mount::GuestMount>(
            session.link(),
            mount::GuestMount::Options{pair.mountPoint, partition, session.readOnly});
        try {
            co_await s->mount->start();
        } catch (const mount::MountError& e) {
            throw CliError(e.what());
        }
        QObject::connect(s->mount.get(), &mount::GuestMount::lost, s->mount.get(), loseAll);
        const QString socket = mount::controlSocketPath(pair.mountPoint);
        QDir().mkpath(QFileInfo(socket).absolutePath());
        QFile::setPermissions(QFileInfo(socket).absolutePath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QLocalServer::removeServer(socket);
        s->control = std::make_unique<QLocalServer>();
        s->control->setSocketOptions(QLocalServer::UserAccessOption);
        if (!s->control->listen(socket))
            print(QStringLiteral("no control socket at %1: end the mount with fusermount3 -u")
                      .arg(socket));
        Served* raw = s.get();
        QObject::connect(s->control.get(), &QLocalServer::newConnection, s->control.get(), [raw] {
            while (QLocalSocket* client = raw->control->nextPendingConnection()) {
                QObject::connect(client, &QLocalSocket::readyRead, client, [raw, client]() {
                    if (!client->canReadLine())
                        return;
                    if (client->readLine().trimmed() != "unmount")
                        return client->disconnectFromServer();
                    raw->waiting.push_back(client);
                    [](Served* raw) -> QCoro::Task<void> {
                        QString why;
                        if (!co_await raw->mount->unmount(&why))
                            answer(*raw, "busy " + why.toUtf8() + "\n");
                    }(raw);
                });
            }
        });
        std::printf("%s mounted on %s\n", qUtf8Printable(partition),
                    qUtf8Printable(QFileInfo(pair.mountPoint).absoluteFilePath()));
        std::fflush(stdout);
        served.push_back(std::move(s));
    }

    // Interrupted: every mount leaves the file tree at once.
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            [[maybe_unused]] const auto n = ::write(signalPipe[1], "s", 1);
        };
        ::sigaction(sig, &action, nullptr);
    }
    QSocketNotifier interrupted(signalPipe[0], QSocketNotifier::Read);
    bool stopping = false;
    QObject::connect(&interrupted, &QSocketNotifier::activated, &interrupted, [&] {
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        stopping = true;
        for (auto& s : served)
            s->mount->detach();
    });
    signalReady();

    // Each mount, once ended, syncs its card; the VM stops after the last.
    for (int waitedAfterStop = 0;;) {
        bool all = true;
        for (auto& s : served) {
            if (!s->done && s->mount->hasEnded()) {
                if (const auto failure = co_await s->mount->finish()) {
                    print(*failure);
                    status = 1;
                }
                s->done = true;
                if (std::any_of(served.begin(), served.end(), [](auto& o) { return !o->done; }))
                    answer(*s, "ok\n");
            }
            all = all && s->done;
        }
        if (all)
            break;
        // Interrupted with files still open: the mount goes when this process does.
        if (stopping && ++waitedAfterStop > 100) {
            for (auto& s : served) {
                if (!s->done) {
                    s->mount->lose();
                    co_await s->mount->finish();
                    s->done = true;
                }
            }
            break;
        }
        co_await QCoro::sleepFor(20ms);
    }
    for (const MountPair& pair : pairs) {
        if (const QString disk =
                session.stagedDisk(co_await session.open(pair.source, readyTimeout));
            !disk.isEmpty())
            reportStaged(session, disk, pair.source.source);
    }
    co_await session.close();
    for (auto& s : served) {
        answer(*s, "ok\n");
        QLocalServer::removeServer(s->control->fullServerName());
    }
    co_await QCoro::sleepFor(50ms);  // the answers leave before the process ends
    co_return status;
}

QCoro::Task<int> unmountCommand(QString mountPoint) {
    QLocalSocket socket;
    socket.connectToServer(mount::controlSocketPath(mountPoint));
    if (!co_await qCoro(socket).waitForConnected(2000)) {
        if (!isQuorvaleMount(mountPoint)) {
            print(mountPoint + QStringLiteral(" is not mounted by quorvale-cli"));
            co_return 1;
        }
        // Its process is gone: only the kernel's side is left to end.
        QProcess process;
        process.start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), mountPoint});
        co_await qCoro(process).waitForFinished(-1);
        co_return process.exitCode() == 0 ? 0 : 1;
    }
    socket.write("unmount\n");
    socket.flush();
    QByteArray reply;
    while (socket.state() == QLocalSocket::ConnectedState || socket.bytesAvailable() > 0) {
        if (socket.bytesAvailable() == 0)
            co_await qCoro(socket).waitForReadyRead(-1);
        reply += socket.readAll();
        if (reply.endsWith('\n'))
            break;
    }
    reply = reply.trimmed();
    if (reply == "ok")
        co_return 0;
    print(reply.startsWith("busy ")
              ? QString::fromUtf8(reply.mid(5))
              : mountPoint + QStringLiteral(": the mount ended unexpectedly"));
    co_return 1;
}

}  // namespace quorvale::app::cli
