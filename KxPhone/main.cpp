#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "KxPhone/kxapp.h"
#include "ui/glpicturewidget.h"

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
    struct sigaction action
    {};
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

/// For measurements: how long the GUI thread is kept from its events.  A timer asks to run
/// every 4 ms; each gap beyond that is time the thread was busy or blocked.  Gaps between
/// `fromMs` and `toMs` after the start count (a call, say, not the start-up or the end);
/// the longest and the 99.9th percentile are printed when the program ends.
void watchGuiStalls(QCoreApplication& app, qint64 fromMs, qint64 toMs)
{
    struct Watch
    {
        QElapsedTimer clock;
        qint64 last = 0;
        std::vector<qint64> gapsUs;
    };
    auto watch = std::make_shared<Watch>();
    auto* timer = new QTimer(&app);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(4);
    QObject::connect(timer, &QTimer::timeout, &app, [watch, fromMs, toMs] {
        const qint64 now = watch->clock.nsecsElapsed() / 1000;
        if (watch->last > 0 && now > fromMs * 1000 && now <= toMs * 1000)
            watch->gapsUs.push_back(std::max<qint64>(0, now - watch->last - 4000));
        watch->last = now;
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [watch] {
        auto& gaps = watch->gapsUs;
        if (gaps.empty())
            return;
        std::sort(gaps.begin(), gaps.end());
        std::cout << "GUI thread stalls: longest " << double(gaps.back()) / 1000
                  << " ms, 99.9% under " << double(gaps[gaps.size() * 999 / 1000]) / 1000
                  << " ms, over " << gaps.size() << " ticks" << std::endl;
    });
    watch->clock.start();
    timer->start();
}

} // namespace

// The program takes nothing from its command line: Qt sees only a program name.
int main(int, char**)
{
    static char programName[] = "kxphone";
    static char* qtArguments[] = {programName, nullptr};
    int qtArgumentCount = 1;

    catchQuitSignals();
    // The GL driver is loaded only where the video may be drawn with OpenGL: not where no
    // GPU renders (unless OpenGL is asked for), nor where software drawing is asked for. On
    // a machine without a GPU the driver alone is some 45 MB of the process. A user's own
    // choice is kept.
    const QByteArray drawing = qgetenv("KX_VIDEO_DRAWING");
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION") &&
        !GlPictureWidget::notTried(drawing).isEmpty())
        qputenv("QT_XCB_GL_INTEGRATION", "none");
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
    // KX_REPORT_GUI_STALLS=FROM-TO, in ms after the start.
    if (const QStringList window = qEnvironmentVariable("KX_REPORT_GUI_STALLS").split('-');
        window.size() == 2)
        watchGuiStalls(app, window[0].toLongLong(), window[1].toLongLong());
    app.exec();
    return 0;
}
