// The client's display and capture: composing 1280x720 pictures into a 1920x1080 output
// per layout, capturing a 1920x1080 desktop, and the delay from a camera's picture to the
// far end's screen over RTP on loopback (encoder, packets, decoder, display).
// Run under an X server (DISPLAY) for the capture figures:
//   display_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "KxPhone/kxdisplay.h"
#include "KxPhone/platform/screencapture.h"
#include "voip/device/video_fake.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/patch.h"
#include "voip/media/stream_rtp.h"
#include "voip/media/videostream.h"
#include "voip/rtp/rtpsession.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> grey(unsigned width, unsigned height, std::uint8_t luma)
{
    std::vector<std::uint8_t> picture(voip::VideoFrame::sizeFor(width, height), 128);
    std::fill(picture.begin(), picture.begin() + std::ptrdiff_t(width * height), luma);
    return picture;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(double(values.size()) * share))];
}

/// An output that draws scenes itself (as the GPU widget does), keeping the last.
class SceneOutput : public voip::VideoOutput
{
public:
    bool drawsScenes() const override { return true; }
    void showScene(const voip::VideoScene& scene) override { last = scene; }
    void showFrame(const voip::VideoFrame&) override {}
    voip::VideoScene last;
};

/// The display loop composing three 1280x720 pictures into 1920x1080 in one layout for two
/// seconds: the median and 90th percentile time of one composition.  With range(1) 1 the
/// output draws scenes (the GPU's way): the loop's time is what remains on the processor.
void BM_Compose720pInto1080p(benchmark::State& state)
{
    const int layout = int(state.range(0));
    const bool scenes = state.range(1) != 0;
    for (auto _ : state) {
        KxDisplay::Hooks hooks;
        hooks.callActive = [] { return true; };
        hooks.windowHidden = [] { return false; };
        const auto local = grey(1280, 720, 100);
        hooks.grabLocal = [&](std::vector<std::uint8_t>& picture, unsigned& width,
                              unsigned& height) {
            // A camera gives a new picture every loop.
            picture = local;
            width = 1280;
            height = 720;
            return KxDisplay::LocalPicture::New;
        };
        KxDisplay display(hooks);
        display.resetVideoFrames(1280, 720);
        voip::VideoFrame remote;
        remote.width = 1280;
        remote.height = 720;
        remote.data = grey(1280, 720, 150);
        display.writeReceived(remote, false);
        display.writeReceived(remote, true);
        std::shared_ptr<voip::VideoOutput> output;
        if (scenes)
            output = std::make_shared<SceneOutput>();
        else
            output = std::make_shared<voip::MemoryVideoOutput>();
        display.start(output, 1920, 1080, grey(1920, 1080, 60), grey(1920, 1080, 30));
        display.applyLayout(layout, 2, true);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        display.stop();
        auto times = display.composeTimes();
        times.erase(times.begin(), times.begin() + std::min<std::size_t>(5, times.size()));
        state.counters["median_ms"] = percentile(times, 0.5);
        state.counters["p90_ms"] = percentile(times, 0.9);
        state.counters["loops"] = double(display.loops());
    }
}

/// One capture of the whole 1920x1080 desktop into a picture of `range(0)` x `range(1)`.
void BM_DesktopCapture(benchmark::State& state)
{
    auto capture = ScreenCapture::create();
    if (capture->unavailable() != ScreenCapture::Unavailable::None) {
        state.SkipWithError("no X display");
        return;
    }
    std::vector<std::uint8_t> picture;
    const auto width = unsigned(state.range(0)), height = unsigned(state.range(1));
    for (auto _ : state) {
        if (!capture->capture(0, picture, width, height)) {
            state.SkipWithError("capture failed");
            return;
        }
        benchmark::DoNotOptimize(picture.data());
    }
}

/// Records when each numbered picture reaches the screen.
class ArrivalOutput : public voip::VideoOutput
{
public:
    void showFrame(const voip::VideoFrame& frame) override
    {
        if (auto number = voip::FakeVideoInput::readNumber(frame)) {
            std::lock_guard lock(mutex);
            arrivals.emplace(*number, Clock::now());
        }
    }
    std::mutex mutex;
    std::map<uint32_t, Clock::time_point> arrivals;
};

/// Puts the far end's decoded pictures in the display, as the client's receive path does.
class IntoDisplay : public voip::VideoOutput
{
public:
    explicit IntoDisplay(KxDisplay& display)
        : display_(display)
    {}
    void showFrame(const voip::VideoFrame& frame) override { display_.writeReceived(frame, false); }

private:
    KxDisplay& display_;
};

/// A 720p camera picture to the far end's screen: encoded, sent over RTP on 127.0.0.1,
/// decoded, composed (remote full) and handed to the output.
void BM_SourceToScreenDelay720p(benchmark::State& state)
{
    for (auto _ : state) {
        voip::rtp::SessionConfig config;
        config.localAddress = asio::ip::make_address("127.0.0.1");
        config.useJitterBuffer = false;
        std::shared_ptr<voip::rtp::RtpSession> a(voip::rtp::RtpSession::open(config).take());
        std::shared_ptr<voip::rtp::RtpSession> b(voip::rtp::RtpSession::open(config).take());
        a->setRemote(b->localAddress(), b->localRtpPort(), b->localRtcpPort());
        b->setRemote(a->localAddress(), a->localRtpPort(), a->localRtcpPort());
        voip::MediaFormat format =
            *voip::MediaFormatRegistry::global().find(voip::format::H264High);
        format.setIntegerOption(voip::option::FrameWidth, 1280);
        format.setIntegerOption(voip::option::FrameHeight, 720);

        KxDisplay::Hooks hooks;
        hooks.callActive = [] { return true; };
        hooks.windowHidden = [] { return false; };
        hooks.grabLocal = [](std::vector<std::uint8_t>&, unsigned&, unsigned&) {
            return KxDisplay::LocalPicture::None;
        };
        KxDisplay display(hooks);
        display.resetVideoFrames(1280, 720);
        auto screen = std::make_shared<ArrivalOutput>();
        display.start(screen, 1280, 720, grey(1280, 720, 60), grey(1280, 720, 30));
        display.applyLayout(1, 0, false);

        auto camera = std::make_shared<voip::VideoSourceStream>(
            format, voip::VideoSessionId, voip::kFakeVideoDriver, voip::VideoInputParams{},
            voip::H264EncoderOptions{});
        auto decoder = std::make_shared<voip::VideoSinkStream>(
            format, voip::VideoSessionId, std::make_shared<IntoDisplay>(display), [] {});
        voip::MediaPatch out(camera);
        out.addSink(std::make_shared<voip::RtpMediaStream>(a, format, voip::VideoSessionId, false));
        voip::MediaPatch in(
            std::make_shared<voip::RtpMediaStream>(b, format, voip::VideoSessionId, true));
        in.addSink(decoder);
        in.start();
        const auto opened = Clock::now(); // the camera opens as its patch starts
        out.start();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        out.stop();
        in.stop();
        display.stop();
        a->stop();
        b->stop();
        std::vector<double> delays;
        for (const auto& [number, shown] : screen->arrivals) {
            const auto taken = opened + std::chrono::microseconds(int64_t(number) * 40000);
            delays.push_back(std::chrono::duration<double, std::milli>(shown - taken).count());
        }
        state.counters["pictures"] = double(delays.size());
        state.counters["median_delay_ms"] = percentile(delays, 0.5);
        state.counters["p90_delay_ms"] = percentile(delays, 0.9);
    }
}

} // namespace

BENCHMARK(BM_Compose720pInto1080p)
    ->ArgsProduct({{0, 1, 3}, {0, 1}})
    ->ArgNames({"layout", "scenes"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DesktopCapture)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SourceToScreenDelay720p)->Iterations(1)->Unit(benchmark::kMillisecond);
