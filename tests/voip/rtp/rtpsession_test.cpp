#include "voip/rtp/rtpsession.h"
#include "tests/support/eventually.h"
#include "tests/support/impairedrtp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <thread>

using namespace voip::rtp;
using namespace std::chrono_literals;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

const asio::ip::address Loopback = asio::ip::make_address("127.0.0.1");

SessionConfig loopbackConfig()
{
    SessionConfig config;
    config.localAddress = Loopback;
    config.rtcpInterval = 200ms;
    config.mediaFormat = "G.711-ALaw-64k";
    return config;
}

std::unique_ptr<RtpSession> openSession(const SessionConfig& config = loopbackConfig())
{
    auto result = RtpSession::open(config);
    if (!result) {
        ADD_FAILURE() << result.error();
        return nullptr;
    }
    return result.take();
}

void connect(RtpSession& a, RtpSession& b)
{
    a.setRemote(b.localAddress(), b.localRtpPort(), b.localRtcpPort());
    b.setRemote(a.localAddress(), a.localRtpPort(), a.localRtcpPort());
}

/// Reads frames by playout time until `count` arrived or `timeout` passed.
std::vector<MediaFrame> collect(RtpSession& session, std::size_t count,
                                std::chrono::milliseconds timeout)
{
    std::vector<MediaFrame> frames;
    const auto end = Clock::now() + timeout;
    while (frames.size() < count && Clock::now() < end) {
        while (auto frame = session.readFrame())
            frames.push_back(std::move(*frame));
        std::this_thread::sleep_for(1ms);
    }
    return frames;
}

/// Sends `count` packets of `bytes` bytes, one every `spacing`, timestamps
/// advancing by `step`; the first byte of each payload is its index.
void sendPaced(const std::function<void(std::span<const uint8_t>, uint32_t, bool)>& send, int count,
               std::chrono::microseconds spacing, std::size_t bytes, uint32_t step)
{
    std::vector<uint8_t> payload(bytes);
    auto next = Clock::now();
    for (int i = 0; i < count; ++i) {
        payload[0] = static_cast<uint8_t>(i);
        send(payload, step * static_cast<uint32_t>(i), i == 0);
        next += spacing;
        std::this_thread::sleep_until(next);
    }
}

using kxtest::eventually;

std::size_t countEntries(const char* folder)
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++n;
    return n;
}

/// A plain socket that plays a peer: sends RTP as the odd peers do.
struct RawPeer
{
    asio::io_context io;
    udp::socket socket{io, udp::endpoint(Loopback, 0)};
    uint16_t sequence = 100;

    void sendRtp(const RtpSession& to, std::span<const uint8_t> payload, uint32_t timestamp,
                 uint8_t payloadType = 9, uint32_t ssrc = 0x5151)
    {
        RtpHeader header;
        header.payloadType = payloadType;
        header.sequence = sequence++;
        header.timestamp = timestamp;
        header.ssrc = ssrc;
        std::vector<uint8_t> datagram;
        buildRtp(header, payload, datagram);
        sendRaw(udp::endpoint(to.localAddress(), to.localRtpPort()), datagram);
    }
    void sendRaw(const udp::endpoint& to, const std::vector<uint8_t>& datagram)
    {
        socket.send_to(asio::buffer(datagram), to);
    }
    uint16_t port() const { return socket.local_endpoint().port(); }
};

} // namespace

TEST(RtpSession, SendsAndReceivesWithTimestampsAndCounts)
{
    auto a = openSession();
    auto b = openSession();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->localRtpPort() % 2, 0);
    EXPECT_EQ(a->localRtcpPort(), a->localRtpPort() + 1);
    EXPECT_NE(a->ssrc(), b->ssrc());
    connect(*a, *b);

    std::vector<MediaFrame> frames;
    std::thread reader([&] { frames = collect(*b, 50, 3s); });
    sendPaced([&](auto payload, uint32_t ts, bool marker) { a->send(payload, ts, marker, 8); }, 50,
              20ms, 160, 160);
    reader.join();
    ASSERT_EQ(frames.size(), 50u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].timestamp, 160u * i);
        EXPECT_EQ(frames[i].payload.size(), 160u);
        EXPECT_EQ(frames[i].payload[0], static_cast<uint8_t>(i));
        EXPECT_EQ(frames[i].payloadType, 8);
        EXPECT_EQ(frames[i].marker, i == 0);
        EXPECT_EQ(frames[i].lostBefore, 0u);
        EXPECT_EQ(static_cast<uint16_t>(frames[i].sequence - frames[0].sequence), i);
    }

    const auto rx = b->statistics();
    EXPECT_EQ(rx.receive.mediaFormat, "G.711-ALaw-64k");
    EXPECT_EQ(rx.receive.packets, 50u);
    EXPECT_EQ(rx.receive.totalBytes, 50u * 160);
    EXPECT_EQ(rx.receive.totalFrames, 50u);
    EXPECT_EQ(rx.receive.packetsLost, 0u);
    EXPECT_LT(rx.receive.jitterMs, 10u);
    // The rate window covers the same span as its bytes: about 64 kbit/s.
    ASSERT_GT(rx.receive.timeBase.count(), 500);
    const double kbps = rx.receive.rateByteCount * 8.0 / rx.receive.timeBase.count();
    EXPECT_NEAR(kbps, 64, 12);
    EXPECT_NEAR(rx.receive.frameCount * 1000.0 / rx.receive.timeBase.count(), 50, 10);
    // At the minimum delay (50 ms), give or take what a busy machine adds as jitter: a
    // sender that wakes late makes its packets arrive late against the first one's time
    // (48.2 ms was seen under load).
    EXPECT_GE(rx.jitterBuffer.meanAddedDelayMs, 40);
    EXPECT_LT(rx.jitterBuffer.meanAddedDelayMs, 80);

    const auto tx = a->statistics();
    EXPECT_EQ(tx.transmit.packets, 50u);
    EXPECT_EQ(tx.transmit.totalBytes, 50u * 160);
    EXPECT_EQ(tx.drops.total(), 0u);
    // Reports went both ways and each side measured a round trip.
    EXPECT_TRUE(eventually([&] { return a->statistics().roundTripMeasurements > 0; }, 2s));
    EXPECT_GT(b->statistics().rtcpReceived, 0u);
}

TEST(RtpSession, WorksOnIpv6Loopback)
{
    SessionConfig config = loopbackConfig();
    config.localAddress = asio::ip::make_address("::1");
    auto opened = RtpSession::open(config);
    if (!opened)
        GTEST_SKIP() << "no IPv6 loopback: " << opened.error();
    const auto a = opened.take();
    auto b = openSession(config);
    ASSERT_TRUE(b);
    connect(*a, *b);
    const std::vector<uint8_t> payload(80, 1);
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(a->send(payload, 80 * i, false, 0));
    EXPECT_EQ(collect(*b, 5, 1s).size(), 5u);
}

TEST(RtpSession, WalksThePortRangeAndSkipsBusyPorts)
{
    // Find eight free consecutive ports starting on an even one.
    asio::io_context io;
    uint16_t base = 0;
    for (int attempt = 0; attempt < 50 && base == 0; ++attempt) {
        udp::socket probe(io, udp::endpoint(Loopback, 0));
        const uint16_t candidate = static_cast<uint16_t>((probe.local_endpoint().port() + 2) & ~1);
        probe.close();
        bool allFree = candidate < 65000;
        for (int i = 0; i < 8 && allFree; ++i) {
            asio::error_code ec;
            udp::socket s(io);
            s.open(udp::v4());
            s.bind(udp::endpoint(Loopback, static_cast<uint16_t>(candidate + i)), ec);
            allFree = !ec;
        }
        if (allFree)
            base = candidate;
    }
    ASSERT_NE(base, 0);

    // Someone else holds the RTCP port of the first pair.
    udp::socket busy(io, udp::endpoint(Loopback, static_cast<uint16_t>(base + 1)));
    SessionConfig config = loopbackConfig();
    config.portBase = base;
    config.portMax = static_cast<uint16_t>(base + 5);
    auto first = openSession(config);
    auto second = openSession(config);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->localRtpPort(), base + 2);
    EXPECT_EQ(second->localRtpPort(), base + 4);
    EXPECT_EQ(second->localRtcpPort(), base + 5);
    const auto third = RtpSession::open(config);
    ASSERT_FALSE(third);
    EXPECT_NE(third.error().find("no free RTP/RTCP port pair"), std::string::npos) << third.error();
}

TEST(RtpSession, LossAndReorderThroughARelay)
{
    kxtest::ImpairedRtp pair;
    ASSERT_TRUE(pair.open(loopbackConfig(), 42));
    auto& a = pair.sender;
    auto& b = pair.receiver;
    auto& path = *pair.path;
    path.delay = 40ms;
    path.lossPercent = 10;
    path.swapPercent = 10;

    std::vector<MediaFrame> frames;
    std::thread reader([&] { frames = collect(*b, 100, 3s); });
    sendPaced([&](auto payload, uint32_t ts, bool marker) { a->send(payload, ts, marker, 8); }, 100,
              20ms, 160, 160);
    reader.join();

    const auto lost = path.lost();
    ASSERT_GT(lost, 4u);
    ASSERT_GT(path.swapped(), 4u);
    ASSERT_EQ(frames.size(), 100u - lost);
    uint32_t lostBefore = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(frames[i].timestamp, frames[i - 1].timestamp) << "order restored";
        lostBefore += frames[i].lostBefore;
    }
    // Playout went on to the end of the stream.
    EXPECT_EQ(frames.back().payload[0], 99);
    EXPECT_EQ(lostBefore, lost);
    const auto stats = b->statistics();
    EXPECT_EQ(stats.receive.packetsLost, lost);
    EXPECT_EQ(stats.receive.packets, 100u - lost);
    EXPECT_EQ(stats.jitterBuffer.late, 0u);

    // Every report to the receiver crosses the path's 40 ms: a round trip of about 40 ms.
    ASSERT_TRUE(eventually([&] { return a->statistics().roundTripMeasurements > 0; }, 3s));
    const auto tx = a->statistics();
    EXPECT_GT(tx.roundTripMs, 35);
    EXPECT_LT(tx.roundTripMs, 150);
    EXPECT_GE(tx.transmit.latencyMs, 35u);
    EXPECT_TRUE(eventually([&] { return a->statistics().transmit.packetsLost == lost; }, 2s))
        << "the peer's report tells the sender about the loss";
}

TEST(RtpSession, MalformedPacketsAreDroppedAndCounted)
{
    auto b = openSession();
    ASSERT_TRUE(b);
    RawPeer peer;
    b->setRemote(Loopback, peer.port(), static_cast<uint16_t>(peer.port() + 1));
    const udp::endpoint rtpPort(Loopback, b->localRtpPort());
    const udp::endpoint rtcpPort(Loopback, b->localRtcpPort());

    peer.sendRaw(rtpPort, {0x80, 0x08, 0x00}); // short
    peer.sendRaw(rtpPort,
                 std::vector<uint8_t>{0x40, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 9, 9}); // version 1
    peer.sendRaw(rtpPort,
                 std::vector<uint8_t>{0x8f, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 9, 9}); // 15 CSRCs
    peer.sendRaw(rtpPort, std::vector<uint8_t>{0x90, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0xbe, 0xde,
                                               0xff, 0xff});
    peer.sendRaw(rtpPort, std::vector<uint8_t>{0xa0, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 9, 200});
    peer.sendRaw(rtcpPort, std::vector<uint8_t>{0x80, 202, 0, 0}); // SDES first
    peer.sendRaw(rtcpPort, std::vector<uint8_t>{0x80, 201, 0xff, 0xff, 1, 2, 3, 4});

    std::vector<uint8_t> receiverReport;
    appendReceiverReport(receiverReport, 0x5151, {});
    appendSdesCname(receiverReport, 0x5151, "peer");
    peer.sendRaw(rtpPort, receiverReport); // RTCP on the RTP port

    const std::vector<uint8_t> payload(160, 7);
    peer.sendRtp(*b, payload, 0, 8);
    ASSERT_EQ(collect(*b, 1, 1s).size(), 1u);
    ASSERT_TRUE(eventually([&] { return b->statistics().drops.rtcpMalformed == 2; }, 1s));
    const auto s = b->statistics();
    EXPECT_EQ(s.drops.tooShort, 1u);
    EXPECT_EQ(s.drops.badVersion, 1u);
    EXPECT_EQ(s.drops.csrcBeyondPacket, 1u);
    EXPECT_EQ(s.drops.extensionBeyondPacket, 1u);
    EXPECT_EQ(s.drops.paddingBeyondPacket, 1u);
    EXPECT_EQ(s.drops.rtcpOnRtpPort, 1u);
    EXPECT_EQ(s.receive.packets, 1u);
}

TEST(RtpSession, PeerSendingFromAnotherPortWithoutRtcp)
{
    auto b = openSession();
    ASSERT_TRUE(b);
    RawPeer signalled; // the port the peer announced: it never sends
    RawPeer actual;    // where its RTP really comes from
    RawPeer stranger;
    b->setRemote(Loopback, signalled.port(), static_cast<uint16_t>(signalled.port() + 1));

    const std::vector<uint8_t> payload(160, 3);
    for (uint32_t i = 0; i < 10; ++i) {
        actual.sendRtp(*b, payload, 160 * i, 8);
        stranger.sendRtp(*b, payload, 999 + 160 * i, 8, 0x7777);
        std::this_thread::sleep_for(20ms);
    }
    const auto frames = collect(*b, 10, 1s);
    ASSERT_EQ(frames.size(), 10u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].timestamp, 160u * i);
    const auto s = b->statistics();
    EXPECT_EQ(s.drops.unexpectedSource, 10u);
    EXPECT_EQ(s.receive.packetsLost, 0u);
    EXPECT_EQ(s.rtcpReceived, 0u);
    EXPECT_EQ(s.roundTripMeasurements, 0u);
    EXPECT_EQ(b->receiveState(), ReceiveState::Receiving);

    // Once the signalled port speaks, it wins.
    signalled.sendRtp(*b, payload, 5000, 8, 0x9999);
    ASSERT_TRUE(eventually([&] { return b->statistics().receive.packets == 11; }, 1s));
    actual.sendRtp(*b, payload, 1600, 8);
    EXPECT_TRUE(eventually([&] { return b->statistics().drops.unexpectedSource == 11; }, 1s));
}

TEST(RtpSession, SequenceNumbersWrapWithoutCountingLoss)
{
    // A stream that starts just below 65536 (senders pick the first number at random)
    // wraps within a second: one packet missing after the wrap is one lost, not 65,000.
    auto b = openSession();
    ASSERT_TRUE(b);
    RawPeer peer;
    peer.sequence = 65530;
    b->setRemote(Loopback, peer.port(), static_cast<uint16_t>(peer.port() + 1));
    std::vector<MediaFrame> frames;
    std::thread reader([&] { frames = collect(*b, 16, 2s); });
    const std::vector<uint8_t> payload(160, 3);
    for (uint32_t i = 0; i < 17; ++i) {
        if (i == 10)
            ++peer.sequence; // sequence 4 never comes
        else
            peer.sendRtp(*b, payload, 160 * i, 8);
        std::this_thread::sleep_for(20ms);
    }
    reader.join();
    ASSERT_EQ(frames.size(), 16u);
    EXPECT_EQ(frames[10].lostBefore, 1u);
    const auto s = b->statistics();
    EXPECT_EQ(s.receive.packets, 16u);
    EXPECT_EQ(s.receive.packetsLost, 1u);
}

// The far end's reports of our stream: each new loss is told once, with how much more was
// lost; a report that cannot be true tells nothing.
TEST(RtpSession, NewLossTheFarEndReportsIsToldOnce)
{
    auto a = openSession();
    ASSERT_TRUE(a);
    RawPeer peer;
    a->setRemote(Loopback, peer.port(), peer.port()); // its reports come from that port
    std::mutex mutex;
    std::vector<uint32_t> told;
    a->setLossHandler([&](uint32_t lost) {
        std::lock_guard lock(mutex);
        told.push_back(lost);
    });
    const std::vector<uint8_t> payload(160, 1);
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_TRUE(a->send(payload, i * 160, false, 0));
    const udp::endpoint rtcp(Loopback, a->localRtcpPort());
    for (const int32_t cumulative : {3, 5, 5, 900, 0}) {
        std::vector<uint8_t> report;
        ReportBlock block;
        block.ssrc = a->ssrc();
        block.cumulativeLost = cumulative;
        appendReceiverReport(report, 0x5151, std::span(&block, 1));
        peer.sendRaw(rtcp, report);
        std::this_thread::sleep_for(30ms);
    }
    ASSERT_TRUE(eventually([&] { return a->statistics().rtcpReceived >= 5; }, 1s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(told, (std::vector<uint32_t>{3, 2})) << "900 of 20 sent is no report";
}

TEST(RtpSession, SilentStreamIsReportedAndRecovers)
{
    SessionConfig config = loopbackConfig();
    config.noMediaTimeout = 150ms;
    auto b = openSession(config);
    ASSERT_TRUE(b);
    std::mutex mutex;
    std::vector<ReceiveState> states;
    b->setStateHandler([&](ReceiveState s) {
        std::lock_guard lock(mutex);
        states.push_back(s);
    });
    EXPECT_EQ(b->receiveState(), ReceiveState::Waiting);
    ASSERT_TRUE(eventually([&] { return b->receiveState() == ReceiveState::Silent; }, 2s));

    RawPeer peer;
    const std::vector<uint8_t> payload(160, 1);
    peer.sendRtp(*b, payload, 0, 8);
    ASSERT_TRUE(eventually([&] { return b->receiveState() == ReceiveState::Receiving; }, 1s));
    ASSERT_TRUE(eventually([&] { return b->receiveState() == ReceiveState::Silent; }, 2s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(states, (std::vector<ReceiveState>{ReceiveState::Silent, ReceiveState::Receiving,
                                                 ReceiveState::Silent}));
}

TEST(RtpSession, StopLeavesNoThreadOrSocketAndSaysBye)
{
    auto a = openSession();
    ASSERT_TRUE(a);
    const std::size_t fdsBefore = countEntries("/proc/self/fd");
    const std::size_t threadsBefore = countEntries("/proc/self/task");
    {
        auto b = openSession();
        ASSERT_TRUE(b);
        EXPECT_GT(countEntries("/proc/self/fd"), fdsBefore);
        EXPECT_GT(countEntries("/proc/self/task"), threadsBefore);
        connect(*a, *b);
        const std::vector<uint8_t> payload(160, 1);
        b->send(payload, 0, true, 8);
        ASSERT_EQ(collect(*a, 1, 1s).size(), 1u);
        b->stop();
        b->stop(); // idempotent
        EXPECT_FALSE(b->send(payload, 160, false, 8));
        EXPECT_FALSE(b->readFrame(Clock::now() + 1h));
    }
    // Not more than before: a thread or socket of an earlier test may have gone meanwhile.
    EXPECT_LE(countEntries("/proc/self/fd"), fdsBefore);
    EXPECT_LE(countEntries("/proc/self/task"), threadsBefore);
    EXPECT_TRUE(eventually([&] { return a->statistics().remoteBye; }, 1s));
}

TEST(RtpSession, SendWithoutRemoteFails)
{
    auto a = openSession();
    ASSERT_TRUE(a);
    const std::vector<uint8_t> payload(10, 0);
    EXPECT_FALSE(a->send(payload, 0, false, 0));
    EXPECT_EQ(a->statistics().transmit.packets, 0u);
}

TEST(RtpSession, HandlerMayStopTheSession)
{
    SessionConfig config = loopbackConfig();
    config.noMediaTimeout = 50ms;
    auto session = openSession(config);
    ASSERT_TRUE(session);
    const std::size_t threadsWithSession = countEntries("/proc/self/task");
    std::atomic<bool> stopped{false};
    session->setStateHandler([&](ReceiveState state) {
        if (state == ReceiveState::Silent) {
            session->stop();
            stopped = true;
        }
    });
    ASSERT_TRUE(eventually([&] { return stopped.load(); }, 2s));
    const std::vector<uint8_t> payload(10, 0);
    EXPECT_FALSE(session->send(payload, 0, false, 0));
    session.reset();
    EXPECT_EQ(countEntries("/proc/self/task"), threadsWithSession - 1);
}

TEST(RtpSession, ReaderCanSleepUntilTheNextFrame)
{
    auto a = openSession();
    auto b = openSession();
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    EXPECT_FALSE(b->nextPlayout());
    const std::vector<uint8_t> payload(160, 1);
    ASSERT_TRUE(a->send(payload, 0, true, 8));
    ASSERT_TRUE(eventually([&] { return b->nextPlayout().has_value(); }, 1s));
    const auto due = *b->nextPlayout();
    EXPECT_FALSE(b->readFrame(due - 1ms));
    EXPECT_TRUE(b->readFrame(due));
}

TEST(RtpSession, VideoJitterCountsIn90kHzTicks)
{
    // Pictures paced evenly at 25 a second carry timestamps 3600 apart: the jitter either
    // side reports must be that of the pacing, not 3600 ticks read as 8 kHz samples.
    SessionConfig config = loopbackConfig();
    config.useJitterBuffer = false;
    config.mediaFormat = "H.264-High";
    auto a = openSession(config);
    auto b = openSession(config);
    ASSERT_TRUE(a && b);
    a->setClockRate(90000);
    b->setClockRate(90000);
    std::atomic<int> received{0};
    b->setPacketHandler([&](const MediaFrame&) { ++received; });
    connect(*a, *b);
    sendPaced([&](auto payload, uint32_t ts, bool marker) { a->send(payload, ts, marker, 96); }, 30,
              40ms, 800, 3600);
    ASSERT_TRUE(eventually([&] { return received == 30; }, 2s));
    EXPECT_LT(b->statistics().receive.jitterMs, 15u);
    // Our receiver report reaches the sender, who reads it in the same units.
    ASSERT_TRUE(eventually([&] { return a->statistics().rtcpReceived > 1; }, 2s));
    EXPECT_LT(a->statistics().transmit.jitterMs, 15u);
}

TEST(RtpSession, PacketsBeforeTheFirstHandlerAreHeldAndHandedOverInOrder)
{
    // A far end may start its video before our stream is joined to the session (it
    // answered fastStart and sent at once): its key frame must not be lost.
    SessionConfig config = loopbackConfig();
    config.useJitterBuffer = false;
    auto a = openSession(config);
    auto b = openSession(config);
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    const int early = int(RtpSession::EarlyPackets) + 20;
    sendPaced([&](auto payload, uint32_t ts, bool marker) { a->send(payload, ts, marker, 96); },
              early, 200us, 100, 3600);
    ASSERT_TRUE(eventually([&] { return b->statistics().receive.packets == unsigned(early); }, 2s));
    std::mutex mutex;
    std::vector<int> order;
    b->setPacketHandler([&](const MediaFrame& frame) {
        std::lock_guard lock(mutex);
        order.push_back(frame.payload[0]);
    });
    // Sent after the handler: comes after every held one.
    std::vector<uint8_t> late(100, 0xEE);
    ASSERT_TRUE(a->send(late, 0, false, 96));
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard lock(mutex);
            return order.size() == RtpSession::EarlyPackets + 1;
        },
        2s));
    std::lock_guard lock(mutex);
    // The oldest went to keep the bound; the rest in order, then the late one.
    for (std::size_t i = 0; i < RtpSession::EarlyPackets; ++i)
        EXPECT_EQ(order[i], uint8_t(20 + i)) << i;
    EXPECT_EQ(order.back(), 0xEE);
}

TEST(RtpSession, NothingIsHeldOnceAStreamHasBeenJoined)
{
    SessionConfig config = loopbackConfig();
    config.useJitterBuffer = false;
    auto a = openSession(config);
    auto b = openSession(config);
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    std::atomic<int> received{0};
    b->setPacketHandler([&](const MediaFrame&) { ++received; });
    b->setPacketHandler(nullptr); // the stream closed
    sendPaced([&](auto payload, uint32_t ts, bool marker) { a->send(payload, ts, marker, 96); }, 10,
              1ms, 100, 3600);
    ASSERT_TRUE(eventually([&] { return b->statistics().receive.packets == 10u; }, 2s));
    b->setPacketHandler([&](const MediaFrame&) { ++received; });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(received, 0) << "what came between two streams is not kept for the next";
}

namespace voip::rtp {
namespace {

TEST(RtpSession, AnEncryptedChannelCarriesNothingClearAndDropsWhatItsKeyCannotOpen)
{
    const h235::Key key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto a = openSession();
    auto b = openSession();
    ASSERT_TRUE(a && b);
    connect(*a, *b);
    a->setSendKey(key, 120);
    b->addReceiveKey(key, 120, 120);
    // 120 octets: padded to whole blocks on the way, whole again on arrival.
    std::vector<uint8_t> payload(120);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i);
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(a->send(payload, 120 * i, i == 0, 120));
    const auto frames = collect(*b, 5, 2s);
    ASSERT_EQ(frames.size(), 5u);
    for (const auto& frame : frames)
        EXPECT_EQ(frame.payload, payload);

    // A renewed key goes with its own payload type; the receiver keeps the old key for
    // what is still on the way, and the stream sees one payload type throughout.
    const h235::Key renewed = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    b->addReceiveKey(renewed, 121, 120);
    ASSERT_TRUE(a->send(payload, 600, false, 120));
    a->setSendKey(renewed, 121);
    ASSERT_TRUE(a->send(payload, 720, false, 120));
    const auto across = collect(*b, 2, 2s);
    ASSERT_EQ(across.size(), 2u);
    for (const auto& frame : across) {
        EXPECT_EQ(frame.payload, payload);
        EXPECT_EQ(frame.payloadType, 120);
    }

    // What the wire carries: the header clear, the payload not.
    RawPeer listener;
    a->setRemote(Loopback, listener.port(), uint16_t(listener.port() + 1));
    ASSERT_TRUE(a->send(payload, 600, false, 120));
    std::vector<uint8_t> wire(2048);
    listener.socket.non_blocking(false);
    wire.resize(listener.socket.receive(asio::buffer(wire)));
    ASSERT_EQ(wire.size(), 12u + 128u);
    EXPECT_EQ(wire[1] & 0x7F, 121) << "the renewed key's";
    EXPECT_TRUE(wire[0] & 0x20) << "padded";
    EXPECT_FALSE(std::search(wire.begin(), wire.end(), payload.begin(), payload.begin() + 16) !=
                 wire.end())
        << "no run of the payload in clear";
    h235::MediaCipher opener(renewed);
    ASSERT_TRUE(opener.decrypt(wire));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), wire.begin() + 12));

    // Clear media on a channel that expects it encrypted is not taken as media.
    RawPeer clear;
    b->setRemote(Loopback, clear.port(), uint16_t(clear.port() + 1));
    const auto before = b->statistics().receive.packets;
    clear.sendRtp(*b, std::vector<uint8_t>(17, 7), 0, 120, 0x7777);
    // Whole blocks of clear G.711 under its static payload type: not decrypted into noise.
    clear.sendRtp(*b, std::vector<uint8_t>(160, 0xff), 1, 0, 0x7777);
    ASSERT_TRUE(eventually([&] { return b->statistics().drops.undecryptable == 2; }, 1s));
    EXPECT_EQ(b->statistics().receive.packets, before);
}

} // namespace
} // namespace voip::rtp
