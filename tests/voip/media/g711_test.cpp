// G.711 coded here, checked against libavcodec's pcm_alaw and pcm_mulaw as the reference,
// and kept from opening FFmpeg at all.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "voip/media/avlibrary.h"
#include "voip/media/codec.h"
#include "voip/media/g711.h"

namespace voip {
namespace {

/// Every 16-bit sample, in order.
std::vector<int16_t> everySample()
{
    std::vector<int16_t> samples;
    for (int value = -32768; value <= 32767; ++value)
        samples.push_back(int16_t(value));
    return samples;
}

/// Codes `input` with libavcodec's codec of that id, in one frame.
std::vector<uint8_t> referenceEncode(AVCodecID id, const std::vector<int16_t>& input)
{
    const AvLibrary* av = avLibrary();
    const AVCodec* codec = av->avcodec_find_encoder(id);
    AVCodecContext* context = av->avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    context->sample_fmt = AV_SAMPLE_FMT_S16;
    av->av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(av->avcodec_open2(context, codec, nullptr), 0);
    AVFrame* frame = av->av_frame_alloc();
    frame->nb_samples = int(input.size());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = 8000;
    av->av_channel_layout_default(&frame->ch_layout, 1);
    EXPECT_EQ(av->av_frame_get_buffer(frame, 0), 0);
    std::memcpy(frame->data[0], input.data(), input.size() * sizeof(int16_t));
    EXPECT_EQ(av->avcodec_send_frame(context, frame), 0);
    AVPacket* packet = av->av_packet_alloc();
    std::vector<uint8_t> coded;
    while (av->avcodec_receive_packet(context, packet) == 0) {
        coded.insert(coded.end(), packet->data, packet->data + packet->size);
        av->av_packet_unref(packet);
    }
    av->av_packet_free(&packet);
    av->av_frame_free(&frame);
    av->avcodec_free_context(&context);
    return coded;
}

std::vector<int16_t> referenceDecode(AVCodecID id, const std::vector<uint8_t>& input)
{
    const AvLibrary* av = avLibrary();
    const AVCodec* codec = av->avcodec_find_decoder(id);
    AVCodecContext* context = av->avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    av->av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(av->avcodec_open2(context, codec, nullptr), 0);
    AVPacket* packet = av->av_packet_alloc();
    EXPECT_EQ(av->av_new_packet(packet, int(input.size())), 0);
    std::memcpy(packet->data, input.data(), input.size());
    EXPECT_EQ(av->avcodec_send_packet(context, packet), 0);
    AVFrame* frame = av->av_frame_alloc();
    std::vector<int16_t> pcm;
    while (av->avcodec_receive_frame(context, frame) == 0) {
        const auto* samples = reinterpret_cast<const int16_t*>(frame->data[0]);
        pcm.insert(pcm.end(), samples, samples + frame->nb_samples);
        av->av_frame_unref(frame);
    }
    av->av_frame_free(&frame);
    av->av_packet_free(&packet);
    av->avcodec_free_context(&context);
    return pcm;
}

struct Law
{
    const char* name;
    AVCodecID id;
    uint8_t (*encode)(int16_t);
    int16_t (*decode)(uint8_t);
};

class G711Laws : public ::testing::TestWithParam<Law>
{};

TEST_P(G711Laws, DecodesEveryCodeAsLibavcodecDoes)
{
    ASSERT_NE(avLibrary(), nullptr);
    std::vector<uint8_t> codes;
    for (int code = 0; code < 256; ++code)
        codes.push_back(uint8_t(code));
    const auto reference = referenceDecode(GetParam().id, codes);
    ASSERT_EQ(reference.size(), codes.size());
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(GetParam().decode(uint8_t(code)), reference[size_t(code)]) << "code " << code;
}

/// The reconstruction levels of a law, lowest first (µ-law's two zeros count once).
std::vector<int> levelsOf(const Law& law)
{
    std::set<int> levels;
    for (int code = 0; code < 256; ++code)
        levels.insert(law.decode(uint8_t(code)));
    return {levels.begin(), levels.end()};
}

TEST_P(G711Laws, EncodesEverySampleAsLibavcodecDoesOrAtANeighbouringLevel)
{
    ASSERT_NE(avLibrary(), nullptr);
    const auto& law = GetParam();
    const auto levels = levelsOf(law);
    const auto rank = [&](uint8_t code) {
        return std::lower_bound(levels.begin(), levels.end(), law.decode(code)) - levels.begin();
    };
    const auto samples = everySample();
    const auto reference = referenceEncode(law.id, samples);
    ASSERT_EQ(reference.size(), samples.size());
    size_t differing = 0;
    long previous = -1;
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint8_t ours = law.encode(samples[i]);
        // Louder input never gives a quieter level.
        const long level = long(rank(ours));
        ASSERT_GE(level, previous) << "sample " << samples[i];
        previous = level;
        // Each sample falls in the decision interval around its level: no farther from
        // it than half a step of its segment (beyond the outer levels, input clips).
        const size_t at = size_t(level);
        const int value = levels[at];
        const int below = at > 0 ? value - levels[at - 1] : 0;
        const int above = at + 1 < levels.size() ? levels[at + 1] - value : 0;
        if (samples[i] >= levels.front() && samples[i] <= levels.back()) {
            ASSERT_LE(std::abs(samples[i] - value), std::max(below, above) / 2 + 8)
                << "sample " << samples[i];
        }
        if (ours == reference[i])
            continue;
        ++differing;
        // libavcodec takes the nearest level everywhere, where G.711's decision values
        // at a segment's end lean towards the coarser segment, and it places them at a
        // coarser resolution: the two then pick neighbouring levels.
        ASSERT_LE(std::abs(rank(ours) - rank(reference[i])), 1) << "sample " << samples[i];
    }
    // About 1.5% of A-law inputs and fewer of µ-law lie in such places.
    EXPECT_LT(differing, samples.size() / 50) << "differing codes";
}

TEST_P(G711Laws, EveryCodeSurvivesARoundTrip)
{
    const auto& law = GetParam();
    for (int code = 0; code < 256; ++code) {
        const int16_t value = law.decode(uint8_t(code));
        const uint8_t again = law.encode(value);
        // µ-law has two codes for zero; either may come back.
        if (value == 0)
            EXPECT_EQ(law.decode(again), 0);
        else
            EXPECT_EQ(again, code) << "code " << code << " value " << value;
    }
    // The extremes clip to the largest codes instead of wrapping around.
    EXPECT_GT(law.decode(law.encode(32767)), 30000);
    EXPECT_LT(law.decode(law.encode(-32768)), -30000);
}

INSTANTIATE_TEST_SUITE_P(
    Laws, G711Laws,
    ::testing::Values(Law{"ALaw", AV_CODEC_ID_PCM_ALAW, g711::encodeALaw, g711::decodeALaw},
                      Law{"uLaw", AV_CODEC_ID_PCM_MULAW, g711::encodeULaw, g711::decodeULaw}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(G711Process, AG711CallNeverOpensFfmpegButG722Does)
{
    // In a fresh process (the threadsafe style re-runs this binary), because the other
    // tests here open FFmpeg on purpose.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            for (const char* format : {"G.711-ALaw-64k", "G.711-uLaw-64k"}) {
                auto encoder = AudioEncoder::create(format);
                auto decoder = AudioDecoder::create(format);
                std::vector<int16_t> pcm(encoder.value()->frameSamples(), 1000);
                std::vector<uint8_t> payload;
                if (!encoder.value()->encode(pcm, payload) ||
                    !decoder.value()->decode(payload, pcm))
                    std::_Exit(2);
            }
            if (avLibraryLoaded())
                std::_Exit(3);
            auto wideband = AudioEncoder::create("G.722-64k");
            std::_Exit(wideband && avLibraryLoaded() ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace voip
