// H.323 call set-up on loopback: from placing a call to its establishment (median over
// many calls), with and without fastStart and media encryption, and the process's resident memory after 10 and after 500 calls.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <unistd.h>

#include "voip/core/call.h"
#include "voip/h323/endpoint.h"
#include "voip/core/manager.h"

namespace {

class SilentConnection : public voip::Connection
{
public:
    using voip::Connection::Connection;
    bool isNetworkConnection() const override { return false; }
    bool setUpConnection() override { return true; }
    void onRelease(voip::EndReason) override {}
};

class SilentEndpoint : public voip::EndPoint
{
public:
    explicit SilentEndpoint(voip::Manager& manager)
        : voip::EndPoint(manager, "pc")
    {}
    std::shared_ptr<voip::Connection> makeConnection(const std::shared_ptr<voip::Call>& call,
                                                     const std::string& address,
                                                     const voip::StringOptions& options) override
    {
        return std::make_shared<SilentConnection>(call, *this, address, options);
    }
};

/// Answers at once and counts established and cleared calls.
class BenchManager : public voip::Manager
{
public:
    BenchManager()
    {
        attachEndPoint(std::make_unique<SilentEndpoint>(*this));
        h323 = static_cast<voip::h323::EndPoint*>(
            attachEndPoint(std::make_unique<voip::h323::EndPoint>(*this)));
        addRoute("h323:.* = pc:");
        addRoute("pc:.* = h323:<da>");
    }
    ~BenchManager() override { shutDown(); }
    voip::AnswerCallResponse OnAnswerCall(voip::Connection&, const std::string&) override
    {
        return voip::AnswerCallResponse::AnswerNow;
    }
    void OnEstablishedCall(voip::Call&) override
    {
        std::lock_guard lock(mutex);
        ++established;
        changed.notify_all();
    }
    void OnClearedCall(voip::Call&) override
    {
        std::lock_guard lock(mutex);
        ++cleared;
        changed.notify_all();
    }
    bool waitFor(unsigned& counter, unsigned value)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return counter >= value; });
    }

    voip::h323::EndPoint* h323 = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    unsigned established = 0;
    unsigned cleared = 0;
};

/// One call from `caller` to `callee`: returns the time from placing to established.
std::chrono::duration<double, std::milli> oneCall(BenchManager& caller, BenchManager& callee,
                                                  const std::string& address)
{
    const unsigned target = caller.established + 1;
    const auto start = std::chrono::steady_clock::now();
    auto token = caller.setUpCall("pc:*", address);
    if (!token || !caller.waitFor(caller.established, target))
        return std::chrono::duration<double, std::milli>(-1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const unsigned cleared = caller.cleared + 1;
    caller.clearCall(*token, voip::EndReason::LocalUser, true);
    caller.waitFor(caller.cleared, cleared);
    callee.waitFor(callee.cleared, cleared);
    return elapsed;
}

long residentKilobytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_CallSetUp(benchmark::State& state)
{
    BenchManager caller;
    BenchManager callee;
    callee.h323->startListener("127.0.0.1", 0);
    caller.h323->setFastStart(state.range(0) != 0);
    callee.h323->setFastStart(state.range(0) != 0);
    // With encryption, each side makes a Diffie-Hellman half key and agrees the secret.
    const auto encryption = state.range(1) != 0 ? voip::h323::MediaEncryption::WhenPeerCan
                                                : voip::h323::MediaEncryption::Off;
    caller.h323->setMediaEncryption(encryption);
    callee.h323->setMediaEncryption(encryption);
    const std::string address = "h323:127.0.0.1:" + std::to_string(callee.h323->listenerPort());
    std::vector<double> times;
    for (auto _ : state) {
        const auto elapsed = oneCall(caller, callee, address);
        if (elapsed.count() < 0) {
            state.SkipWithError("call failed");
            break;
        }
        state.SetIterationTime(elapsed.count() / 1000.0);
        times.push_back(elapsed.count());
    }
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        state.counters["median_ms"] = times[times.size() / 2];
        state.counters["max_ms"] = times.back();
    }
}
BENCHMARK(BM_CallSetUp)
    ->ArgNames({"fastStart", "encryption"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(60)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_MemoryAfterCalls(benchmark::State& state)
{
    for (auto _ : state) {
        BenchManager caller;
        BenchManager callee;
        callee.h323->startListener("127.0.0.1", 0);
        const std::string address = "h323:127.0.0.1:" + std::to_string(callee.h323->listenerPort());
        long after10 = 0;
        for (int call = 1; call <= 500; ++call) {
            if (oneCall(caller, callee, address).count() < 0) {
                state.SkipWithError("call failed");
                return;
            }
            if (call == 10)
                after10 = residentKilobytes();
        }
        const long after500 = residentKilobytes();
        state.counters["rss_after_10_kB"] = static_cast<double>(after10);
        state.counters["rss_after_500_kB"] = static_cast<double>(after500);
        state.counters["growth_kB"] = static_cast<double>(after500 - after10);
    }
}
BENCHMARK(BM_MemoryAfterCalls)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
