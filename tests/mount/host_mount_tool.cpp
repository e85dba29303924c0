// quorvale-mount-host ROOT MOUNTPOINT: the mount served as quorvale-cli serves it, but from the
// real agent run on the host over the folder ROOT instead of the VM, for fast tests of the
// filesystem itself. Prints "ready" once mounted; ends when the mount is unmounted.

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>

#include "guest/vsock_transport.h"
#include "mount/guest_mount.h"
#include "support/agent_process.h"

namespace {

using namespace quorvale;

QCoro::Task<void> serve(QString root, QString mountPoint) {
    testing::AgentProcess agent(root, {"--name", "sdb2"});
    guest::VsockTransport transport;
    transport.connect(agent.connect());
    mount::GuestMount mount(transport, {mountPoint, "sdb2", false});
    try {
        co_await mount.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvale-mount-host: %s\n", e.what());
        QCoreApplication::exit(1);
        co_return;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (!mount.hasEnded())
        co_await qCoro(&mount, &mount::GuestMount::ended);
    const auto failure = co_await mount.finish();
    QCoreApplication::exit(failure ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: quorvale-mount-host ROOT MOUNTPOINT\n", stderr);
        return 2;
    }
    QTimer::singleShot(0, &app, [&] { serve(argv[1], argv[2]); });
    return app.exec();
}
