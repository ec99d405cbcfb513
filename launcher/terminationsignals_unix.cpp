#include "terminationsignals.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1}; // [0] written by the handler, [1] read on the GUI thread

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Non-blocking: with the socket full, a quit is on its way already.
    if (::write(pipeEnds[0], &byte, 1) < 0) {
    }
    errno = saved;
}

} // namespace

void catchTerminationSignals()
{
    // Close-on-exec: the server must not inherit either end.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void quitOnTerminationSignals(QCoreApplication *app)
{
    if (pipeEnds[1] < 0)
        return;
    auto *notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char bytes[64];
        while (::read(pipeEnds[1], bytes, sizeof bytes) > 0) {
        }
        QMetaObject::invokeMethod(app, "quit", Qt::QueuedConnection);
    });
}
