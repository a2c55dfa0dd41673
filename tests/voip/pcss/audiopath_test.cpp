// Calls that carry audio both ways: the PC sound endpoints of two managers read a WAV file
// as the microphone and write what they receive into another, the network legs send RTP
// over loopback (directly or through a lossy relay), and the joiner patches each network
// stream to the local one through the codecs.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <numbers>
#include <random>
#include <thread>

#include <unistd.h>

#include <asio.hpp>
#include <gtest/gtest.h>

#include "tests/voip/pcss/audiocheck.h"
#include "tests/voip/pcss/rtplink.h"
#include "voip/device/wavfile.h"
#include "voip/media/codec.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/stream.h"
#include "voip/pcss/pcssconnection.h"

namespace voip::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

/// When each block of samples passed through a channel: (samples so far, time).
struct TimingLog
{
    std::mutex mutex;
    std::vector<std::pair<uint64_t, Clock::time_point>> marks;
    uint64_t total = 0;

    void add(size_t samples)
    {
        std::lock_guard lock(mutex);
        total += samples;
        marks.emplace_back(total, Clock::now());
    }
    /// The time the block holding sample `index` went through, if it did.
    std::optional<Clock::time_point> timeOf(uint64_t index)
    {
        std::lock_guard lock(mutex);
        for (const auto& [end, time] : marks)
            if (end > index)
                return time;
        return std::nullopt;
    }
};

/// A channel that passes everything to another and notes when each block went through.
class TimedChannel final : public SoundChannel
{
public:
    TimedChannel(std::shared_ptr<SoundChannel> inner, std::shared_ptr<TimingLog> log)
        : inner_(std::move(inner))
        , log_(std::move(log))
    {
        params_ = inner_->params();
    }
    MediaStatus open(const SoundParams& params) override
    {
        params_ = params;
        return inner_->open(params);
    }
    void close() override { inner_->close(); }
    bool isOpen() const override { return inner_->isOpen(); }
    MediaStatus read(std::span<int16_t> samples) override
    {
        auto status = inner_->read(samples);
        if (status)
            log_->add(samples.size());
        return status;
    }
    MediaStatus write(std::span<const int16_t> samples) override
    {
        auto status = inner_->write(samples);
        if (status)
            log_->add(samples.size());
        return status;
    }
    std::string name() const override { return inner_->name(); }
    std::string driverName() const override { return inner_->driverName(); }

private:
    std::shared_ptr<SoundChannel> inner_;
    std::shared_ptr<TimingLog> log_;
};

/// A PC endpoint whose channels note their timing, by device name.
class TimedPcssEndpoint : public pcss::PcssEndPoint
{
public:
    using PcssEndPoint::PcssEndPoint;
    std::shared_ptr<SoundChannel> createSoundChannel(const pcss::PcssConnection& connection,
                                                     const MediaFormat& format,
                                                     const std::string& device,
                                                     bool isSource) override
    {
        auto channel = PcssEndPoint::createSoundChannel(connection, format, device, isSource);
        if (!channel)
            return nullptr;
        std::lock_guard lock(mutex_);
        auto& log = logs_[device];
        log = std::make_shared<TimingLog>();
        return std::make_shared<TimedChannel>(channel, log);
    }
    std::shared_ptr<TimingLog> log(const std::string& device)
    {
        std::lock_guard lock(mutex_);
        auto found = logs_.find(device);
        return found == logs_.end() ? nullptr : found->second;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<TimingLog>> logs_;
};

AudioManager::PcssFactory timedFactory()
{
    return [](Manager& manager) { return std::make_unique<TimedPcssEndpoint>(manager); };
}

/// A UDP relay on loopback that forwards datagrams to `target`, dropping every
/// `dropEvery`-th and holding back every `swapEvery`-th until the next has gone.
class LossyRelay
{
public:
    LossyRelay(uint16_t target, unsigned dropEvery, unsigned swapEvery)
        : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , target_(asio::ip::make_address("127.0.0.1"), target)
        , dropEvery_(dropEvery)
        , swapEvery_(swapEvery)
    {
        receive();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~LossyRelay()
    {
        io_.stop();
        thread_.join();
    }
    uint16_t port() const { return socket_.local_endpoint().port(); }
    std::atomic<uint64_t> forwarded{0};
    std::atomic<uint64_t> dropped{0};

private:
    void receive()
    {
        socket_.async_receive_from(
            asio::buffer(buffer_), from_, [this](const asio::error_code& error, size_t size) {
                if (error)
                    return;
                handle(std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + size));
                receive();
            });
    }
    void handle(std::vector<uint8_t> datagram)
    {
        ++count_;
        if (dropEvery_ && count_ % dropEvery_ == 0) {
            ++dropped;
            return;
        }
        if (swapEvery_ && count_ % swapEvery_ == 0 && held_.empty()) {
            held_ = std::move(datagram);
            return;
        }
        send(datagram);
        if (!held_.empty()) {
            send(held_);
            held_.clear();
        }
    }
    void send(const std::vector<uint8_t>& datagram)
    {
        asio::error_code error;
        socket_.send_to(asio::buffer(datagram), target_, 0, error);
        ++forwarded;
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint target_;
    asio::ip::udp::endpoint from_;
    std::array<uint8_t, 2048> buffer_{};
    std::vector<uint8_t> held_;
    unsigned dropEvery_;
    unsigned swapEvery_;
    uint64_t count_ = 0;
    std::thread thread_;
};

class AudioPath : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (auto* manager : {&alice, &bob})
            ASSERT_TRUE(manager->pcss->setSoundDriver(kWavFileDriver));
        bob.answerNow();
    }

    /// Writes the two signals, points the devices at them and places the call.
    std::string call(unsigned rate, double seconds)
    {
        aliceSignal = testSignal(rate, seconds, 300, rate == 16000 ? 6500 : 3200);
        bobSignal = testSignal(rate, seconds, rate == 16000 ? 6000 : 3000, 250);
        EXPECT_TRUE(writeWavFile(folder.file("alice-in.wav"), {1, rate, aliceSignal}));
        EXPECT_TRUE(writeWavFile(folder.file("bob-in.wav"), {1, rate, bobSignal}));
        EXPECT_TRUE(alice.pcss->setRecordDevice(folder.file("alice-in.wav")));
        EXPECT_TRUE(alice.pcss->setPlayDevice(folder.file("alice-out.wav")));
        EXPECT_TRUE(bob.pcss->setRecordDevice(folder.file("bob-in.wav")));
        EXPECT_TRUE(bob.pcss->setPlayDevice(folder.file("bob-out.wav")));
        auto token = alice.setUpCall("pc:*", "bob");
        EXPECT_TRUE(token);
        EXPECT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
        EXPECT_TRUE(bob.waitUntil([&] { return !bob.established.empty(); }));
        return token.value_or("");
    }

    std::shared_ptr<RtpLinkConnection> networkLeg(Manager& manager, const std::string& token = {})
    {
        auto tokens = manager.callTokens();
        auto call =
            manager.findCall(token.empty() ? (tokens.empty() ? "" : tokens.front()) : token);
        return call ? std::dynamic_pointer_cast<RtpLinkConnection>(call->networkConnection())
                    : nullptr;
    }

    std::vector<int16_t> recorded(const std::string& name)
    {
        auto audio = readWavFile(folder.file(name));
        EXPECT_TRUE(audio) << name;
        return audio ? audio.value().samples : std::vector<int16_t>{};
    }

    /// Milliseconds from the sender reading sample `sentIndex` off its file to the
    /// receiver writing the matching sample, by the alignment found.
    std::optional<double> delayMs(TimedPcssEndpoint& sender, const std::string& input,
                                  TimedPcssEndpoint& receiver, const std::string& output,
                                  const Alignment& alignment, uint64_t sentIndex)
    {
        auto sent = sender.log(folder.file(input));
        auto received = receiver.log(folder.file(output));
        if (!sent || !received || static_cast<long>(sentIndex) < alignment.offset)
            return std::nullopt;
        auto readAt = sent->timeOf(sentIndex);
        auto writtenAt = received->timeOf(sentIndex - alignment.offset);
        if (!readAt || !writtenAt)
            return std::nullopt;
        return std::chrono::duration<double, std::milli>(*writtenAt - *readAt).count();
    }

    TimedPcssEndpoint& timed(AudioManager& manager)
    {
        return static_cast<TimedPcssEndpoint&>(*manager.pcss);
    }

    TempFolder folder;
    RtpLinkNetwork network;
    AudioManager alice{network, "alice", timedFactory()};
    AudioManager bob{network, "bob", timedFactory()};
    std::vector<int16_t> aliceSignal;
    std::vector<int16_t> bobSignal;
};

class AudioPathPerCodec : public AudioPath, public ::testing::WithParamInterface<std::string_view>
{};

TEST_P(AudioPathPerCodec, AudioCrossesBothWaysAndMatchesWhatWasSent)
{
    const auto* codec = findAudioCodec(GetParam());
    ASSERT_TRUE(codec);
    const unsigned rate = codec->sampleRate;
    const auto token = call(rate, 2.0);
    auto leg = networkLeg(alice, token);
    ASSERT_TRUE(leg);
    auto format = MediaFormatRegistry::global().find(GetParam());
    ASSERT_TRUE(format);
    ASSERT_TRUE(startMedia(*leg, *format));
    EXPECT_TRUE(alice.waitUntil([&] { return alice.openedStreams.size() >= 4; }));
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 2u);
    EXPECT_EQ(bob.pcss->mediaJoiner().activeJoins(), 2u);

    std::this_thread::sleep_for(2600ms);
    const auto aliceStats = leg->session()->statistics();
    ASSERT_TRUE(alice.clearCall(token, EndReason::LocalUser, true));
    ASSERT_TRUE(bob.waitUntil([&] { return !bob.cleared.empty(); }));
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 0u) << "patches stop with the call";
    EXPECT_TRUE(bob.waitUntil([&] { return bob.closedStreams.size() >= 4; }));
    EXPECT_EQ(bob.pcss->mediaJoiner().activeJoins(), 0u);
    EXPECT_EQ(aliceStats.transmit.mediaFormat, GetParam());
    EXPECT_GT(aliceStats.transmit.packets, 50u);
    EXPECT_GT(aliceStats.receive.packets, 50u);

    const auto atBob = recorded("bob-out.wav");
    const auto atAlice = recorded("alice-out.wav");
    ASSERT_GT(atBob.size(), rate * 3 / 2) << "at least 1.5 s arrived";
    ASSERT_GT(atAlice.size(), rate * 3 / 2);
    const auto toBob = align(aliceSignal, atBob, rate);
    const auto toAlice = align(bobSignal, atAlice, rate);
    EXPECT_GT(toBob.score, 0.9) << "alice to bob, offset " << toBob.offset;
    EXPECT_GT(toAlice.score, 0.9) << "bob to alice, offset " << toAlice.offset;

    const auto jitterMax = alice.audioJitterDelay().maxDelayMs;
    const uint64_t probe = rate; // one second in, inside the chirp
    auto delay = delayMs(timed(alice), "alice-in.wav", timed(bob), "bob-out.wav", toBob, probe);
    auto back = delayMs(timed(bob), "bob-in.wav", timed(alice), "alice-out.wav", toAlice, probe);
    ASSERT_TRUE(delay && back);
    std::cout << "[ measured ] " << GetParam() << " end-to-end delay alice->bob " << *delay
              << " ms, bob->alice " << *back << " ms (correlation " << toBob.score << ", "
              << toAlice.score << ")\n";
    EXPECT_GT(*delay, 0);
    EXPECT_LT(*delay, jitterMax + 60.0);
    EXPECT_LT(*back, jitterMax + 60.0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AudioPathPerCodec,
                         ::testing::Values(format::G711ALaw, format::G711uLaw, format::G722),
                         [](const auto& info) {
                             std::string name(info.param);
                             std::erase_if(name, [](char c) { return !std::isalnum(c); });
                             return name;
                         });

TEST_F(AudioPath, LossAndReorderingAreCountedAndAudioGoesOn)
{
    const auto token = call(8000, 3.0);
    auto leg = networkLeg(alice, token);
    ASSERT_TRUE(leg);
    auto format = MediaFormatRegistry::global().find(format::G711uLaw);
    ASSERT_TRUE(format);
    std::unique_ptr<LossyRelay> relay;
    MediaRoute route;
    // alice's RTP to bob goes through the relay: every 10th datagram lost, every 7th late.
    route.rtpPortFor = [&](const rtp::RtpSession& from, const rtp::RtpSession& to) -> uint16_t {
        if (&from != leg->session())
            return to.localRtpPort();
        relay = std::make_unique<LossyRelay>(to.localRtpPort(), 10, 7);
        return relay->port();
    };
    ASSERT_TRUE(startMedia(*leg, *format, route));
    ASSERT_TRUE(relay);
    std::this_thread::sleep_for(3300ms);

    auto bobLeg = networkLeg(bob);
    ASSERT_TRUE(bobLeg);
    const auto atBobStats = bobLeg->session()->statistics();
    {
        auto locked = alice.findCallWithLock(token);
        ASSERT_TRUE(locked) << "the call survives the loss";
        EXPECT_FALSE(locked->isClearing());
    }
    ASSERT_TRUE(alice.clearCall(token, EndReason::LocalUser, true));

    EXPECT_GT(relay->dropped.load(), 10u);
    EXPECT_GT(atBobStats.receive.packetsLost, 0u) << "the loss is counted";
    EXPECT_LE(atBobStats.receive.packetsLost, relay->dropped.load() + 2);
    EXPECT_GT(atBobStats.receive.packets, 100u);

    // Audio went on to the end: the last half second that arrived still carries the chirp,
    // and lost frames were filled so the recording keeps its length.
    const auto atBob = recorded("bob-out.wav");
    ASSERT_GT(atBob.size(), 8000u * 3);
    double energy = 0;
    for (size_t i = atBob.size() - 4000 - 800; i < atBob.size() - 800; ++i)
        energy += std::abs(atBob[i]);
    EXPECT_GT(energy / 4000, 500.0);
    const auto toBob = align(aliceSignal, atBob, 8000);
    EXPECT_GT(toBob.score, 0.6) << "the signal survives 10% loss";
}

TEST_F(AudioPath, StatisticsOfATenSecondCall)
{
    for (auto* manager : {&alice, &bob})
        ASSERT_TRUE(manager->pcss->setSoundDriver(kNullDriver));
    bob.answerNow();
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    auto leg = networkLeg(alice, *token);
    ASSERT_TRUE(leg);
    auto format = MediaFormatRegistry::global().find(format::G711ALaw);
    ASSERT_TRUE(format);
    // The joiner gives the receive side the manager's jitter delays.
    alice.setAudioJitterDelay(100, 300);
    ASSERT_TRUE(startMedia(*leg, *format));
    std::this_thread::sleep_for(10s);
    const auto stats = leg->session()->statistics();
    // A round trip needs a report of Bob's sent after he had Alice's first: reports come 2.5
    // to 7.5 s apart (the first after half that), so the one that measures may come up to
    // 11.25 s into the call.
    auto timing = stats;
    for (int wait = 0; wait < 50 && timing.roundTripMeasurements == 0; ++wait) {
        std::this_thread::sleep_for(100ms);
        timing = leg->session()->statistics();
    }
    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));

    // 20 ms packets of 160 bytes for ten seconds: 500 each way, give or take start-up.
    for (const auto* direction : {&stats.transmit, &stats.receive}) {
        EXPECT_GE(direction->packets, 440u);
        EXPECT_LE(direction->packets, 505u);
        EXPECT_EQ(direction->totalBytes, direction->packets * 160);
    }
    EXPECT_EQ(stats.receive.packetsLost, 0u);
    EXPECT_EQ(stats.drops.total(), 0u);
    EXPECT_GT(stats.rtcpSent, 0u);
    EXPECT_GT(stats.rtcpReceived, 0u);
    EXPECT_GT(timing.roundTripMeasurements, 0u);
    EXPECT_GT(timing.roundTripMs, 0.0);
    EXPECT_GE(stats.jitterBuffer.meanAddedDelayMs, 90.0);
    EXPECT_LE(stats.jitterBuffer.meanAddedDelayMs, 300.0);
    std::cout << "[ measured ] 10 s call: " << stats.transmit.packets << " packets sent, "
              << stats.receive.packets << " received, round trip " << stats.roundTripMs
              << " ms, jitter buffer mean added delay " << stats.jitterBuffer.meanAddedDelayMs
              << " ms\n";
}

/// A microphone that fails after `goodReads` reads, as a device unplugged mid-call.
class FailingChannel final : public SoundChannel
{
public:
    FailingChannel(std::shared_ptr<SoundChannel> inner, int goodReads)
        : inner_(std::move(inner))
        , left_(goodReads)
    {
        params_ = inner_->params();
    }
    MediaStatus open(const SoundParams& params) override { return inner_->open(params); }
    void close() override { inner_->close(); }
    bool isOpen() const override { return inner_->isOpen(); }
    MediaStatus read(std::span<int16_t> samples) override
    {
        if (left_-- <= 0)
            return MediaFailure{MediaError::DeviceFailure, "device unplugged"};
        return inner_->read(samples);
    }
    MediaStatus write(std::span<const int16_t> samples) override { return inner_->write(samples); }
    std::string name() const override { return inner_->name(); }
    std::string driverName() const override { return inner_->driverName(); }

private:
    std::shared_ptr<SoundChannel> inner_;
    std::atomic<int> left_;
};

class FailingMicrophoneEndpoint : public pcss::PcssEndPoint
{
public:
    using PcssEndPoint::PcssEndPoint;
    std::shared_ptr<SoundChannel> createSoundChannel(const pcss::PcssConnection& connection,
                                                     const MediaFormat& format,
                                                     const std::string& device,
                                                     bool isSource) override
    {
        auto channel = PcssEndPoint::createSoundChannel(connection, format, device, isSource);
        if (!channel || !isSource)
            return channel;
        return std::make_shared<FailingChannel>(channel, 25);
    }
};

TEST(AudioDeviceFailure, AFailedMicrophoneStopsOneDirectionAndTheCallGoesOn)
{
    RtpLinkNetwork network;
    AudioManager alice(network, "alice", [](Manager& manager) {
        return std::make_unique<FailingMicrophoneEndpoint>(manager);
    });
    AudioManager bob(network, "bob");
    for (auto* manager : {&alice, &bob})
        ASSERT_TRUE(manager->pcss->setSoundDriver(kNullDriver));
    bob.answerNow();
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    auto call = alice.findCall(*token);
    ASSERT_TRUE(call);
    auto leg = std::dynamic_pointer_cast<RtpLinkConnection>(call->networkConnection());
    auto local = std::dynamic_pointer_cast<pcss::PcssConnection>(call->localConnection());
    ASSERT_TRUE(leg && local);
    auto format = MediaFormatRegistry::global().find(format::G711ALaw);
    ASSERT_TRUE(format);
    ASSERT_TRUE(startMedia(*leg, *format));
    std::this_thread::sleep_for(1500ms);

    const auto stats = leg->session()->statistics();
    auto microphone = local->soundStream(true);
    ASSERT_TRUE(microphone);
    EXPECT_NE(microphone->lastError().find("device unplugged"), std::string::npos)
        << microphone->lastError();
    EXPECT_FALSE(call->isClearing()) << "the call goes on";
    // About half a second went out before the microphone failed; bob's audio still arrives.
    EXPECT_LE(stats.transmit.packets, 30u);
    EXPECT_GE(stats.transmit.packets, 20u);
    EXPECT_GT(stats.receive.packets, 55u);
    call.reset();
    microphone.reset();
    local.reset();
    leg.reset();
    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 0u);
}

TEST_F(AudioPath, MediaThroughApplicationCallbacksIsLeftToTheApplication)
{
    alice.pcss->setMediaThroughCallbacks(true);
    ASSERT_TRUE(bob.pcss->setSoundDriver(kNullDriver));
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    auto call = alice.findCall(*token);
    ASSERT_TRUE(call);
    auto leg = std::dynamic_pointer_cast<RtpLinkConnection>(call->networkConnection());
    ASSERT_TRUE(leg);
    auto format = MediaFormatRegistry::global().find(format::G711ALaw);
    ASSERT_TRUE(format);
    ASSERT_TRUE(startMedia(*leg, *format));
    const auto local = call->localConnection()->mediaStreams();
    ASSERT_EQ(local.size(), 2u) << "both directions opened for the application";
    for (const auto& stream : local) {
        EXPECT_TRUE(stream->isOpen());
        EXPECT_EQ(std::dynamic_pointer_cast<FrameStream>(stream), nullptr);
    }
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 0u) << "no patch: the application joins";
    EXPECT_EQ(bob.pcss->mediaJoiner().activeJoins(), 2u);
    call.reset();
    leg.reset();
    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
    for (const auto& stream : local)
        EXPECT_FALSE(stream->isOpen());
}

// The far end closes the channel it receives on: the microphone that fed it is closed with
// it, the loudspeaker goes on playing what still comes, and the call goes on.
TEST_F(AudioPath, AChannelClosedMidCallClosesItsDeviceAndTheOtherDirectionGoesOn)
{
    for (auto* manager : {&alice, &bob})
        ASSERT_TRUE(manager->pcss->setSoundDriver(kNullDriver));
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    auto leg = networkLeg(alice, *token);
    ASSERT_TRUE(leg);
    const auto g711 = *MediaFormatRegistry::global().find(format::G711ALaw);
    ASSERT_TRUE(startMedia(*leg, g711));
    auto local = std::dynamic_pointer_cast<pcss::PcssConnection>(leg->otherParty());
    ASSERT_TRUE(local);
    ASSERT_TRUE(
        alice.waitUntil([&] { return local->soundStream(true) && local->soundStream(false); }));
    const auto microphone = local->soundStream(true);

    ASSERT_TRUE(leg->closeMediaStream(leg->findMediaStream(AudioSessionId, false)));
    EXPECT_TRUE(alice.waitUntil([&] { return !microphone->isOpen() && !local->soundStream(true); }))
        << "the microphone is closed and let go";
    EXPECT_EQ(alice.pcss->mediaJoiner().activeJoins(), 1u);
    const auto heard = leg->session()->statistics().receive.packets;
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(leg->session()->statistics().receive.packets, heard + 5) << "bob still heard";
    EXPECT_TRUE(local->soundStream(false) && local->soundStream(false)->isOpen());
    EXPECT_FALSE(alice.findCall(*token)->isClearing());

    // Opened again (as after a new capability set), it sends from a new microphone.
    ASSERT_TRUE(leg->openMediaStream(g711, AudioSessionId, false));
    const auto sent = leg->session()->statistics().transmit.packets;
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(leg->session()->statistics().transmit.packets, sent + 5);
    EXPECT_NE(local->soundStream(true), microphone);
    local.reset();
    leg.reset();
    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
}

TEST_F(AudioPath, SilenceDetectionOfTheManagerHoldsBackQuietAudio)
{
    for (auto* manager : {&alice, &bob})
        ASSERT_TRUE(manager->pcss->setSoundDriver(kNullDriver));
    SilenceDetectParameters silence;
    silence.mode = SilenceDetectMode::Fixed;
    silence.threshold = 100;
    silence.silenceDeadband = 5; // frames: 100 ms
    alice.setSilenceDetectParameters(silence);
    auto token = alice.setUpCall("pc:*", "bob");
    ASSERT_TRUE(token);
    ASSERT_TRUE(alice.waitUntil([&] { return !alice.established.empty(); }));
    auto leg = networkLeg(alice, *token);
    ASSERT_TRUE(leg);
    auto format = MediaFormatRegistry::global().find(format::G711uLaw);
    ASSERT_TRUE(format);
    ASSERT_TRUE(startMedia(*leg, *format));
    std::this_thread::sleep_for(1s);
    const auto stats = leg->session()->statistics();
    // A round trip needs a report of Bob's sent after he had Alice's first: reports come 2.5
    // to 7.5 s apart (the first after half that), so the one that measures may come up to
    // 11.25 s into the call.
    auto timing = stats;
    for (int wait = 0; wait < 50 && timing.roundTripMeasurements == 0; ++wait) {
        std::this_thread::sleep_for(100ms);
        timing = leg->session()->statistics();
    }
    ASSERT_TRUE(alice.clearCall(*token, EndReason::LocalUser, true));
    // The Null microphone is silent: only the deadband's frames go out from alice, while
    // bob (no silence detection) sends all of his.
    EXPECT_GT(stats.transmit.packets, 0u);
    EXPECT_LE(stats.transmit.packets, 8u);
    EXPECT_GT(stats.receive.packets, 35u);
}

} // namespace
} // namespace voip::test
