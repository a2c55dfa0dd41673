// Call set-up through the client's KxManager on loopback, from placeCall to the
// established call (median over many calls): compare with h323_bench's BM_CallSetUp,
// the bare engine's figure for the same call.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QTemporaryDir>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "KxPhone/kxmanager.h"
#include "voip/core/call.h"

namespace {

QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "kxmanager_bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool pumpUntil(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(10000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

struct Client
{
    Client()
        : settings(dir.filePath("Kestrovia.ini"), QSettings::IniFormat)
    {
        kxdefaults::writeMissing(settings);
        KxManager::Context context;
        context.settings = &settings;
        context.listenPort = 0;
        context.listenAddress = "127.0.0.1";
        context.soundDriver = "Null";
        context.autoAnswerDelay = std::chrono::milliseconds(0);
        manager = std::make_unique<KxManager>(context);
    }
    QTemporaryDir dir;
    QSettings settings;
    std::unique_ptr<KxManager> manager;
};

bool established(KxManager& manager)
{
    auto call = manager.currentCall();
    return call && call->isEstablished();
}

void BM_KxManagerCallSetUp(benchmark::State& state)
{
    application();
    Client alice;
    Client bob;
    for (Client* client : {&alice, &bob})
        client->manager->h323EndPoint()->setFastStart(state.range(0) != 0);
    const QString address =
        "127.0.0.1:" + QString::number(bob.manager->h323EndPoint()->listenerPort());
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!alice.manager->placeCall(address, true).isEmpty() ||
            !pumpUntil([&] { return established(*alice.manager); })) {
            state.SkipWithError("call failed");
            break;
        }
        const std::chrono::duration<double, std::milli> elapsed =
            std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count() / 1000.0);
        times.push_back(elapsed.count());
        alice.manager->hangUp();
        if (!pumpUntil([&] { return !alice.manager->inCall() && !bob.manager->inCall(); })) {
            state.SkipWithError("call did not clear");
            break;
        }
        // Let the queued per-call resets run before the next call.
        QCoreApplication::processEvents();
    }
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        state.counters["median_ms"] = times[times.size() / 2];
        state.counters["max_ms"] = times.back();
    }
}
BENCHMARK(BM_KxManagerCallSetUp)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
