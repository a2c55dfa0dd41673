// The display: its picture helpers (scale to fill, copy, fit), and the running loop composing known
// pictures, checked pixel by pixel at the corners of each picture's region in every layout and
// picture-in-picture position.

#include "KxPhone/kxdisplay.h"
#include "KxPhone/kxvideosource.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <QImage>

namespace {

using namespace std::chrono_literals;

struct Yuv
{
    std::uint8_t y, u, v;
};

// Solid colours in video-range BT.601: red, green, blue, and a light grey background.
constexpr Yuv Red{81, 90, 240};
constexpr Yuv Green{145, 54, 34};
constexpr Yuv Blue{41, 240, 110};
constexpr Yuv Background{200, 128, 128};
constexpr Yuv Black{16, 128, 128};

std::vector<std::uint8_t> solid(unsigned width, unsigned height, Yuv colour)
{
    const std::size_t luma = std::size_t(width) * height;
    const std::size_t chroma = std::size_t((width + 1) / 2) * ((height + 1) / 2);
    std::vector<std::uint8_t> picture(luma + 2 * chroma);
    std::fill(picture.begin(), picture.begin() + std::ptrdiff_t(luma), colour.y);
    std::fill(picture.begin() + std::ptrdiff_t(luma),
              picture.begin() + std::ptrdiff_t(luma + chroma), colour.u);
    std::fill(picture.begin() + std::ptrdiff_t(luma + chroma), picture.end(), colour.v);
    return picture;
}

Yuv at(const std::vector<std::uint8_t>& picture, unsigned width, unsigned height, unsigned x,
       unsigned y)
{
    const std::size_t luma = std::size_t(width) * height;
    const unsigned strideUV = (width + 1) / 2;
    const std::size_t chroma = std::size_t(strideUV) * ((height + 1) / 2);
    return {picture[std::size_t(y) * width + x],
            picture[luma + std::size_t(y / 2) * strideUV + x / 2],
            picture[luma + chroma + std::size_t(y / 2) * strideUV + x / 2]};
}

bool near(Yuv a, Yuv b, int tolerance = 3)
{
    return std::abs(a.y - b.y) <= tolerance && std::abs(a.u - b.u) <= tolerance &&
           std::abs(a.v - b.v) <= tolerance;
}

std::string describe(Yuv c)
{
    return std::to_string(c.y) + "/" + std::to_string(c.u) + "/" + std::to_string(c.v);
}

TEST(KxDisplayPictures, ScaleToFillCoversWithoutBarsAndKeepsTheMiddle)
{
    // 640 x 480 into 1280 x 720: scaled to 1280 x 960, the middle 720 rows kept.  The
    // source's top quarter red, the rest blue: the kept part starts 120 rows in.
    auto source = solid(640, 480, Blue);
    for (unsigned row = 0; row < 120; ++row)
        std::fill(source.begin() + row * 640, source.begin() + (row + 1) * 640, Red.y);
    std::vector<std::uint8_t> out(voip::VideoFrame::sizeFor(1280, 720));
    KxDisplay::scaleToFill(source.data(), out.data(), 640, 480, 1280, 720);
    // Source row 120 lands at 240 in the 960-row picture, 120 rows above the cut: row 0
    // of the result is source row 60 (red), row 200 is source row 160 (blue).
    EXPECT_EQ(at(out, 1280, 720, 640, 0).y, Red.y);
    EXPECT_EQ(at(out, 1280, 720, 640, 200).y, Blue.y);
    EXPECT_EQ(at(out, 1280, 720, 5, 719).y, Blue.y) << "no black bars";

    // Equal heights: the middle columns, unscaled.
    auto striped = solid(640, 480, Green);
    for (unsigned row = 0; row < 480; ++row)
        for (unsigned column = 0; column < 6; ++column)
            striped[row * 640 + column] = Red.y; // cut off
    std::vector<std::uint8_t> narrow(voip::VideoFrame::sizeFor(628, 480));
    KxDisplay::scaleToFill(striped.data(), narrow.data(), 640, 480, 628, 480);
    EXPECT_EQ(at(narrow, 628, 480, 0, 10).y, Green.y);

    // Same shape to the hundredth: a plain scale.
    auto big = solid(1280, 720, Red);
    std::vector<std::uint8_t> small(voip::VideoFrame::sizeFor(256, 144));
    KxDisplay::scaleToFill(big.data(), small.data(), 1280, 720, 256, 144);
    EXPECT_TRUE(near(at(small, 256, 144, 0, 0), Red));
    EXPECT_TRUE(near(at(small, 256, 144, 255, 143), Red));
}

TEST(KxDisplayPictures, FitCopyAndStillPictures)
{
    EXPECT_EQ(KxDisplay::fitOutputSize(1920, 1080), (std::pair{1920u, 1080u}));
    EXPECT_EQ(KxDisplay::fitOutputSize(1366, 768), (std::pair{1344u, 756u}));
    EXPECT_EQ(KxDisplay::fitOutputSize(1280, 1024), (std::pair{1280u, 720u}));
    EXPECT_EQ(KxDisplay::fitOutputSize(790, 590), (std::pair{768u, 432u}));

    // A picture copied in at (x, y) is clipped to the larger one.
    auto canvas = solid(64, 32, Background);
    const auto patch = solid(20, 10, Red);
    KxDisplay::copyRect(patch.data(), 20, 10, canvas.data(), 64, 32, 50, 26);
    EXPECT_TRUE(near(at(canvas, 64, 32, 50, 26), Red, 0));
    EXPECT_TRUE(near(at(canvas, 64, 32, 63, 31), Red, 0));
    EXPECT_TRUE(near(at(canvas, 64, 32, 49, 26), Background, 0));

    // Still pictures come through libyuv at video range: white is 235, black 16.
    QImage image(64, 36, QImage::Format_RGB32);
    image.fill(Qt::white);
    auto white = KxDisplay::pictureOf(image, 32, 18);
    EXPECT_TRUE(near(at(white, 32, 18, 0, 0), {235, 128, 128}, 1));
    image.fill(Qt::black);
    auto black = KxDisplay::pictureOf(image, 32, 18);
    EXPECT_TRUE(near(at(black, 32, 18, 31, 17), {16, 128, 128}, 1));
    image.fill(QColor(255, 0, 0));
    EXPECT_TRUE(near(at(KxDisplay::pictureOf(image, 32, 18), 32, 18, 3, 3), Red, 2));
}

/// The loop with known pictures: local red, remote green, content blue, a light grey
/// background; the output is 1280 x 720 so canvas and output pixels are the same.
class KxDisplayLoop : public testing::Test
{
protected:
    void SetUp() override
    {
        KxDisplay::Hooks hooks;
        hooks.callActive = [this] { return call.load(); };
        hooks.windowHidden = [] { return false; };
        hooks.grabLocal = [this](std::vector<std::uint8_t>& picture, unsigned& width,
                                 unsigned& height) {
            if (!source)
                return KxDisplay::LocalPicture::None;
            if (still && !picture.empty())
                return KxDisplay::LocalPicture::Same;
            width = 640;
            height = 360;
            picture = solid(640, 360, Red);
            return KxDisplay::LocalPicture::New;
        };
        display = std::make_unique<KxDisplay>(hooks);
        display->resetVideoFrames(640, 360);
        voip::VideoFrame remote;
        remote.width = 640;
        remote.height = 360;
        remote.data = solid(640, 360, Green);
        display->writeReceived(remote, false);
        remote.data = solid(640, 360, Blue);
        display->writeReceived(remote, true);
        display->start(output, 1280, 720, solid(1280, 720, Background),
                       solid(1280, 720, {16, 128, 128}));
    }

    /// The output picture once the layout has settled (the background loop is over).
    std::vector<std::uint8_t> settled(int layout, int pip, bool presentation)
    {
        display->applyLayout(layout, pip, presentation);
        const auto start = display->loops();
        while (display->loops() < start + 3)
            std::this_thread::sleep_for(5ms);
        return output->lastFrame().data;
    }

    void expectRegion(const std::vector<std::uint8_t>& picture, KxRect rect, Yuv colour,
                      const std::string& what)
    {
        for (const auto& [x, y] : {std::pair{rect.x + 1, rect.y + 1},
                                   {rect.x + rect.width - 2, rect.y + 1},
                                   {rect.x + 1, rect.y + rect.height - 2},
                                   {rect.x + rect.width - 2, rect.y + rect.height - 2}}) {
            const Yuv seen = at(picture, 1280, 720, x, y);
            EXPECT_TRUE(near(seen, colour)) << what << " at " << x << "," << y << ": "
                                            << describe(seen) << " not " << describe(colour);
        }
    }

    std::atomic<bool> call{true};
    std::atomic<bool> source{true};
    std::atomic<bool> still{false}; // the source has nothing new
    std::shared_ptr<voip::MemoryVideoOutput> output = std::make_shared<voip::MemoryVideoOutput>();
    std::unique_ptr<KxDisplay> display;
};

TEST_F(KxDisplayLoop, EveryLayoutAndPipPutsEachPictureInItsPlace)
{
    // Side by side: remote right, local left, each whole (16:9 in its 628 x 480 place:
    // bars above and below), the background around them.
    auto picture = settled(0, 0, false);
    expectRegion(picture, {644, 184, 628, 352}, Green, "remote");
    expectRegion(picture, {8, 184, 628, 352}, Red, "local");
    expectRegion(picture, {644, 120, 628, 62}, Black, "remote's bar");
    expectRegion(picture, {8, 538, 628, 62}, Black, "local's bar");
    expectRegion(picture, {0, 0, 1280, 118}, Background, "band above");
    expectRegion(picture, {636, 122, 8, 476}, Background, "gap between");

    const KxRect pips[] = {
        {}, {1024, 10, 256, 144}, {1024, 566, 256, 144}, {0, 566, 256, 144}, {0, 10, 256, 144}};
    for (int pip = 0; pip <= 4; ++pip) {
        const std::string which = "pip " + std::to_string(pip);
        picture = settled(1, pip, false); // remote full, local in the PiP
        if (pip == 0) {
            expectRegion(picture, {0, 0, 1280, 720}, Green, which + " remote full");
        } else {
            expectRegion(picture, pips[pip], Red, which + " local PiP");
            // Just outside the PiP the full picture shows.
            const KxRect below{pips[pip].x, pips[pip].y > 300 ? pips[pip].y - 8 : 156, 256, 6};
            expectRegion(picture, below, Green, which + " remote around");
        }
        picture = settled(2, pip, false); // local full, remote in the PiP
        if (pip != 0)
            expectRegion(picture, pips[pip], Green, which + " remote PiP");
        expectRegion(picture, {300, 200, 400, 300}, Red, which + " local full");
        picture = settled(3, pip, true); // content full, remote in the PiP
        if (pip != 0)
            expectRegion(picture, pips[pip], Green, which + " remote over content");
        expectRegion(picture, {300, 200, 400, 300}, Blue, which + " content full");
    }
    // Content full without a presentation is remote full.
    picture = settled(3, 0, false);
    expectRegion(picture, {0, 0, 1280, 720}, Green, "no presentation");
    // A layout or PiP number out of range (a settings file edited by hand) is the first.
    picture = settled(1, 9, false);
    expectRegion(picture, {0, 0, 1280, 720}, Green, "PiP 9 is none");
    picture = settled(7, 1, true);
    expectRegion(picture, {644, 184, 628, 352}, Green, "layout 7 is side by side");
}

// Content is shown whole: a 4:3 slide in the 16:9 view keeps its top and bottom rows
// (its title), with black bars at its sides; the far end's video still fills.
TEST_F(KxDisplayLoop, ContentIsShownWholeWithBars)
{
    voip::VideoFrame slide;
    slide.width = 480;
    slide.height = 360;
    slide.data = solid(480, 360, Blue);
    std::fill(slide.data.begin(), slide.data.begin() + 480 * 8, 235); // a white title row
    display->writeReceived(slide, true);
    const auto picture = settled(3, 0, true);
    expectRegion(picture, {0, 0, 160, 720}, Black, "left bar");
    expectRegion(picture, {1120, 0, 160, 720}, Black, "right bar");
    expectRegion(picture, {160, 40, 960, 640}, Blue, "the slide");
    EXPECT_GT(at(picture, 1280, 720, 640, 4).y, 200) << "its title row, not cropped";
    expectRegion(settled(1, 0, true), {0, 0, 1280, 720}, Green, "the far end still fills");
}

// An output that draws scenes (the GPU) is given the same: the slide whole over its bars.
TEST(KxDisplayScene, ContentIsPlacedWholeOverItsBars)
{
    struct SceneOutput : voip::VideoOutput
    {
        void showFrame(const voip::VideoFrame&) override {}
        bool drawsScenes() const override { return true; }
        void showScene(const voip::VideoScene& scene) override
        {
            std::lock_guard lock(mutex);
            last = scene;
        }
        std::mutex mutex;
        voip::VideoScene last;
    };
    auto output = std::make_shared<SceneOutput>();
    KxDisplay::Hooks hooks;
    hooks.callActive = [] { return true; };
    hooks.windowHidden = [] { return false; };
    hooks.grabLocal = [](std::vector<std::uint8_t>&, unsigned&, unsigned&) {
        return KxDisplay::LocalPicture::None;
    };
    KxDisplay display(hooks);
    display.resetVideoFrames(640, 360);
    voip::VideoFrame slide;
    slide.width = 480;
    slide.height = 360;
    slide.data = solid(480, 360, Blue);
    display.writeReceived(slide, true);
    display.start(output, 1280, 720, solid(1280, 720, Background), solid(1280, 720, Black));
    display.applyLayout(3, 0, true);
    std::vector<voip::VideoLayer> layers;
    for (int i = 0; i < 200 && layers.size() < 3; ++i) {
        std::this_thread::sleep_for(10ms);
        std::lock_guard lock(output->mutex);
        layers = output->last.layers;
    }
    display.stop();
    ASSERT_EQ(layers.size(), 3u) << "background, bars, slide";
    EXPECT_EQ(layers[1].width, 1280u) << "bars over the whole place";
    EXPECT_EQ(layers[2].partHeight, 360u) << "the whole slide";
    EXPECT_EQ(std::tuple(layers[2].x, layers[2].width, layers[2].height),
              std::tuple(160u, 960u, 720u));
}

TEST_F(KxDisplayLoop, TheViewIsTheTopLeftOfTheOutputAndTheEncoderGetsTheLocalPicture)
{
    settled(1, 0, false);
    ASSERT_TRUE(display->resizeOutput(640, 360));
    EXPECT_FALSE(display->resizeOutput(1920, 1080)) << "larger than the output";
    const auto start = display->loops();
    while (display->loops() < start + 3)
        std::this_thread::sleep_for(5ms);
    const auto picture = output->lastFrame().data;
    expectRegion(picture, {0, 0, 640, 360}, Green, "the view");
    // The encoder's picture is the local one at the outgoing size.
    voip::VideoFrame outgoing;
    display->readOutgoing(outgoing);
    EXPECT_EQ(outgoing.width, 640u);
    EXPECT_TRUE(near(at(outgoing.data, 640, 360, 320, 180), Red));
    // Without a call the view shows the local picture alone.
    call = false;
    const auto idle = display->loops();
    while (display->loops() < idle + 3)
        std::this_thread::sleep_for(5ms);
    expectRegion(output->lastFrame().data, {0, 0, 640, 360}, Red, "local without a call");
}

// Only what changed is drawn again: out of a call with no source the idle picture is drawn
// once; in a call where nothing moves (an audio call), nothing is drawn until a picture
// comes from either side, or the view, the layout or the call changes.
TEST_F(KxDisplayLoop, OnlyWhatChangedIsDrawnAgain)
{
    auto waitLoops = [&](unsigned count) {
        const auto start = display->loops();
        while (display->loops() < start + count)
            std::this_thread::sleep_for(5ms);
    };
    call = false;
    source = false;
    waitLoops(3);
    auto drawn = output->frames();
    waitLoops(5);
    EXPECT_EQ(output->frames(), drawn) << "nothing new to draw";
    expectRegion(output->lastFrame().data, {0, 0, 1280, 720}, {16, 128, 128}, "the idle picture");

    ASSERT_TRUE(display->resizeOutput(640, 360));
    waitLoops(3);
    EXPECT_EQ(output->frames(), drawn + 1) << "the smaller view, once";
    display->applyLayout(2, 0, false);
    waitLoops(5);
    EXPECT_EQ(output->frames(), drawn + 3) << "the background, then the idle picture, once";

    source = true;
    waitLoops(3);
    EXPECT_GE(output->frames(), drawn + 6) << "a moving source is drawn every loop";
    expectRegion(output->lastFrame().data, {0, 0, 640, 360}, Red, "the source");
    still = true;
    waitLoops(2);
    drawn = output->frames();
    waitLoops(4);
    EXPECT_EQ(output->frames(), drawn) << "a source with nothing new";
    source = false;
    waitLoops(3);
    EXPECT_EQ(output->frames(), drawn + 1);
    expectRegion(output->lastFrame().data, {0, 0, 640, 360}, {16, 128, 128}, "idle again");

    still = false;
    source = true;
    call = true;
    display->applyLayout(1, 0, false);
    waitLoops(3);
    still = true;
    waitLoops(2);
    drawn = output->frames();
    waitLoops(4);
    EXPECT_EQ(output->frames(), drawn) << "nothing moves in the call";
    // The picture sent keeps its number while the local picture stays: the encoder
    // knows it has it already.
    voip::VideoFrame outgoing;
    display->readOutgoing(outgoing);
    const auto sent = outgoing.serial;
    EXPECT_NE(sent, 0u);
    voip::VideoFrame remote;
    remote.width = 320;
    remote.height = 180;
    remote.data = solid(320, 180, Blue);
    display->writeReceived(remote, false);
    waitLoops(3);
    EXPECT_EQ(output->frames(), drawn + 1) << "a picture from the far end, once";
    expectRegion(output->lastFrame().data, {0, 0, 640, 360}, Blue, "the far end");
    display->readOutgoing(outgoing);
    EXPECT_EQ(outgoing.serial, sent) << "a far end's picture does not make ours new";
    display->setOutgoingSize(320, 180);
    waitLoops(3);
    EXPECT_EQ(output->frames(), drawn + 2) << "the encoder's picture at its new size";
    display->readOutgoing(outgoing);
    EXPECT_NE(outgoing.serial, sent);
    EXPECT_EQ(outgoing.width, 320u);
    EXPECT_TRUE(near(at(outgoing.data, 320, 180, 160, 90), Red));
    still = false;
    waitLoops(2);
    const auto moving = outgoing.serial;
    display->readOutgoing(outgoing);
    EXPECT_NE(outgoing.serial, moving) << "a moving source makes new pictures";
}

TEST_F(KxDisplayLoop, AFarEndWhoseSizeChangesEveryPictureIsShownWhole)
{
    settled(1, 0, false);
    const std::pair<unsigned, unsigned> sizes[] = {{640, 360}, {1920, 1080}, {320, 240},
                                                   {176, 144}, {1280, 720},  {4096, 2160}};
    const auto start = display->loops();
    for (int i = 0; display->loops() < start + 20; ++i) {
        const auto [width, height] = sizes[i % 6];
        voip::VideoFrame picture;
        picture.width = width;
        picture.height = height;
        picture.data = solid(width, height, Green);
        display->writeReceived(picture, false);
        std::this_thread::sleep_for(3ms);
    }
    const auto picture = output->lastFrame().data;
    expectRegion(picture, {0, 0, 1280, 720}, Green, "remote at whatever size");
}

TEST_F(KxDisplayLoop, PicturesFromTheNetworkOutOfBoundsAreIgnored)
{
    voip::VideoFrame bad;
    bad.width = 8192;
    bad.height = 8192;
    bad.data.resize(16);
    display->writeReceived(bad, false);
    bad.width = 640;
    bad.height = 360;
    display->writeReceived(bad, false); // too short for its size
    auto picture = settled(1, 0, false);
    expectRegion(picture, {0, 0, 1280, 720}, Green, "the last good picture stays");
}

/// A screen whose content the test sets; it counts the pictures taken of it.
class StillScreen final : public ScreenCapture
{
public:
    std::atomic<int> shade{40};
    std::atomic<int> captures{0};
    Unavailable unavailable() const override { return Unavailable::None; }
    std::vector<Window> windows() override { return {}; }
    bool windowExists(std::uint64_t) override { return true; }
    bool capture(std::uint64_t, std::vector<std::uint8_t>& picture, unsigned width,
                 unsigned height) override
    {
        ++captures;
        picture.assign(std::size_t(width) * height * 3 / 2, std::uint8_t(shade.load()));
        return true;
    }
};

// The desktop as the source: a screen that did not change is no new picture (nothing is
// drawn or encoded again), and outside a call, where only the preview shows it, it is
// taken a few times a second rather than 25.
TEST(KxVideoSourceDesktop, AnUnchangedScreenIsNoNewPictureAndThePreviewIsTakenSeldom)
{
    auto owned = std::make_unique<StillScreen>();
    StillScreen& screen = *owned;
    KxVideoSource source(std::move(owned));
    source.openDesktop(64, 36);
    std::vector<std::uint8_t> picture;
    unsigned width = 0, height = 0;
    EXPECT_EQ(source.grab(picture, width, height), KxVideoSource::Grab::Picture);
    EXPECT_EQ(width, 64u);
    std::this_thread::sleep_for(KxVideoSource::CaptureInterval + 10ms);
    EXPECT_EQ(source.grab(picture, width, height), KxVideoSource::Grab::Unchanged);
    EXPECT_EQ(screen.captures, 2) << "taken, and found the same";
    screen.shade = 90;
    std::this_thread::sleep_for(KxVideoSource::CaptureInterval + 10ms);
    EXPECT_EQ(source.grab(picture, width, height), KxVideoSource::Grab::Picture);
    EXPECT_EQ(picture[0], 90);

    // The display asks every 33 ms: in a call the screen is taken at most every 40 ms,
    // for the preview at most every 250 ms.
    auto takenIn = [&](std::chrono::milliseconds span) {
        const int before = screen.captures;
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            source.grab(picture, width, height);
            std::this_thread::sleep_for(KxDisplay::LoopInterval);
        }
        return screen.captures - before;
    };
    EXPECT_GE(takenIn(600ms), 8);
    source.setPreview(true);
    const int preview = takenIn(600ms);
    EXPECT_GE(preview, 1);
    EXPECT_LE(preview, 3);
}

} // namespace
