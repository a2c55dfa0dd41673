#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include "KxPhone/kxapp.h"

namespace {

int quitSocket[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(quitSocket[0], &byte, 1);
}

/// SIGTERM (logging out, shutting down), SIGINT and SIGHUP end the program the way its
/// Quit does: calls hung up, history and settings kept.  The handler only wakes the event
/// loop, which does the rest; a signal that comes during start-up waits for the loop.
void catchQuitSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitSocket) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

void quitOnSignals(QCoreApplication& app)
{
    if (quitSocket[1] < 0)
        return;
    auto* notifier = new QSocketNotifier(quitSocket[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        char byte = 0;
        [[maybe_unused]] const auto got = ::read(quitSocket[1], &byte, 1);
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
}

} // namespace

// The program takes nothing from its command line: Qt sees only a program name.
int main(int, char**)
{
    static char programName[] = "kxphone";
    static char* qtArguments[] = {programName, nullptr};
    int qtArgumentCount = 1;

    catchQuitSignals();
    const QString key = "Kestrovia";
    KxApp app(qtArgumentCount, qtArguments, key);
    if (app.alreadyRunning) {
        app.notifyRunningInstance(key);
        return 0;
    }
    if (KxApp::instance() != &app)
        return 1; // the single-instance guard failed; the message is on standard error

    // Lets the tests end a started instance in an orderly way.
    bool quitAfterOk = false;
    const int quitAfterMs = qEnvironmentVariableIntValue("KX_TEST_QUIT_AFTER_MS", &quitAfterOk);
    if (quitAfterOk)
        QTimer::singleShot(quitAfterMs, &app, &QCoreApplication::quit);

    quitOnSignals(app);
    app.exec();
    return 0;
}
