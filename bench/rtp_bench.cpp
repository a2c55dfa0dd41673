// The jitter buffer's cost per second of audio and the delay it adds on a
// clean path.  Run with --benchmark_repetitions=10
// --benchmark_report_aggregates_only=true for medians.
#include "voip/rtp/jitterbuffer.h"
#include "voip/rtp/rtppacket.h"
#include "voip/rtp/rtpsession.h"

#include <benchmark/benchmark.h>

#include <fstream>

using namespace voip::rtp;
using Clock = JitterBuffer::Clock;

namespace {

/// One second of audio in packets of `packetMs`, `bytesPerMs` bytes per ms,
/// timestamps advancing `ticksPerMs` per ms; pushed at their arrival and taken
/// out by a reader that polls every millisecond, as a sound device would.
void playOneSecond(benchmark::State& state, int packetMs, uint32_t ticksPerMs)
{
    const std::size_t bytes = 8u * static_cast<std::size_t>(packetMs);
    std::vector<uint8_t> payload(bytes, 0x55);
    JitterConfig config;
    config.payloadBytesPerMs = 8;
    double addedDelay = 0;
    uint64_t frames = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint64_t tick = 0;
    Clock::time_point now = Clock::now();
    JitterBuffer buffer(config);
    for (auto _ : state) {
        for (int ms = 0; ms < 1000; ++ms) {
            if (tick++ % packetMs == 0) {
                RtpPacketView packet;
                packet.sequence = sequence++;
                packet.timestamp = timestamp;
                packet.payloadType = 9;
                packet.payload = payload;
                timestamp += ticksPerMs * static_cast<uint32_t>(packetMs);
                buffer.push(packet, now);
            }
            while (auto frame = buffer.pop(now)) {
                benchmark::DoNotOptimize(frame->payload.data());
                ++frames;
            }
            now += std::chrono::milliseconds(1);
        }
    }
    const auto stats = buffer.statistics();
    addedDelay = stats.meanAddedDelayMs;
    state.counters["added_delay_ms"] = addedDelay;
    state.counters["late"] = static_cast<double>(stats.late);
    state.counters["frames"] = static_cast<double>(frames);
    state.SetLabel("per second of audio");
}

void BM_JitterBuffer_G711_20ms(benchmark::State& state)
{
    playOneSecond(state, 20, 8);
}

void BM_JitterBuffer_G722_1ms_16kHzClock(benchmark::State& state)
{
    playOneSecond(state, 1, 16);
}

void BM_JitterBuffer_G711_240ms(benchmark::State& state)
{
    playOneSecond(state, 240, 8);
}

void BM_ParseRtp(benchmark::State& state)
{
    RtpHeader header;
    header.payloadType = 8;
    header.sequence = 1;
    std::vector<uint8_t> payload(160, 1);
    std::vector<uint8_t> datagram;
    buildRtp(header, payload, datagram);
    for (auto _ : state) {
        RtpPacketView view;
        benchmark::DoNotOptimize(parseRtp(datagram, view));
        benchmark::DoNotOptimize(view.payload.data());
    }
}

long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

/// 500 sessions opened one after the other on loopback, each sending and
/// receiving a second's worth of 20 ms packets at once, then stopped: the time
/// per session and how much the resident memory grew over the whole run.
void BM_SessionOpenSendStop500(benchmark::State& state)
{
    voip::rtp::SessionConfig config;
    config.localAddress = asio::ip::make_address("127.0.0.1");
    const std::vector<uint8_t> payload(160, 0x55);
    long growth = 0;
    for (auto _ : state) {
        const long before = residentKiB();
        for (int call = 0; call < 500; ++call) {
            auto a = voip::rtp::RtpSession::open(config);
            auto b = voip::rtp::RtpSession::open(config);
            if (!a || !b) {
                state.SkipWithError("no port pair");
                return;
            }
            a.value()->setRemote(b.value()->localAddress(), b.value()->localRtpPort(),
                                 b.value()->localRtcpPort());
            for (uint32_t i = 0; i < 50; ++i)
                a.value()->send(payload, 160 * i, i == 0, 8);
            a.value()->stop();
            b.value()->stop();
        }
        growth = residentKiB() - before;
    }
    state.counters["rss_growth_kib"] = static_cast<double>(growth);
    state.counters["sessions"] = 1000;
}

} // namespace

BENCHMARK(BM_SessionOpenSendStop500)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_JitterBuffer_G711_20ms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JitterBuffer_G722_1ms_16kHzClock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JitterBuffer_G711_240ms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseRtp);
