#include "voip/device/wavfile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace voip {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
/// A RIFF file cannot describe more than 4 GiB; the data size field says so.
constexpr uint64_t kMaxRiffData = 0xFFFFFFFFu - 36;

uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

MediaFailure bad(std::string message)
{
    return MediaFailure{MediaError::BadData, "bad WAV file: " + message};
}

std::vector<uint8_t> header(unsigned channels, unsigned sampleRate, uint64_t dataBytes)
{
    std::vector<uint8_t> h(44);
    const uint32_t data = uint32_t(std::min(dataBytes, kMaxRiffData));
    std::memcpy(&h[0], "RIFF", 4);
    put32(&h[4], 36 + data);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    put32(&h[16], 16);
    put16(&h[20], kFormatPcm);
    put16(&h[22], uint16_t(channels));
    put32(&h[24], sampleRate);
    put32(&h[28], sampleRate * channels * 2);
    put16(&h[32], uint16_t(channels * 2));
    put16(&h[34], 16);
    std::memcpy(&h[36], "data", 4);
    put32(&h[40], data);
    return h;
}

} // namespace

MediaResult<WavAudio> parseWav(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 12)
        return bad("shorter than a RIFF header");
    if (std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return bad("not a RIFF/WAVE file");

    bool haveFormat = false;
    unsigned channels = 0, sampleRate = 0, bits = 0, blockAlign = 0;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint8_t* chunk = bytes.data() + pos;
        uint64_t size = le32(chunk + 4);
        const size_t body = pos + 8;
        const size_t available = bytes.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > available)
                return bad("format chunk of " + std::to_string(size) + " bytes");
            uint16_t tag = le16(chunk + 8);
            channels = le16(chunk + 10);
            sampleRate = le32(chunk + 12);
            blockAlign = le16(chunk + 20);
            bits = le16(chunk + 22);
            if (tag == kFormatExtensible && size >= 40)
                tag = le16(chunk + 8 + 24); // first two bytes of the sub-format GUID
            if (tag != kFormatPcm)
                return MediaFailure{MediaError::Unsupported,
                                    "WAV format tag " + std::to_string(tag) + " is not PCM"};
            if (bits != 16 && bits != 8)
                return MediaFailure{MediaError::Unsupported, "WAV sample size of " +
                                                                 std::to_string(bits) +
                                                                 " bits (16 or 8 supported)"};
            if (channels < 1 || channels > 8)
                return bad(std::to_string(channels) + " channels");
            if (sampleRate < 1000 || sampleRate > 192000)
                return bad("sample rate " + std::to_string(sampleRate));
            if (blockAlign != channels * bits / 8)
                return bad("block alignment " + std::to_string(blockAlign));
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return bad("data chunk before the format chunk");
            // Writers that stream often leave the size at 0 or 0xFFFFFFFF: take the rest.
            if (size == 0 || size > available)
                size = available;
            size -= size % blockAlign;
            WavAudio audio;
            audio.channels = channels;
            audio.sampleRate = sampleRate;
            const uint8_t* data = chunk + 8;
            const size_t count = size / (bits / 8);
            audio.samples.resize(count);
            for (size_t i = 0; i < count; ++i) {
                audio.samples[i] =
                    bits == 16 ? int16_t(le16(data + 2 * i)) : int16_t((int(data[i]) - 128) << 8);
            }
            return audio;
        }
        if (size > available)
            return bad("chunk size beyond the end of the file");
        pos = body + size + (size & 1);
    }
    return bad(haveFormat ? "no data chunk" : "no format chunk");
}

MediaResult<WavAudio> readWavFile(const std::string& path, uint64_t maxBytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return MediaFailure{MediaError::NotFound, "cannot open WAV file " + path};
    in.seekg(0, std::ios::end);
    const auto size = uint64_t(in.tellg());
    if (size > maxBytes + 4096)
        return MediaFailure{MediaError::Unsupported, "WAV file " + path + " is larger than " +
                                                         std::to_string(maxBytes) + " bytes"};
    in.seekg(0);
    std::vector<uint8_t> bytes(size);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
    if (!in)
        return MediaFailure{MediaError::DeviceFailure, "cannot read WAV file " + path};
    auto audio = parseWav(bytes);
    if (!audio)
        return MediaFailure{audio.error().kind, audio.error().message + " (" + path + ")"};
    return audio;
}

MediaStatus writeWavFile(const std::string& path, const WavAudio& audio)
{
    WavWriter writer;
    if (auto status = writer.open(path, audio.channels, audio.sampleRate); !status)
        return status;
    if (auto status = writer.write(audio.samples); !status)
        return status;
    return writer.close();
}

std::vector<int16_t> convertAudio(const WavAudio& audio, unsigned channels, unsigned sampleRate)
{
    const unsigned inChannels = std::max(1u, audio.channels);
    const size_t frames = audio.samples.size() / inChannels;
    // Channel mapping first, then the rate.
    std::vector<std::vector<int16_t>> planes(channels, std::vector<int16_t>(frames));
    for (size_t f = 0; f < frames; ++f) {
        const int16_t* in = &audio.samples[f * inChannels];
        if (channels == inChannels) {
            for (unsigned c = 0; c < channels; ++c)
                planes[c][f] = in[c];
        } else if (channels == 1) {
            int32_t sum = 0;
            for (unsigned c = 0; c < inChannels; ++c)
                sum += in[c];
            planes[0][f] = int16_t(sum / int32_t(inChannels));
        } else {
            for (unsigned c = 0; c < channels; ++c)
                planes[c][f] = in[std::min(c, inChannels - 1)];
        }
    }
    size_t outFrames = frames;
    if (sampleRate != audio.sampleRate && frames > 0)
        outFrames = size_t(uint64_t(frames) * sampleRate / audio.sampleRate);
    std::vector<int16_t> out(outFrames * channels);
    const double step = double(audio.sampleRate) / sampleRate;
    for (size_t f = 0; f < outFrames; ++f) {
        const double at = sampleRate == audio.sampleRate ? double(f) : f * step;
        const size_t i = size_t(at);
        const double frac = at - double(i);
        for (unsigned c = 0; c < channels; ++c) {
            const auto& plane = planes[c];
            const double a = plane[std::min(i, frames - 1)];
            const double b = plane[std::min(i + 1, frames - 1)];
            out[f * channels + c] = int16_t(std::lround(a + (b - a) * frac));
        }
    }
    return out;
}

WavWriter::~WavWriter()
{
    close();
}

MediaStatus WavWriter::open(const std::string& path, unsigned channels, unsigned sampleRate)
{
    close();
    if (channels < 1 || channels > 8 || sampleRate < 1000 || sampleRate > 192000)
        return MediaFailure{MediaError::InvalidArgument, "bad WAV output format"};
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        return MediaFailure{MediaError::NotFound, "cannot create WAV file " + path};
    channels_ = channels;
    sampleRate_ = sampleRate;
    dataBytes_ = 0;
    bytesSinceHeader_ = 0;
    const auto h = header(channels_, sampleRate_, 0);
    if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) {
        std::fclose(file_);
        file_ = nullptr;
        return MediaFailure{MediaError::DeviceFailure, "cannot write WAV file " + path};
    }
    return MediaStatus();
}

MediaStatus WavWriter::write(std::span<const int16_t> samples)
{
    if (!file_)
        return MediaFailure{MediaError::NotOpen, "WAV file is not open"};
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        put16(&bytes[2 * i], uint16_t(samples[i]));
    if (dataBytes_ + bytes.size() > kMaxRiffData)
        return MediaFailure{MediaError::DeviceFailure, "WAV file is full (4 GiB)"};
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        return MediaFailure{MediaError::DeviceFailure, "cannot write WAV file"};
    dataBytes_ += bytes.size();
    bytesSinceHeader_ += bytes.size();
    if (bytesSinceHeader_ >= uint64_t(sampleRate_) * channels_ * 2)
        return updateHeader();
    return MediaStatus();
}

MediaStatus WavWriter::updateHeader()
{
    bytesSinceHeader_ = 0;
    const auto h = header(channels_, sampleRate_, dataBytes_);
    const long end = std::ftell(file_);
    bool ok = std::fseek(file_, 0, SEEK_SET) == 0 &&
              std::fwrite(h.data(), 1, h.size(), file_) == h.size() &&
              std::fseek(file_, end, SEEK_SET) == 0 && std::fflush(file_) == 0;
    if (!ok)
        return MediaFailure{MediaError::DeviceFailure, "cannot update the WAV header"};
    return MediaStatus();
}

MediaStatus WavWriter::close()
{
    if (!file_)
        return MediaStatus();
    auto status = updateHeader();
    if (std::fclose(file_) != 0 && status)
        status = MediaFailure{MediaError::DeviceFailure, "cannot close the WAV file"};
    file_ = nullptr;
    return status;
}

} // namespace voip
