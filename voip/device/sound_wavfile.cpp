#include "voip/device/sound_wavfile.h"

#include <algorithm>

#include "voip/device/medialog.h"

namespace voip {

WavFileSoundChannel::~WavFileSoundChannel()
{
    closeFromDestructor();
}

std::string WavFileSoundChannel::name() const
{
    return path_;
}

MediaStatus WavFileSoundChannel::openDevice(const SoundParams& params)
{
    if (params.device.empty())
        return MediaFailure{MediaError::InvalidArgument, "WAVFile device needs a path"};
    path_ = params.device;
    readPos_ = 0;
    loop_ = params.loop;
    if (params.direction == SoundDirection::Recorder) {
        auto audio = readWavFile(params.device);
        if (!audio)
            return audio.error();
        source_ = convertAudio(audio.value(), params.channels, params.sampleRate);
        if (source_.empty())
            return MediaFailure{MediaError::BadData,
                                "WAV file " + params.device + " holds no samples"};
        return MediaStatus();
    }
    return writer_.open(params.device, params.channels, params.sampleRate);
}

void WavFileSoundChannel::closeDevice()
{
    source_.clear();
    if (auto status = writer_.close(); !status)
        logMediaError("WAVFile " + path_ + ": " + status.error().message);
}

MediaStatus WavFileSoundChannel::readSamples(std::span<int16_t> samples)
{
    size_t done = 0;
    while (done < samples.size()) {
        if (readPos_ >= source_.size()) {
            if (!loop_) {
                if (done == 0)
                    return MediaFailure{MediaError::EndOfStream, "end of WAV file " + path_};
                // The last partial buffer is padded with silence; the next read ends.
                std::fill(samples.begin() + long(done), samples.end(), int16_t(0));
                return MediaStatus();
            }
            readPos_ = 0;
        }
        const size_t n = std::min(samples.size() - done, source_.size() - readPos_);
        std::copy_n(source_.begin() + long(readPos_), n, samples.begin() + long(done));
        readPos_ += n;
        done += n;
    }
    return MediaStatus();
}

MediaStatus WavFileSoundChannel::writeSamples(std::span<const int16_t> samples)
{
    return writer_.write(samples);
}

} // namespace voip
