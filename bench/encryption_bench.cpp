// What media encryption costs: one RTP packet encrypted and decrypted (a G.711 packet of
// 20 ms, and a full-size H.264 packet), as a share of one core for a whole stream; and
// the key agreement a call adds to its set-up (a half key made, a secret agreed).

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "voip/h235/keyagreement.h"
#include "voip/h235/mediacipher.h"
#include "voip/rtp/rtppacket.h"

namespace {

using voip::h235::Key;
using voip::h235::KeyAgreement;
using voip::h235::MediaCipher;

/// Encrypts and decrypts packets of `state.range(0)` payload octets; `state.range(1)` packets
/// a second make one stream (each way), which gives the share of a core per stream.
void BM_PacketBothWays(benchmark::State& state)
{
    const Key key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    MediaCipher sender(key);
    MediaCipher receiver(key);
    voip::rtp::RtpHeader header;
    header.payloadType = 120;
    header.ssrc = 0x12345678;
    std::vector<std::uint8_t> payload(std::size_t(state.range(0)), 0x55);
    std::vector<std::uint8_t> packet;
    const auto start = std::chrono::steady_clock::now();
    std::int64_t packets = 0;
    for (auto _ : state) {
        header.sequence = std::uint16_t(packets);
        header.timestamp = std::uint32_t(packets * 160);
        voip::rtp::buildRtp(header, payload, packet);
        if (!sender.encrypt(packet) || !receiver.decrypt(packet)) {
            state.SkipWithError("cipher failed");
            break;
        }
        benchmark::DoNotOptimize(packet.data());
        ++packets;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (packets > 0) {
        const double perPacket = seconds / double(packets);
        state.counters["us_per_packet"] = perPacket * 1e6;
        // Both directions of the stream: one sent, one received per packet interval.
        state.counters["core_percent_per_stream"] = perPacket * double(state.range(1)) * 100.0;
    }
}
// G.711: 160 octets every 20 ms.  720p25 H.264 at about 1.5 Mbit/s: 1,100 octets, about
// 170 packets a second.
BENCHMARK(BM_PacketBothWays)->ArgNames({"payload", "packets_per_s"})->Args({160, 50})->Args({1100, 170});

void BM_KeyAgreement(benchmark::State& state)
{
    const auto theirs = KeyAgreement::generate();
    if (!theirs) {
        state.SkipWithError("no random numbers");
        return;
    }
    for (auto _ : state) {
        auto ours = KeyAgreement::generate();
        auto secret = ours ? ours->secret(theirs->halfKey()) : std::nullopt;
        benchmark::DoNotOptimize(secret);
    }
}
BENCHMARK(BM_KeyAgreement)->Unit(benchmark::kMillisecond);

} // namespace
