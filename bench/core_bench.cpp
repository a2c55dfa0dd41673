// The call model's own cost: placing a call between two managers joined by the tests'
// loopback endpoints (no protocol, no media), and memory over many calls.

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/voip/loopbackendpoints.h"

namespace {

using namespace voip;
using namespace voip::test;

struct Pair
{
    Pair()
    {
        for (auto* side : {&alice, &bob}) {
            side->attachEndPoint(std::make_unique<LocalEndpoint>(*side));
            side->addRoute("test:.* = pc:");
            side->addRoute("pc:.*   = test:<da>");
        }
        alice.attachEndPoint(std::make_unique<LinkEndpoint>(alice, network, "alice"));
        bob.attachEndPoint(std::make_unique<LinkEndpoint>(bob, network, "bob"));
        bob.answerPolicy = [](Connection&, const std::string&) {
            return AnswerCallResponse::AnswerNow;
        };
    }

    /// One whole call; returns false when it did not get established.
    bool call(std::size_t index)
    {
        auto token = alice.setUpCall("pc:*", "bob");
        if (!token || !alice.waitUntil([&] { return alice.established.size() > index; })) {
            return false;
        }
        alice.clearCall(*token, EndReason::LocalUser, true);
        return bob.waitUntil([&] { return bob.cleared.size() > index; });
    }

    LinkNetwork network;
    RecordingManager alice;
    RecordingManager bob;
};

long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Time from setUpCall to OnEstablishedCall on the calling side.
void BM_CallSetUp(benchmark::State& state)
{
    Pair pair;
    std::size_t index = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto token = pair.alice.setUpCall("pc:*", "bob");
        const bool established =
            token && pair.alice.waitUntil([&] { return pair.alice.established.size() > index; });
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (!established) {
            state.SkipWithError("call not established");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        pair.alice.clearCall(*token, EndReason::LocalUser, true);
        pair.bob.waitUntil([&] { return pair.bob.cleared.size() > index; });
        ++index;
    }
}
BENCHMARK(BM_CallSetUp)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Resident memory after 10 and after 500 sequential calls.
void BM_MemoryOverCalls(benchmark::State& state)
{
    for (auto _ : state) {
        Pair pair;
        std::size_t index = 0;
        for (; index < 10; ++index) {
            if (!pair.call(index)) {
                state.SkipWithError("call failed");
                return;
            }
        }
        const long after10 = residentKilobytes();
        for (; index < 500; ++index) {
            if (!pair.call(index)) {
                state.SkipWithError("call failed");
                return;
            }
        }
        const long after500 = residentKilobytes();
        state.counters["rss_after_10_kB"] = static_cast<double>(after10);
        state.counters["rss_after_500_kB"] = static_cast<double>(after500);
        state.counters["growth_kB"] = static_cast<double>(after500 - after10);
    }
}
BENCHMARK(BM_MemoryOverCalls)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
