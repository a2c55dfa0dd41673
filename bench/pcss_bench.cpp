// Calls with audio between two managers joined in-process (real RTP on loopback, the PC
// sound endpoints on the Null driver, G.711 A-law): the time a call with 100 ms of audio
// takes end to end, and the resident memory after 10, 100 and 500 sequential calls.
// Every call starts and ends a few threads (patches, RTP sessions, the call's own), so
// glibc's per-thread malloc arenas add a little resident memory early on; run with
// MALLOC_ARENA_MAX=1 to see the engine's own use alone.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "tests/voip/pcss/rtplink.h"
#include "voip/media/mediaformatregistry.h"

namespace voip::test {
namespace {

long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

struct AudioPair
{
    AudioPair()
    {
        alice.pcss->setSoundDriver(kNullDriver);
        bob.pcss->setSoundDriver(kNullDriver);
        bob.answerPolicy = [](Connection&, const std::string&) {
            return AnswerCallResponse::AnswerNow;
        };
    }

    /// One call with `audio` of media both ways; the packets bob received, or -1.
    long call(std::chrono::milliseconds audio)
    {
        forget(alice);
        forget(bob);
        auto token = alice.setUpCall("pc:*", "bob");
        if (!token || !alice.waitUntil([&] { return !alice.established.empty(); }))
            return -1;
        auto call = alice.findCall(*token);
        auto leg = call ? std::dynamic_pointer_cast<RtpLinkConnection>(call->networkConnection())
                        : nullptr;
        if (!leg || !startMedia(*leg, format))
            return -1;
        std::this_thread::sleep_for(audio);
        long packets = -1;
        // A loaded machine may be slow to start the media: wait up to a second for it.
        for (int i = 0; i < 100 && packets <= 0; ++i) {
            if (auto peer = std::dynamic_pointer_cast<RtpLinkConnection>(leg->peer());
                peer && peer->session())
                packets = static_cast<long>(peer->session()->statistics().receive.packets);
            if (packets <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        call.reset();
        leg.reset();
        alice.clearCall(*token, EndReason::LocalUser, true);
        if (!bob.waitUntil([&] { return !bob.cleared.empty(); }))
            return -1;
        // The managers forget a call once its thread is collected.
        for (int i = 0; i < 200 && (alice.callCount() || bob.callCount()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return packets;
    }

    static void forget(RecordingManager& manager)
    {
        std::lock_guard lock(manager.mutex);
        manager.answerCallers.clear();
        manager.incoming.clear();
        manager.alerting.clear();
        manager.established.clear();
        manager.cleared.clear();
        manager.openedStreams.clear();
        manager.closedStreams.clear();
    }

    RtpLinkNetwork network;
    AudioManager alice{network, "alice"};
    AudioManager bob{network, "bob"};
    MediaFormat format = *MediaFormatRegistry::global().find(format::G711ALaw);
};

void BM_CallWithAudio(benchmark::State& state)
{
    AudioPair pair;
    for (auto _ : state) {
        if (pair.call(std::chrono::milliseconds(100)) <= 0) {
            state.SkipWithError("no audio arrived");
            break;
        }
    }
}
BENCHMARK(BM_CallWithAudio)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_MemoryOverCallsWithAudio(benchmark::State& state)
{
    for (auto _ : state) {
        AudioPair pair;
        long after10 = 0, after100 = 0;
        for (int index = 0; index < 500; ++index) {
            if (pair.call(std::chrono::milliseconds(60)) <= 0) {
                std::fprintf(stderr, "call %d carried no audio\n", index);
                state.SkipWithError("no audio arrived");
                return;
            }
            if (index == 9)
                after10 = residentKilobytes();
            if (index == 99)
                after100 = residentKilobytes();
        }
        const long after500 = residentKilobytes();
        state.counters["rss_after_10_kB"] = static_cast<double>(after10);
        state.counters["rss_after_100_kB"] = static_cast<double>(after100);
        state.counters["rss_after_500_kB"] = static_cast<double>(after500);
        state.counters["growth_100_to_500_kB"] = static_cast<double>(after500 - after100);
    }
}
BENCHMARK(BM_MemoryOverCallsWithAudio)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace voip::test
