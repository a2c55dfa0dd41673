#include "voip/device/soundtest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "voip/device/wavfile.h"

namespace voip {

namespace {

/// Writes samples to an open player in the channel's buffer size, with progress.
MediaStatus playAll(SoundChannel& player, const std::vector<int16_t>& samples,
                    const DeviceTestControl& control, DeviceTestReport& report)
{
    const auto& params = player.params();
    const size_t chunk = std::max<size_t>(params.channels, params.bufferSize / 2);
    size_t done = 0;
    while (done < samples.size()) {
        if (control.stop.stop_requested()) {
            report.stopped = true;
            break;
        }
        const size_t n = std::min(chunk, samples.size() - done);
        if (auto status = player.write(std::span(samples).subspan(done, n)); !status)
            return status;
        done += n;
        if (control.progress)
            control.progress("playing", double(done) / double(samples.size()));
    }
    report.playedSeconds = double(done) / params.channels / params.sampleRate;
    return MediaStatus();
}

} // namespace

std::vector<int16_t> makeTestChime(unsigned sampleRate, unsigned channels)
{
    const double notes[] = {1046.5, 1318.5, 1568.0};
    const size_t noteLength = sampleRate / 2;
    std::vector<int16_t> out(noteLength * 4 * channels, 0);
    for (size_t n = 0; n < 3; ++n) {
        for (size_t i = 0; i < noteLength; ++i) {
            const double t = double(i) / sampleRate;
            // A short attack avoids a click; the tail decays like a struck bell.
            const double envelope = std::min(1.0, t / 0.005) * std::exp(-t * 6.0);
            const double value = 0.5 * envelope *
                                 (std::sin(2 * std::numbers::pi * notes[n] * t) +
                                  0.3 * std::sin(2 * std::numbers::pi * 2 * notes[n] * t));
            const auto sample = int16_t(std::lround(value * 32767 / 1.3));
            for (unsigned c = 0; c < channels; ++c)
                out[((n * noteLength) + i) * channels + c] = sample;
        }
    }
    return out;
}

MediaResult<DeviceTestReport> runRecorderTest(const SoundParams& recorderParams,
                                              const SoundParams& playerParams,
                                              std::chrono::milliseconds duration,
                                              const DeviceTestControl& control)
{
    SoundParams recorderWanted = recorderParams;
    recorderWanted.direction = SoundDirection::Recorder;
    SoundParams playerWanted = playerParams;
    playerWanted.direction = SoundDirection::Player;
    if (duration.count() <= 0 || duration > std::chrono::minutes(10))
        return MediaFailure{MediaError::InvalidArgument, "recorder test duration"};

    DeviceTestReport report;
    std::vector<int16_t> recording;
    {
        auto recorder = createOpenedSoundChannel(recorderWanted);
        if (!recorder)
            return recorder.error();
        auto& channel = *recorder.value();
        const auto& params = channel.params();
        const size_t total =
            size_t(uint64_t(params.sampleRate) * duration.count() / 1000) * params.channels;
        const size_t chunk = std::max<size_t>(params.channels, params.bufferSize / 2);
        recording.resize(total);
        size_t done = 0;
        while (done < total) {
            if (control.stop.stop_requested()) {
                report.stopped = true;
                break;
            }
            const size_t n = std::min(chunk, total - done);
            if (auto status = channel.read(std::span(recording).subspan(done, n)); !status)
                return status.error();
            done += n;
            if (control.progress)
                control.progress("recording", double(done) / double(total));
        }
        recording.resize(done);
        report.recordedSeconds = double(done) / params.channels / params.sampleRate;
        // The recording is played at the recorder's rate and channel count.
        playerWanted.sampleRate = params.sampleRate;
        playerWanted.channels = params.channels;
    }

    int peak = 0;
    double energy = 0;
    for (const auto sample : recording) {
        peak = std::max(peak, std::abs(int(sample)));
        energy += double(sample) * sample;
    }
    report.peakPercent = unsigned(peak * 100 / 32768);
    report.rmsLevel = recording.empty() ? 0 : std::sqrt(energy / double(recording.size()));

    if (!report.stopped) {
        auto player = createOpenedSoundChannel(playerWanted);
        if (!player)
            return player.error();
        if (auto status = playAll(*player.value(), recording, control, report); !status)
            return status.error();
        player.value()->close();
    }
    char text[128];
    std::snprintf(text, sizeof text, "Recorded %.1f s (peak %u %%), played %.1f s%s",
                  report.recordedSeconds, report.peakPercent, report.playedSeconds,
                  report.stopped ? ", stopped" : "");
    report.text = text;
    return report;
}

MediaResult<DeviceTestReport> runPlayerTest(const SoundParams& playerParams,
                                            const std::string& soundFile,
                                            const DeviceTestControl& control)
{
    SoundParams wanted = playerParams;
    wanted.direction = SoundDirection::Player;
    if (auto status = validateSoundParams(wanted); !status)
        return status.error();
    std::vector<int16_t> sound;
    if (soundFile.empty()) {
        sound = makeTestChime(wanted.sampleRate, wanted.channels);
    } else {
        auto audio = readWavFile(soundFile);
        if (!audio)
            return audio.error();
        sound = convertAudio(audio.value(), wanted.channels, wanted.sampleRate);
    }
    auto player = createOpenedSoundChannel(wanted);
    if (!player)
        return player.error();
    DeviceTestReport report;
    if (auto status = playAll(*player.value(), sound, control, report); !status)
        return status.error();
    player.value()->close();
    char text[96];
    std::snprintf(text, sizeof text, "Played %.1f s%s", report.playedSeconds,
                  report.stopped ? ", stopped" : "");
    report.text = text;
    return report;
}

} // namespace voip
