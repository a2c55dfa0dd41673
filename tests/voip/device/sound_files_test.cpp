// Null and WAVFile drivers, WAV parsing, the driver registry and the device tests.
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "voip/device/sound_null.h"
#include "voip/device/soundchannel.h"
#include "voip/device/soundtest.h"
#include "voip/device/wavfile.h"

namespace voip {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class TempDir
{
public:
    TempDir()
    {
        path_ = fs::temp_directory_path() /
                ("kx-device-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

std::vector<int16_t> tone(unsigned rate, double hz, double seconds, double amplitude = 12000)
{
    std::vector<int16_t> out(size_t(rate * seconds));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
    return out;
}

std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

SoundParams wavParams(const std::string& path, SoundDirection direction, unsigned rate = 8000)
{
    SoundParams params;
    params.driver = kWavFileDriver;
    params.device = path;
    params.direction = direction;
    params.sampleRate = rate;
    return params;
}

TEST(WavFile, WriteThenReadGivesTheSameSamplesAndACorrectHeader)
{
    TempDir dir;
    const auto path = dir.file("a.wav");
    WavAudio audio{1, 16000, tone(16000, 440, 0.25)};
    ASSERT_TRUE(writeWavFile(path, audio));

    const auto bytes = fileBytes(path);
    ASSERT_EQ(bytes.size(), 44 + audio.samples.size() * 2);
    EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);          // RIFF size
    EXPECT_EQ(le32(bytes, 24), 16000u);                   // sample rate
    EXPECT_EQ(le32(bytes, 40), audio.samples.size() * 2); // data size

    auto back = readWavFile(path);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(back.value().channels, 1u);
    EXPECT_EQ(back.value().sampleRate, 16000u);
    EXPECT_EQ(back.value().samples, audio.samples);
}

TEST(WavFile, BadHeadersAreClearErrors)
{
    WavAudio audio{1, 8000, tone(8000, 300, 0.01)};
    TempDir dir;
    ASSERT_TRUE(writeWavFile(dir.file("good.wav"), audio));
    const auto good = fileBytes(dir.file("good.wav"));

    struct Case
    {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        MediaError error;
    };
    const std::vector<Case> cases = {
        {"truncated", [](auto& b) { b.resize(10); }, MediaError::BadData},
        {"not RIFF", [](auto& b) { b[0] = 'X'; }, MediaError::BadData},
        {"not PCM", [](auto& b) { b[20] = 3; }, MediaError::Unsupported},
        {"24 bits", [](auto& b) { b[34] = 24; }, MediaError::Unsupported},
        {"no channels", [](auto& b) { b[22] = 0; }, MediaError::BadData},
        {"rate zero", [](auto& b) { b[24] = b[25] = b[26] = b[27] = 0; }, MediaError::BadData},
        {"huge fmt chunk", [](auto& b) { b[16] = b[17] = b[18] = 0xFF; }, MediaError::BadData},
        {"no data chunk", [](auto& b) { b.resize(36); }, MediaError::BadData},
        {"huge unknown chunk",
         [](auto& b) {
             b[36] = 'L', b[37] = 'I', b[38] = 'S', b[39] = 'T';
             b[40] = b[41] = b[42] = 0xFF;
         },
         MediaError::BadData},
    };
    for (const auto& c : cases) {
        auto bytes = good;
        c.damage(bytes);
        auto parsed = parseWav(bytes);
        ASSERT_FALSE(parsed) << c.what;
        EXPECT_EQ(parsed.error().kind, c.error) << c.what;
        EXPECT_FALSE(parsed.error().message.empty());
    }
    // A data size of 0 (left by a streaming writer) takes the rest of the file.
    auto streamed = good;
    streamed[40] = streamed[41] = streamed[42] = streamed[43] = 0;
    auto parsed = parseWav(streamed);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed.value().samples, audio.samples);
}

TEST(WavFile, DamagedFilesNeverReadOutOfBounds)
{
    // Many random damages of a file with an extra chunk: every parse either fails with a
    // message or yields whole sample frames, no more samples than the file has bytes.
    WavAudio audio{2, 16000, tone(16000, 300, 0.02)};
    TempDir dir;
    ASSERT_TRUE(writeWavFile(dir.file("good.wav"), audio));
    auto good = fileBytes(dir.file("good.wav"));
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
    good.insert(good.begin() + 36, list.begin(), list.end());
    good[4] = uint8_t(good.size() - 8);
    good[5] = uint8_t((good.size() - 8) >> 8);
    ASSERT_TRUE(parseWav(good));

    std::mt19937 random(11);
    size_t failures = 0;
    for (int round = 0; round < 20000; ++round) {
        auto bytes = good;
        const int damages = 1 + int(random() % 4);
        for (int d = 0; d < damages; ++d)
            bytes[random() % 60] = uint8_t(random());
        if (random() % 8 == 0)
            bytes.resize(random() % bytes.size());
        auto parsed = parseWav(bytes);
        if (!parsed) {
            ++failures;
            EXPECT_FALSE(parsed.error().message.empty());
            continue;
        }
        const auto& a = parsed.value();
        EXPECT_LE(a.samples.size(), bytes.size());
        EXPECT_EQ(a.samples.size() % a.channels, 0u);
    }
    EXPECT_GT(failures, 0u);
}

TEST(WavFile, ConvertsChannelsAndRate)
{
    WavAudio stereo{2, 8000, {}};
    for (int i = 0; i < 800; ++i) {
        stereo.samples.push_back(int16_t(1000));
        stereo.samples.push_back(int16_t(3000));
    }
    const auto mono16k = convertAudio(stereo, 1, 16000);
    ASSERT_EQ(mono16k.size(), 1600u);
    for (const auto s : mono16k)
        EXPECT_EQ(s, 2000);
    const auto back = convertAudio(WavAudio{1, 16000, mono16k}, 2, 8000);
    ASSERT_EQ(back.size(), 1600u);
    EXPECT_EQ(back[0], 2000);
    EXPECT_EQ(back[1], 2000);
}

TEST(WavFileDriver, RecorderPlaysTheFileInRealTimeAndEndsOrLoops)
{
    TempDir dir;
    const auto path = dir.file("mic.wav");
    WavAudio audio{1, 8000, tone(8000, 500, 0.2)};
    ASSERT_TRUE(writeWavFile(path, audio));

    auto channel = createOpenedSoundChannel(wavParams(path, SoundDirection::Recorder));
    ASSERT_TRUE(channel) << channel.error().message;
    std::vector<int16_t> got(1600);
    const auto start = Clock::now();
    ASSERT_TRUE(channel.value()->read(got));
    // Paced: 200 ms of audio is not handed out before 200 ms have passed.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(got, audio.samples);
    std::vector<int16_t> more(160);
    auto end = channel.value()->read(more);
    EXPECT_EQ(end.error().kind, MediaError::EndOfStream);

    auto params = wavParams(path, SoundDirection::Recorder);
    params.loop = true;
    auto looping = createOpenedSoundChannel(params);
    ASSERT_TRUE(looping);
    std::vector<int16_t> twice(3200);
    ASSERT_TRUE(looping.value()->read(twice));
    EXPECT_TRUE(std::equal(audio.samples.begin(), audio.samples.end(), twice.begin() + 1600));
}

TEST(WavFileDriver, RecorderResamplesToTheChannelRate)
{
    TempDir dir;
    const auto path = dir.file("mic8k.wav");
    ASSERT_TRUE(writeWavFile(path, WavAudio{1, 8000, tone(8000, 400, 0.1)}));
    auto channel = createOpenedSoundChannel(wavParams(path, SoundDirection::Recorder, 16000));
    ASSERT_TRUE(channel);
    std::vector<int16_t> got(1600);
    ASSERT_TRUE(channel.value()->read(got));
    // 400 Hz at 16 kHz: 40 samples per period, so samples 40 apart are nearly equal.
    for (size_t i = 100; i + 40 < got.size() - 10; i += 37)
        EXPECT_NEAR(got[i], got[i + 40], 400) << i;
}

TEST(WavFileDriver, PlayerWritesAFileWhoseHeaderIsUpdatedOnClose)
{
    TempDir dir;
    const auto path = dir.file("speaker.wav");
    auto channel = createOpenedSoundChannel(wavParams(path, SoundDirection::Player));
    ASSERT_TRUE(channel);
    const auto samples = tone(8000, 700, 0.3);
    for (size_t i = 0; i < samples.size(); i += 160)
        ASSERT_TRUE(channel.value()->write(std::span(samples).subspan(i, 160)));
    channel.value()->close();
    EXPECT_FALSE(channel.value()->isOpen());
    auto back = readWavFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value().samples, samples);
    EXPECT_EQ(le32(fileBytes(path), 40), samples.size() * 2);
}

TEST(WavFileDriver, MissingOrBadFileFailsToOpen)
{
    TempDir dir;
    auto missing =
        createOpenedSoundChannel(wavParams(dir.file("none.wav"), SoundDirection::Recorder));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, MediaError::NotFound);

    writeBytes(dir.file("junk.wav"), {'J', 'U', 'N', 'K', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 1, 2});
    auto junk = createOpenedSoundChannel(wavParams(dir.file("junk.wav"), SoundDirection::Recorder));
    ASSERT_FALSE(junk);
    EXPECT_EQ(junk.error().kind, MediaError::BadData);
    EXPECT_NE(junk.error().message.find("junk.wav"), std::string::npos);

    auto noDir =
        createOpenedSoundChannel(wavParams("/nonexistent/dir/x.wav", SoundDirection::Player));
    EXPECT_FALSE(noDir);
}

TEST(NullDriver, ReadsSilenceAndKeepsVolumeAndMute)
{
    SoundParams params;
    params.driver = kNullDriver;
    params.device = kNullSoundDevice;
    auto channel = createOpenedSoundChannel(params);
    ASSERT_TRUE(channel) << channel.error().message;
    std::vector<int16_t> got(160, 99);
    ASSERT_TRUE(channel.value()->read(got));
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](int16_t s) { return s == 0; }));
    EXPECT_FALSE(channel.value()->write(got)) << "a recorder refuses writes";

    ASSERT_TRUE(channel.value()->setVolume(37));
    EXPECT_EQ(channel.value()->volume().value(), 37u);
    EXPECT_FALSE(channel.value()->setVolume(101));
    ASSERT_TRUE(channel.value()->setMute(true));
    EXPECT_TRUE(channel.value()->mute().value());
    EXPECT_EQ(channel.value()->name(), kNullSoundDevice);

    params.device = "Some Card";
    EXPECT_EQ(createOpenedSoundChannel(params).error().kind, MediaError::NotFound);
}

TEST(NullDriver, PlayerIsPacedBehindItsBuffers)
{
    SoundParams params;
    params.driver = kNullDriver;
    params.direction = SoundDirection::Player;
    params.bufferSize = 320;
    params.bufferCount = 2;
    auto channel = createOpenedSoundChannel(params);
    ASSERT_TRUE(channel);
    std::vector<int16_t> frame(160);
    const auto start = Clock::now();
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(channel.value()->write(frame));
    // 240 ms written, 40 ms of it may still sit in the buffers.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
}

TEST(NullDriver, CloseFromAnotherThreadWakesABlockedRead)
{
    SoundParams params;
    params.driver = kNullDriver;
    auto channel = createOpenedSoundChannel(params);
    ASSERT_TRUE(channel);
    std::vector<int16_t> tenSeconds(80000);
    std::atomic<bool> returned = false;
    MediaStatus status;
    std::thread reader([&] {
        status = channel.value()->read(tenSeconds);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    channel.value()->close();
    reader.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(status.error().kind, MediaError::Closed);
}

TEST(SoundRegistry, DriversParametersAndNames)
{
    const auto drivers = soundDriverNames();
    EXPECT_EQ(drivers.front(), kPulseAudioDriver);
    EXPECT_NE(std::find(drivers.begin(), drivers.end(), kNullDriver), drivers.end());
    EXPECT_EQ(createSoundChannel("DirectX").error().kind, MediaError::NotFound);
    EXPECT_FALSE(listSoundDevices("DirectX", SoundDirection::Player));
    EXPECT_EQ(soundDeviceNames(kNullDriver, SoundDirection::Recorder),
              std::vector<std::string>{kNullSoundDevice});

    SoundParams params;
    params.driver = kNullDriver;
    params.bitsPerSample = 8;
    EXPECT_EQ(createOpenedSoundChannel(params).error().kind, MediaError::Unsupported);
    params.bitsPerSample = 16;
    params.sampleRate = 0;
    EXPECT_EQ(createOpenedSoundChannel(params).error().kind, MediaError::InvalidArgument);
    params.sampleRate = 8000;
    params.bufferCount = 0;
    EXPECT_FALSE(createOpenedSoundChannel(params));

    EXPECT_EQ(simplifyWhiteSpace("  Built-in \t Audio\n  Analog  "), "Built-in Audio Analog");
    EXPECT_EQ(simplifyWhiteSpace(" \t"), "");
}

TEST(DeviceTests, RecorderTestRecordsThenPlaysBack)
{
    TempDir dir;
    const auto mic = dir.file("mic.wav");
    const auto speaker = dir.file("speaker.wav");
    const auto input = tone(8000, 600, 0.5, 16384);
    ASSERT_TRUE(writeWavFile(mic, WavAudio{1, 8000, input}));

    std::vector<std::pair<std::string, double>> progress;
    DeviceTestControl control;
    control.progress = [&](const std::string& phase, double f) { progress.emplace_back(phase, f); };
    auto report = runRecorderTest(wavParams(mic, SoundDirection::Recorder),
                                  wavParams(speaker, SoundDirection::Player),
                                  std::chrono::milliseconds(400), control);
    ASSERT_TRUE(report) << report.error().message;
    EXPECT_DOUBLE_EQ(report.value().recordedSeconds, 0.4);
    EXPECT_DOUBLE_EQ(report.value().playedSeconds, 0.4);
    EXPECT_EQ(report.value().peakPercent, 50u);
    EXPECT_FALSE(report.value().text.empty());

    auto played = readWavFile(speaker);
    ASSERT_TRUE(played);
    ASSERT_EQ(played.value().samples.size(), 3200u);
    EXPECT_TRUE(
        std::equal(played.value().samples.begin(), played.value().samples.end(), input.begin()));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().first, "recording");
    EXPECT_EQ(progress.back(), std::make_pair(std::string("playing"), 1.0));
}

TEST(DeviceTests, RecorderTestStopsEarlyAndReportsAMissingDevice)
{
    TempDir dir;
    SoundParams null;
    null.driver = kNullDriver;
    std::stop_source stop;
    DeviceTestControl control;
    control.stop = stop.get_token();
    control.progress = [&](const std::string&, double f) {
        if (f > 0.1)
            stop.request_stop();
    };
    const auto start = Clock::now();
    auto report = runRecorderTest(null, null, std::chrono::seconds(20), control);
    ASSERT_TRUE(report);
    EXPECT_TRUE(report.value().stopped);
    EXPECT_LT(report.value().recordedSeconds, 20.0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));

    auto missing = runRecorderTest(wavParams(dir.file("none.wav"), SoundDirection::Recorder), null,
                                   std::chrono::seconds(1));
    EXPECT_EQ(missing.error().kind, MediaError::NotFound);
}

TEST(DeviceTests, PlayerTestPlaysTheBuiltInChime)
{
    TempDir dir;
    const auto speaker = dir.file("chime.wav");
    auto report = runPlayerTest(wavParams(speaker, SoundDirection::Player, 16000));
    ASSERT_TRUE(report) << report.error().message;
    EXPECT_DOUBLE_EQ(report.value().playedSeconds, 2.0);
    auto played = readWavFile(speaker);
    ASSERT_TRUE(played);
    EXPECT_EQ(played.value().samples, makeTestChime(16000));

    // The chime is audible: loud in its notes, silent at its end.
    const auto chime = makeTestChime(8000);
    int peak = 0;
    for (size_t i = 0; i < 4000; ++i)
        peak = std::max(peak, std::abs(int(chime[i])));
    EXPECT_GT(peak, 8000);
    EXPECT_EQ(chime.back(), 0);

    EXPECT_FALSE(runPlayerTest(wavParams(speaker, SoundDirection::Player), dir.file("x.wav")));
}

} // namespace
} // namespace voip
