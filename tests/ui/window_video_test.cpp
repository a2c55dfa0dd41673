// The client's video against kxcall on 127.0.0.1, on an X server and window manager of
// the test's own: the client shows kxcall's test pattern with its numbers advancing;
// kxcall records what the client sends (the desktop), and after the user picks one window
// in the camera dialog, that window; the camera control dialog's buttons reach kxcall as
// the H.281 actions they stand for.  Skipped without Xvfb and openbox.

#include <algorithm>
#include <QComboBox>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include "KxPhone/kxdefaults.h"
#include "tests/KxPhone/clientkit.h"
#include "tests/KxPhone/testdesktop.h"
#include "ui/callbutton.h"
#include "ui/glpicturewidget.h"
#include "ui/videowidget.h"
#include "ui/widgetcall.h"
#include "ui/widgetcam.h"
#include "ui/widgetfecc.h"
#include "ui/widgetstatistics.h"
#include "voip/device/video_fake.h"
#include "voip/device/y4mfile.h"
#include "tests/support/i420colour.h"
#include "tests/support/patternbars.h"
#include "KxPhone/kxvideosource.h"
#include "tests/support/testportal.h"
#include "tests/support/toolskip.h"
#include "tests/support/waylandsession.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::pumpUntil;
using kx::testutil::TestDesktop;
using kx::testutil::useCamera640x360;

/// The pictures of a Y4M file as our writer makes it (no frame parameters).
std::vector<voip::VideoFrame> readY4m(const QString& path)
{
    QFile file(path);
    std::vector<voip::VideoFrame> frames;
    if (!file.open(QIODevice::ReadOnly))
        return frames;
    const QByteArray data = file.readAll();
    const int headerEnd = data.indexOf('\n');
    unsigned width = 0, height = 0;
    for (const QByteArray& field : data.left(headerEnd).split(' ')) {
        if (field.startsWith('W'))
            width = field.mid(1).toUInt();
        if (field.startsWith('H'))
            height = field.mid(1).toUInt();
    }
    const std::size_t size = voip::VideoFrame::sizeFor(width, height);
    for (qsizetype at = headerEnd + 1; at + 6 + qsizetype(size) <= data.size();
         at += 6 + qsizetype(size)) {
        voip::VideoFrame frame;
        frame.width = width;
        frame.height = height;
        frame.data.assign(data.begin() + at + 6, data.begin() + at + 6 + qsizetype(size));
        frames.push_back(std::move(frame));
    }
    return frames;
}

/// Red in video range: luma about 81, V about 240.
bool reddish(const voip::VideoFrame& frame, unsigned x, unsigned y)
{
    const std::size_t luma = std::size_t(frame.width) * frame.height;
    const unsigned cw = (frame.width + 1) / 2;
    const std::size_t chroma = std::size_t(cw) * ((frame.height + 1) / 2);
    const int Y = frame.data[std::size_t(y) * frame.width + x];
    const int V = frame.data[luma + chroma + std::size_t(y / 2) * cw + x / 2];
    return std::abs(Y - 81) < 25 && V > 200;
}

/// Green in video range: luma about 145, U and V low.
bool greenish(const voip::VideoFrame& frame, unsigned x, unsigned y)
{
    const std::size_t luma = std::size_t(frame.width) * frame.height;
    const unsigned cw = (frame.width + 1) / 2;
    const std::size_t chroma = std::size_t(cw) * ((frame.height + 1) / 2);
    const int Y = frame.data[std::size_t(y) * frame.width + x];
    const int U = frame.data[luma + std::size_t(y / 2) * cw + x / 2];
    const int V = frame.data[luma + chroma + std::size_t(y / 2) * cw + x / 2];
    return std::abs(Y - 145) < 25 && U < 90 && V < 90;
}

class WindowVideo : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!TestDesktop::available())
            KX_SKIP_WITHOUT_TOOL() << "Xvfb or openbox not installed";
        ASSERT_TRUE(desktop.start());
        // One red window on an otherwise black desktop.
        redWindow = desktop.window("Shared red window", 0xFF0000, 100, 100, 400, 300);
        screen = std::make_shared<voip::MemoryVideoOutput>();
        client = std::make_unique<Client>(
            true,
            [](QSettings& settings) {
                settings.setValue("video/device", "Desktop");
                settings.setValue("codecs/width", 640);
                settings.setValue("codecs/height", 360);
                settings.setValue("call/layout", 1);
                settings.setValue("call/pip", 0);
            },
            "Null",
            [this](KxManager::Context& context, MainWindow&) {
                context.videoOutput = [this](unsigned, unsigned) { return screen; };
                context.screenSize = QSize(1280, 720);
            });
        client->connectWindow();
    }
    void TearDown() override
    {
        client.reset();
        desktop.stop();
    }

    TestDesktop desktop;
    xcb_window_t redWindow = 0;
    std::shared_ptr<voip::MemoryVideoOutput> screen;
    std::unique_ptr<Client> client;
};

// Where the display's own window cannot be embedded (Wayland; here Qt's offscreen
// platform), Qt draws the pictures, by the GPU or by its own painting: the far end's
// pattern shows in the window itself, at the window's size, and keeps moving.
class WindowPictures : public testing::TestWithParam<bool>
{};

TEST_P(WindowPictures, WithoutAnEmbeddableWindowQtDrawsTheFarEndsPicturesInEachLayout)
{
    const bool gpu = GetParam();
    testApplication();
    if (gpu && !GlPictureWidget::available())
        KX_SKIP_WITHOUT_TOOL() << "no OpenGL context (Mesa's llvmpipe under the X server)";
    // OpenGL asked for: this machine's may draw on the processor (Mesa's llvmpipe).
    qputenv("KX_VIDEO_DRAWING", gpu ? "opengl" : "software");
    // Inset pictures at the bottom left.
    Client client(
        true,
        [](QSettings& settings) {
            settings.setValue("call/layout", 1);
            settings.setValue("call/pip", 3);
        },
        "Null",
        [](KxManager::Context& context, MainWindow& window) {
            context.videoOutput = [&window](unsigned, unsigned) {
                return window.videoWidget()->showPictures();
            };
            context.screenSize = QSize(1280, 720);
        });
    qunsetenv("KX_VIDEO_DRAWING");
    client.connectWindow();
    client.window.resize(900, 620);
    client.window.show();
    QWidget* pictures = client.window.videoWidget()->pictures();
    ASSERT_TRUE(pictures);
    EXPECT_EQ(qobject_cast<GlPictureWidget*>(pictures) != nullptr, gpu);
    // kxcall presents its pattern as content too, once the call has lasted a while.
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--video", "fake", "--video-size",
                 "640x360", "--present", "--present-delay", "4000"});
    ASSERT_TRUE(client.manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));

    // What the widget shows, as a picture of the size it has on screen.
    auto image = [&] { return pictures->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    auto shown = [&] {
        const QImage grabbed = image();
        voip::VideoFrame frame;
        frame.width = unsigned(grabbed.width()) & ~1u;
        frame.height = unsigned(grabbed.height()) & ~1u;
        frame.data = KxDisplay::pictureOf(grabbed, frame.width, frame.height);
        return frame;
    };
    // Remote full: the pattern fills the widget and moves.
    std::optional<uint32_t> first, later;
    ASSERT_TRUE(pumpUntil([&] {
        first = voip::FakeVideoInput::readNumber(shown());
        return first.has_value();
    })) << "no pattern in the window";
    ASSERT_TRUE(pumpUntil([&] {
        later = voip::FakeVideoInput::readNumber(shown());
        return later && *later >= *first + 10;
    })) << "the picture does not move";
    // The display composes at the widget's size: the whole pattern fills it.
    const auto [viewWidth, viewHeight] = client.manager->display().viewSize();
    EXPECT_EQ(int(viewWidth), pictures->width());
    EXPECT_EQ(int(viewHeight), pictures->height());
    EXPECT_LT(pictures->width(), 900);

    // The inset at the bottom left, and the upper half, clear of it.
    const int width = pictures->width();
    const int height = pictures->height();
    auto inset = [&](const QImage& at) {
        return kxtest::barsIn(at, 0, height * 3 / 4 + 4, width / 4, height - 2).width();
    };
    auto upper = [&](const QImage& at) {
        return kxtest::barsIn(at, 0, 0, width, height / 2).width();
    };
    // (Remote full's inset, ours, is checked below: the presentation may come any time now.)
    // The far end presents: the content takes the view, the far end the inset.
    // (The content's first picture may follow the layout's switch by a moment.)
    ASSERT_TRUE(pumpUntil(
        [&] {
            const QImage at = image();
            return inset(at) > width / 8 && upper(at) > width * 2 / 3;
        },
        15000))
        << "content full";
    // The layout button steps through side by side, remote full and local full.
    CallButton* layout = client.window.callToolbar()->layoutButton();
    QTest::mouseClick(layout, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] {
        const QImage at = image();
        return kxtest::barsIn(at, width / 2, 0, width, height).width() > width / 3 &&
               kxtest::barsIn(at, 0, 0, width / 2, height).width() < width / 10;
    })) << "side by side";
    QTest::mouseClick(layout, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] {
        const QImage at = image();
        return upper(at) > width * 2 / 3 && inset(at) < width / 10;
    })) << "remote full";
    QTest::mouseClick(layout, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] {
        const QImage at = image();
        return upper(at) < width / 10 && inset(at) > width / 8;
    })) << "local full";
    if (auto* gl = qobject_cast<GlPictureWidget*>(pictures)) {
        // The GPU keeps what did not change: with the still no-input picture full and the
        // far end's inset moving, each paint uploads one picture at most, not the scene.
        // (Drawing on the processor, a loaded machine paints a few times a second only.)
        const auto painted = gl->painted(), uploads = gl->uploads();
        EXPECT_TRUE(pumpUntil([&] { return gl->painted() > painted + 10; }, 20000));
        EXPECT_LE(gl->uploads() - uploads, gl->painted() - painted + 1);
    }
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
}

INSTANTIATE_TEST_SUITE_P(GpuAndSoftware, WindowPictures, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Gpu" : "Software"; });

TEST_F(WindowVideo, TheFarEndsPatternShowsAndPickingAWindowChangesWhatIsSent)
{
    QTemporaryDir dir;
    const QString recorded = dir.filePath("received.y4m");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--video", "fake", "--video-size",
                 "640x360", "--record-video", recorded});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));

    // The client shows kxcall's pattern, remote full: its numbers advance.
    std::optional<uint32_t> first, later;
    ASSERT_TRUE(pumpUntil([&] {
        first = voip::FakeVideoInput::readNumber(screen->lastFrame());
        return first.has_value();
    }));
    ASSERT_TRUE(pumpUntil([&] {
        later = voip::FakeVideoInput::readNumber(screen->lastFrame());
        return later && *later >= *first + 10;
    })) << "the far end's pictures keep coming";

    // The statistics' video rows: both pictures' sizes and the far end's rate.
    WidgetCall* toolbar = client->window.callToolbar();
    QTest::mouseClick(toolbar->statusButton(), Qt::LeftButton);
    WidgetStatistics* statistics = toolbar->statisticsDialog();
    ASSERT_NE(statistics, nullptr);
    ASSERT_TRUE(pumpUntil(
        [&] { return statistics->videoValue(WidgetStatistics::VideoSize, 1)->text() != "-"; },
        5000));
    EXPECT_EQ(statistics->videoValue(WidgetStatistics::VideoSize, 1)->text(), "640x360");
    const auto [outgoingWidth, outgoingHeight] = client->manager->display().outgoingSize();
    EXPECT_EQ(statistics->videoValue(WidgetStatistics::VideoSize, 0)->text(),
              QString("%1x%2").arg(outgoingWidth).arg(outgoingHeight));
    EXPECT_GT(outgoingWidth, 0u);
    const int rate =
        statistics->videoValue(WidgetStatistics::VideoRate, 1)->text().section(' ', 0, 0).toInt();
    EXPECT_GE(rate, 10) << "kxcall sends 25 a second";
    EXPECT_LE(rate, 30);
    // What the client sends follows the far end's reports: on loopback, all of it.
    ASSERT_TRUE(pumpUntil(
        [&] {
            statistics->updateVideo(0);
            return statistics->videoValue(WidgetStatistics::VideoWhy, 0)->text() == "rate-full";
        },
        5000));
    EXPECT_TRUE(
        statistics->videoValue(WidgetStatistics::VideoAllowed, 0)->text().endsWith(" Kbps"));
    EXPECT_EQ(statistics->videoValue(WidgetStatistics::VideoAllowed, 1)->text(), "-");

    // What kxcall gets now: the desktop (the red window in its top-left part).
    QTest::qWait(1500);
    WidgetCam* cam = client->window.cameraDialog();
    ASSERT_NE(cam, nullptr);
    cam->UpdateData();
    const int index = cam->windowBox()->findText("Shared red window");
    ASSERT_GT(index, 0) << "the window is listed by its title";
    EXPECT_TRUE(cam->windowBox()->isEnabled());
    emit cam->windowBox()->activated(index);
    EXPECT_NE(client->manager->trackedWindow(), 0u);
    QTest::qWait(2000);
    client->manager->hangUp();
    ASSERT_TRUE(peer.waitFor("cleared"));
    ASSERT_TRUE(client->idle());

    // The desktop does not move: it went about once a second (and again when it
    // changed), not 25 times.
    const auto frames = readY4m(recorded);
    ASSERT_GE(frames.size(), 4u) << frames.size();
    EXPECT_LE(frames.size(), 30u) << frames.size();
    const auto& after = frames.back();
    ASSERT_EQ(after.width, 640u);
    // Before: the desktop, red where the window is, black far from it.
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [](const auto& frame) {
        return reddish(frame, 150, 120) && !reddish(frame, 600, 330);
    }));
    // After: the window alone, its 4:3 shape kept in the 16:9 picture: red from top to
    // bottom in columns 80 to 559, black bars at the sides.
    for (const auto& [x, y] : {std::pair{84u, 4u}, {320u, 180u}, {555u, 355u}})
        EXPECT_TRUE(reddish(after, x, y)) << x << "," << y;
    for (const auto& [x, y] : {std::pair{20u, 180u}, {620u, 180u}})
        EXPECT_FALSE(reddish(after, x, y)) << x << "," << y;
}

// A share never widens by itself: when the shared window closes, the far end gets the idle
// picture (not the desktop, where a green window stands), and the call view says so until
// the user chooses again.
TEST_F(WindowVideo, AClosedSharedWindowGivesWayToTheIdlePictureNotTheDesktop)
{
    desktop.window("Other green window", 0x00FF00, 700, 400, 300, 200);
    QTemporaryDir dir;
    const QString recorded = dir.filePath("received.y4m");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--record-video", recorded});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    WidgetCam* cam = client->window.cameraDialog();
    cam->UpdateData();
    emit cam->windowBox()->activated(cam->windowBox()->findText("Shared red window"));
    QTest::qWait(1500);
    desktop.destroy(redWindow);
    QLabel* held = client->window.callToolbar()->shareStateLabel();
    ASSERT_TRUE(pumpUntil([&] { return held->isVisibleTo(client->window.callToolbar()); }));
    EXPECT_EQ(held->text(), QCoreApplication::translate("KxManager", "share-window-closed"));
    QTest::qWait(2500);
    client->manager->hangUp();
    ASSERT_TRUE(peer.waitFor("cleared"));
    ASSERT_TRUE(client->idle());
    const auto frames = readY4m(recorded);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(),
                            [](const auto& frame) { return reddish(frame, 320, 180); }))
        << "the window was shared";
    // Where the window manager put the windows: looked for all over the picture.
    const auto anywhere = [](const voip::VideoFrame& frame, auto colour) {
        for (unsigned y = 10; y < frame.height; y += 20)
            for (unsigned x = 10; x < frame.width; x += 20)
                if (colour(frame, x, y))
                    return true;
        return false;
    };
    EXPECT_FALSE(anywhere(frames.back(), greenish)) << "the desktop took the window's place";
    EXPECT_FALSE(anywhere(frames.back(), reddish));
    EXPECT_TRUE(held->isVisibleTo(client->window.callToolbar())) << "until the user chooses";
    cam->UpdateData();
    emit cam->windowBox()->activated(cam->windowBox()->findText("Other green window"));
    EXPECT_FALSE(held->isVisibleTo(client->window.callToolbar()));
}

// The desktop chosen once is not shown to a caller the client answered by itself: the idle
// picture goes until the user picks the desktop in that call, and the choice stands again
// once the call is over.
TEST_F(WindowVideo, AnAutomaticallyAnsweredCallSeesNoScreenUntilTheUserPicksIt)
{
    QTemporaryDir dir;
    const QString recorded = dir.filePath("received.y4m");
    Kxcall caller({"--call", client->address(), "--calls", "1", "--record-video", recorded});
    ASSERT_TRUE(caller.waitFor("established"));
    QLabel* held = client->window.callToolbar()->shareStateLabel();
    ASSERT_TRUE(pumpUntil([&] { return held->isVisibleTo(client->window.callToolbar()); }));
    EXPECT_EQ(held->text(), QCoreApplication::translate("KxManager", "share-held-auto-answer"));
    EXPECT_FALSE(client->manager->inputOpen());
    QTest::qWait(2000);
    WidgetCam* cam = client->window.cameraDialog();
    cam->UpdateData();
    emit cam->deviceBox()->activated(1); // the desktop, picked again in this call
    EXPECT_FALSE(held->isVisibleTo(client->window.callToolbar()));
    QTest::qWait(2000);
    client->manager->hangUp();
    ASSERT_TRUE(caller.waitFor("cleared"));
    ASSERT_TRUE(client->idle());
    const auto frames = readY4m(recorded);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_FALSE(reddish(frames.front(), 150, 120)) << "the desktop before the user chose it";
    EXPECT_TRUE(reddish(frames.back(), 150, 120)) << "the desktop once chosen";
    EXPECT_TRUE(pumpUntil([&] { return client->manager->inputOpen(); }))
        << "the stored choice after the call";
}

TEST_F(WindowVideo, TheCameraControlDialogsButtonsArriveAsTheirActions)
{
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--fecc"});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil(
        [&] { return client->manager->h224SendOpen() && client->manager->h224ReceiveOpen(); }));
    WidgetCall* toolbar = client->window.callToolbar();
    QTest::mouseClick(toolbar->feccButton(), Qt::LeftButton);
    WidgetFecc* fecc = toolbar->feccDialog();
    ASSERT_NE(fecc, nullptr);
    struct Press
    {
        FeccButton* button;
        const char* move;
    };
    const Press presses[] = {{fecc->upButton(), "tilt=up"},    {fecc->downButton(), "tilt=down"},
                             {fecc->leftButton(), "pan=left"}, {fecc->rightButton(), "pan=right"},
                             {fecc->inButton(), "zoom=in"},    {fecc->outButton(), "zoom=out"}};
    for (const auto& press : presses) {
        // Held for a moment: the camera moves until the button is let go.
        QTest::mousePress(press.button, Qt::LeftButton);
        QTest::qWait(300);
        QTest::mouseRelease(press.button, Qt::LeftButton);
        QTest::qWait(200);
    }
    QTest::qWait(500);
    peer.read();
    std::vector<QString> lines;
    for (const auto& event : peer.events)
        if (event.value("event").toString() == "fecc")
            lines.push_back(event.value("line").toString());
    std::size_t at = 0;
    for (const auto& press : presses) {
        const QString start = QString("fecc start ") + press.move;
        const QString stop = QString("fecc stop ") + press.move;
        while (at < lines.size() && !lines[at].startsWith(start))
            ++at;
        ASSERT_LT(at, lines.size()) << "no " << start.toStdString();
        while (at < lines.size() && !lines[at].startsWith(stop))
            ++at;
        ASSERT_LT(at, lines.size()) << "no " << stop.toStdString();
    }
    client->manager->hangUp();
    ASSERT_TRUE(client->idle());
}

} // namespace

namespace {

int countWithDetail(const Kxcall& peer, const QString& event, const QString& detail)
{
    int n = 0;
    for (const auto& e : peer.events)
        n += e.value("event").toString() == event && e.value("detail").toString() == detail;
    return n;
}

} // namespace

// A far end that ends its presentation by closing the content channel alone, without
// saying it is inactive, as some systems do: the content view ends with it.
TEST_F(WindowVideo, ContentEndedByClosingItsChannelLeavesTheContentView)
{
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--video", "fake", "--video-size",
                 "640x360", "--present", "--present-delay", "800", "--present-for", "1500",
                 "--present-end", "close"});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] {
        peer.read();
        return client->manager->presentationActive() &&
               client->manager->display().layout().number == 3;
    }));
    EXPECT_TRUE(pumpUntil([&] {
        return !client->manager->presentationActive() &&
               client->manager->display().layout().number == 1;
    })) << "still showing content the far end no longer sends";
    EXPECT_TRUE(client->manager->remoteVideoReceiving()) << "its video goes on without content";
    EXPECT_TRUE(client->manager->inCall());
    client->manager->hangUp();
    ASSERT_TRUE(peer.waitFor("cleared"));
}

// Content that comes and goes eight times in a few seconds: each start shows it (content
// full), each end goes back to the far end's video, and the call and its video go on.
TEST_F(WindowVideo, ContentThatComesAndGoesFastLeavesTheCallAndItsVideoWhole)
{
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--video", "fake", "--video-size",
                 "640x360", "--present", "--present-delay", "1000", "--present-for", "150",
                 "--present-times", "8"});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    int layoutsShown = 0;
    bool sawContent = false;
    ASSERT_TRUE(pumpUntil(
        [&] {
            peer.read();
            if (client->manager->presentationActive()) {
                sawContent = true;
                layoutsShown += client->manager->display().layout().number == 3;
            }
            return countWithDetail(peer, "presentation", "local-stopped") >= 8;
        },
        20000))
        << countWithDetail(peer, "presentation", "local-started") << " started";
    EXPECT_EQ(countWithDetail(peer, "presentation", "local-started"), 8);
    EXPECT_TRUE(sawContent);
    EXPECT_GT(layoutsShown, 0) << "content full while it showed";
    // The window hears of the last end a moment after the engine.
    EXPECT_TRUE(pumpUntil([&] {
        return !client->manager->presentationActive() &&
               client->manager->display().layout().number == 1;
    }));
    EXPECT_EQ(client->settings.value("call/layout").toInt(), 1);

    // The far end's video goes on after all that.
    std::optional<uint32_t> first, later;
    ASSERT_TRUE(pumpUntil([&] {
        first = voip::FakeVideoInput::readNumber(screen->lastFrame());
        return first.has_value();
    }));
    ASSERT_TRUE(pumpUntil([&] {
        later = voip::FakeVideoInput::readNumber(screen->lastFrame());
        return later && *later >= *first + 10;
    }));
    EXPECT_TRUE(client->manager->inCall());
    EXPECT_EQ(peer.count("cleared"), 0);
    client->manager->hangUp();
    ASSERT_TRUE(peer.waitFor("cleared"));
}

namespace {

/// A Wayland desktop of the test's own, entered, with the client's pictures to memory.
class WindowVideoWayland : public testing::Test
{
protected:
    void SetUp() override
    {
        QString missing;
        if (!kxtest::WaylandSession::available(&missing))
            KX_SKIP_WITHOUT_TOOL() << missing.toStdString() << " is not installed";
        testApplication();
        QImage background(64, 36, QImage::Format_RGB32);
        background.fill(Qt::darkGray);
        QString error;
        ASSERT_TRUE(session.start(background, 640, 360, error)) << error.toStdString();
        session.enter();
    }

    std::unique_ptr<Client> makeClient(std::function<void(QSettings&)> configure)
    {
        auto client = std::make_unique<Client>(
            true, std::move(configure), "Null", [this](KxManager::Context& context, MainWindow&) {
                context.videoOutput = [screen = screen](unsigned, unsigned) { return screen; };
                context.screenSize = QSize(1280, 720);
            });
        client->connectWindow();
        return client;
    }

    /// The notice over the call toolbar is `text`.
    static bool told(Client& client, const QString& text)
    {
        const auto labels = client.window.callToolbar()->fade()->findChildren<QLabel*>();
        return !labels.isEmpty() && labels.first()->text() == text;
    }

    /// Whether the far end has recorded pictures for a while, the source still sending.
    /// (The source sends from its start, linked or not, before the call is up: what it sent
    /// alone says nothing of what arrived.)
    static bool farEndRecorded(const QString& recorded, const kxtest::TestScreenSource& source)
    {
        return source.picturesSent() > 50 && readY4m(recorded).size() >= 10;
    }

    /// Ends the call and the client; kxcall's recording shows the test source's quarters.
    void hangUpAndCheckRecording(std::unique_ptr<Client>& client, Kxcall& peer,
                                 const QString& recorded)
    {
        client->manager->hangUp();
        ASSERT_TRUE(peer.waitFor("cleared"));
        ASSERT_TRUE(client->idle());
        client.reset();
        const auto frames = readY4m(recorded);
        ASSERT_GE(frames.size(), 2u);
        EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), showsQuarters));
    }

    /// Whether a picture kxcall recorded shows the test source's four quarters in place.
    static bool showsQuarters(const voip::VideoFrame& frame)
    {
        for (unsigned quarter = 0; quarter < 4; ++quarter) {
            const unsigned x = frame.width / 4 + (quarter % 2) * frame.width / 2;
            const unsigned y = frame.height / 4 + (quarter / 2) * frame.height / 2;
            if (!kxtest::nearColour(
                    kxtest::rgbOfI420(frame.data.data(), frame.width, frame.height, x, y),
                    kxtest::TestScreenSource::Quarters[quarter], 32))
                return false;
        }
        return true;
    }

    kxtest::WaylandSession session;
    std::shared_ptr<voip::MemoryVideoOutput> screen = std::make_shared<voip::MemoryVideoOutput>();
};

// In a Wayland session the desktop's portal shares the screen: the far end gets it, the
// share's key is kept for next time, and a share stopped from the desktop is told.
TEST_F(WindowVideoWayland, TheScreenSharedThroughTheDesktopPortalReachesTheFarEnd)
{
    kxtest::TestScreenSource source;
    ASSERT_TRUE(source.start(1280, 720));
    kxtest::TestPortalBackend backend(source);
    ASSERT_TRUE(backend.start());

    auto client = makeClient([](QSettings& settings) {
        settings.setValue("video/device", "Desktop");
        settings.setValue("codecs/width", 640);
        settings.setValue("codecs/height", 360);
    });
    EXPECT_TRUE(client->manager->captureUnavailableReason().isEmpty());
    QTemporaryDir dir;
    const QString recorded = dir.filePath("received.y4m");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--record-video", recorded});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return farEndRecorded(recorded, source); }, 20000));
    // The desktop kept a key to share again without asking.
    EXPECT_FALSE(kxdefaults::read(client->settings, kxdefaults::ScreenShareToken).isEmpty());
    // The desktop's chooser picks the window: the dialog has none to list.
    WidgetCam* cam = client->window.cameraDialog();
    ASSERT_NE(cam, nullptr);
    cam->UpdateData();
    EXPECT_FALSE(cam->windowBox()->isEnabled());
    EXPECT_EQ(cam->windowBox()->count(), 1);
    EXPECT_EQ(cam->windowBox()->itemText(0), WidgetCam::tr("chosen-by-the-desktop"));

    // The user stops sharing from the desktop: told over the toolbar; the call goes on.
    backend.closeSessions();
    EXPECT_TRUE(pumpUntil(
        [&] { return told(*client, QCoreApplication::translate("KxManager", "capture-ended")); }));
    EXPECT_TRUE(pumpUntil([&] { return !client->manager->inputOpen(); }, 5000));
    EXPECT_TRUE(client->manager->inCall());
    hangUpAndCheckRecording(client, peer, recorded);
}

// Where the session's portal offers a camera, the camera list has it beside the machine's
// own; once the desktop allows it, its pictures reach the far end, and a camera that goes
// away is told.
TEST_F(WindowVideoWayland, TheDesktopsCameraIsOfferedAndItsPicturesReachTheFarEnd)
{
    kxtest::TestScreenSource camera;
    ASSERT_TRUE(camera.start(640, 360, kxtest::TestScreenSource::Kind::Camera));
    kxtest::TestPortalBackend backend(camera);
    ASSERT_TRUE(backend.start());

    auto client = makeClient(
        [](QSettings& settings) { useCamera640x360(settings, KxVideoSource::PortalCameraName); });
    WidgetCam* cam = client->window.cameraDialog();
    ASSERT_NE(cam, nullptr);
    cam->UpdateData();
    EXPECT_EQ(cam->deviceBox()->currentText(), KxVideoSource::PortalCameraName);
    EXPECT_GT(cam->formatBox()->count(), 0);
    EXPECT_EQ(cam->formatBox()->currentIndex(), 1) << "640x360, the second mode, is chosen";

    QTemporaryDir dir;
    const QString recorded = dir.filePath("received.y4m");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--record-video", recorded});
    ASSERT_TRUE(client->manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return farEndRecorded(recorded, camera); }, 20000));
    EXPECT_EQ(backend.accessAsked(), 1);

    // The camera goes away: told over the toolbar; the call goes on.
    camera.stop();
    EXPECT_TRUE(pumpUntil([&] {
        return told(*client, QCoreApplication::translate("KxManager", "camera-stopped")
                                 .arg(KxVideoSource::PortalCameraName));
    }));
    EXPECT_TRUE(client->manager->inCall());
    hangUpAndCheckRecording(client, peer, recorded);
}

} // namespace
