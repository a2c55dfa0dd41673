// Audio codecs: round trips, packet durations peers send, bad input.
#include <random>

#include <gtest/gtest.h>

#include "audiosignals.h"
#include "voip/media/codec.h"
#include "voip/media/mediaformatregistry.h"

namespace voip {
namespace {

struct CodecCase
{
    const char* format;
    int payloadType;
    unsigned sampleRate;
    double minSnr;
};

class AudioCodecs : public ::testing::TestWithParam<CodecCase>
{};

std::vector<int16_t> encodeDecode(const char* format, const std::vector<int16_t>& input,
                                  std::vector<uint8_t>* stream = nullptr)
{
    auto encoder = AudioEncoder::create(format);
    auto decoder = AudioDecoder::create(format);
    EXPECT_TRUE(encoder && decoder);
    std::vector<int16_t> output;
    std::vector<uint8_t> payload;
    const size_t n = encoder.value()->frameSamples();
    for (size_t i = 0; i + n <= input.size(); i += n) {
        EXPECT_TRUE(encoder.value()->encode(std::span(input).subspan(i, n), payload));
        EXPECT_EQ(payload.size(), 160u) << "20 ms at 64 kbit/s";
        if (stream)
            stream->insert(stream->end(), payload.begin(), payload.end());
        EXPECT_TRUE(decoder.value()->decode(payload, output));
    }
    return output;
}

TEST_P(AudioCodecs, ChirpRoundTripKeepsTheSignal)
{
    const auto& c = GetParam();
    const auto* info = findAudioCodec(c.format);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->payloadType, c.payloadType);
    EXPECT_EQ(info->sampleRate, c.sampleRate);
    EXPECT_EQ(info->rtpClockRate, 8000u);
    // The registry agrees on the payload type and the RTP clock.
    auto registered = MediaFormatRegistry::global().find(c.format);
    ASSERT_TRUE(registered.has_value());
    EXPECT_EQ(registered->payloadType(), c.payloadType);
    EXPECT_EQ(registered->clockRate(), info->rtpClockRate);

    // Telephone band first: where both codecs must keep the signal nearly intact.
    const auto input = test::chirp(c.sampleRate, 100, 3400, 1.0);
    const auto output = encodeDecode(c.format, input);
    ASSERT_EQ(output.size(), input.size());
    const auto a = test::align(input, output, 64);
    EXPECT_GT(a.correlation, 0.99);
    EXPECT_GT(test::snrDb(input, output, a.lag, 64), c.minSnr);

    if (c.sampleRate == 16000) {
        // G.722's upper band (4-8 kHz) has only 2 bits per sample: it is carried, coarser.
        const auto high = test::chirp(c.sampleRate, 3400, 7000, 1.0);
        const auto highOut = encodeDecode(c.format, high);
        const auto h = test::align(high, highOut, 64);
        EXPECT_GT(h.correlation, 0.97);
        EXPECT_GT(test::snrDb(high, highOut, h.lag, 64), 20);
    }
}

TEST_P(AudioCodecs, AnyPacketDurationDecodesLikeTheWholeStream)
{
    const auto& c = GetParam();
    std::vector<uint8_t> stream;
    const auto reference =
        encodeDecode(c.format, test::chirp(c.sampleRate, 300, 3000, 0.48), &stream);
    ASSERT_EQ(stream.size(), 3840u);

    // 1 ms (some peers send G.722 that way), odd sizes, 20, 30 and 240 ms packets.
    for (size_t ms : {1, 3, 7, 20, 30, 240}) {
        auto decoder = AudioDecoder::create(c.format);
        ASSERT_TRUE(decoder);
        std::vector<int16_t> output;
        const size_t bytes = ms * 8;
        EXPECT_EQ(decoder.value()->samplesFor(bytes), ms * c.sampleRate / 1000);
        for (size_t i = 0; i < stream.size(); i += bytes) {
            const auto n = std::min(bytes, stream.size() - i);
            const auto before = output.size();
            ASSERT_TRUE(decoder.value()->decode(std::span(stream).subspan(i, n), output));
            EXPECT_EQ(output.size() - before, decoder.value()->samplesFor(n));
        }
        EXPECT_EQ(output, reference) << ms << " ms packets";
    }
}

TEST_P(AudioCodecs, BadInputIsRefusedWithoutHarm)
{
    const auto& c = GetParam();
    auto decoder = AudioDecoder::create(c.format);
    ASSERT_TRUE(decoder);
    std::vector<int16_t> output;
    std::vector<uint8_t> huge(AudioDecoder::MaxPayloadBytes + 1, 0x55);
    auto status = decoder.value()->decode(huge, output);
    EXPECT_EQ(status.error().kind, MediaError::BadData);
    EXPECT_TRUE(output.empty());
    EXPECT_TRUE(decoder.value()->decode({}, output));
    EXPECT_TRUE(output.empty());

    // Random bytes are valid codewords: they decode to the right number of samples.
    std::mt19937 random(7);
    std::vector<uint8_t> noise(1000);
    for (auto& b : noise)
        b = uint8_t(random());
    ASSERT_TRUE(decoder.value()->decode(noise, output));
    EXPECT_EQ(output.size(), decoder.value()->samplesFor(noise.size()));

    auto encoder = AudioEncoder::create(c.format);
    ASSERT_TRUE(encoder);
    std::vector<uint8_t> payload;
    std::vector<int16_t> shortFrame(encoder.value()->frameSamples() - 2);
    EXPECT_EQ(encoder.value()->encode(shortFrame, payload).error().kind,
              MediaError::InvalidArgument);
    EXPECT_FALSE(AudioEncoder::create(c.format, 0));
    EXPECT_FALSE(AudioEncoder::create(c.format, 241));
}

TEST_P(AudioCodecs, FrameDurationsSetFrameAndTimestampSizes)
{
    const auto& c = GetParam();
    for (unsigned ms : {10u, 20u, 30u, 60u}) {
        auto encoder = AudioEncoder::create(c.format, ms);
        ASSERT_TRUE(encoder) << encoder.error().message;
        EXPECT_EQ(encoder.value()->frameSamples(), c.sampleRate * ms / 1000);
        EXPECT_EQ(encoder.value()->frameTimestampUnits(), 8 * ms);
        std::vector<int16_t> frame(encoder.value()->frameSamples(), 1000);
        std::vector<uint8_t> payload;
        ASSERT_TRUE(encoder.value()->encode(frame, payload));
        EXPECT_EQ(payload.size(), 8 * ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Each, AudioCodecs,
                         ::testing::Values(CodecCase{"G.711-ALaw-64k", 8, 8000, 30},
                                           CodecCase{"G.711-uLaw-64k", 0, 8000, 30},
                                           CodecCase{"G.722-64k", 9, 16000, 35}),
                         [](const auto& info) {
                             std::string name = info.param.format;
                             name.erase(std::remove_if(name.begin(), name.end(),
                                                       [](char ch) { return !std::isalnum(ch); }),
                                        name.end());
                             return name;
                         });

TEST(AudioCodecRegistry, UnknownFormatsAreNotFound)
{
    EXPECT_EQ(findAudioCodec("G.729"), nullptr);
    EXPECT_EQ(AudioEncoder::create("G.729").error().kind, MediaError::NotFound);
    EXPECT_EQ(AudioDecoder::create("H.264-High").error().kind, MediaError::NotFound);
    ASSERT_EQ(audioCodecs().size(), 3u);
    EXPECT_EQ(audioCodecs().front().formatName, "G.722-64k");
}

} // namespace
} // namespace voip
