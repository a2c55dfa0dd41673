// Screen capture on a real X server with a real window manager, both started by the test
// (Xvfb and openbox on a display of its own): the window list by title, leaving out what
// a user would not pick; a window's own pixels even while another covers it; the desktop
// as it shows; windows that vanish or are resized to 1 x 1 or 8K.  Skipped when Xvfb or
// openbox is missing.

#include "KxPhone/platform/screencapture.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/KxPhone/testdesktop.h"
#include "tests/support/toolskip.h"
#include "tests/support/eventually.h"
#include "tests/support/i420colour.h"
#include "tests/support/pumpuntil.h"
#include "tests/support/testportal.h"
#include "tests/support/waylandsession.h"
#include "KxPhone/platform/capture_portal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QImage>
#include <QProcessEnvironment>

namespace {

using namespace std::chrono_literals;
using kx::testutil::TestDesktop;

/// A display of the test's own with a window manager on it, and the capture on it.
class CaptureDesktop : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!TestDesktop::available())
            KX_SKIP_WITHOUT_TOOL() << "Xvfb or openbox not installed";
        ASSERT_TRUE(desktop.start()) << "Xvfb or openbox did not start";
        capture = ScreenCapture::create();
    }
    void TearDown() override
    {
        capture.reset();
        desktop.stop();
    }

    xcb_window_t window(const std::string& title, std::uint32_t colour, int x, int y,
                        unsigned width, unsigned height, const char* type = nullptr)
    {
        return desktop.window(title, colour, x, y, width, height, type);
    }

    bool listed(const std::string& title)
    {
        seen.clear();
        for (const auto& window : capture->windows()) {
            seen += "\"" + window.title + "\" ";
            if (window.title == title)
                return true;
        }
        return false;
    }

    /// The colour of a captured I420 picture at (x, y), back in RGB (approximately).
    static std::uint32_t rgbAt(const std::vector<std::uint8_t>& picture, unsigned width,
                               unsigned height, unsigned x, unsigned y)
    {
        return kxtest::rgbOfI420(picture.data(), width, height, x, y);
    }

    static bool close(std::uint32_t a, std::uint32_t b) { return kxtest::nearColour(a, b, 24); }

    static bool eventually(const std::function<bool()>& done) { return kxtest::eventually(done); }

    TestDesktop desktop;
    std::unique_ptr<ScreenCapture> capture;
    std::string seen; ///< the titles listed last, for failure messages
};

TEST_F(CaptureDesktop, ListsWhatAUserWouldPickByTitle)
{
    ASSERT_EQ(capture->unavailable(), ScreenCapture::Unavailable::None);
    window("Kestrovia test – bảng trắng", 0xFF0000, 40, 40, 320, 200);
    window("A utility", 0x00FF00, 400, 40, 100, 100, "_NET_WM_WINDOW_TYPE_UTILITY");
    window("", 0x0000FF, 600, 40, 100, 100); // no title
    xcb_connection_t* xcb = desktop.connection();
    const xcb_window_t hidden = xcb_generate_id(xcb);
    xcb_create_window(xcb, XCB_COPY_FROM_PARENT, hidden, desktop.screen()->root, 0, 0, 50, 50, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, desktop.screen()->root_visual, 0, nullptr);
    xcb_change_property(xcb, XCB_PROP_MODE_REPLACE, hidden, desktop.atom("_NET_WM_NAME"),
                        desktop.atom("UTF8_STRING"), 8, 9, "Not shown");
    xcb_flush(xcb); // never mapped
    ASSERT_TRUE(eventually([&] { return listed("Kestrovia test – bảng trắng"); }))
        << "the window, its Vietnamese title intact";
    EXPECT_FALSE(listed("A utility"));
    EXPECT_FALSE(listed("Not shown"));
    for (const auto& window : capture->windows())
        EXPECT_FALSE(window.title.empty());
}

TEST_F(CaptureDesktop, AWindowsOwnPixelsEvenWhenCoveredAndTheDesktopAsItShows)
{
    const xcb_window_t red = window("Red window", 0xFF0000, 100, 100, 400, 300);
    ASSERT_TRUE(eventually([&] { return listed("Red window"); })) << seen;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(eventually([&] {
        return capture->capture(red, picture, 320, 240) &&
               close(rgbAt(picture, 320, 240, 160, 120), 0xFF0000);
    }));
    // A blue window over all of it: the desktop shows blue where the red window is.
    window("Blue cover", 0x0000FF, 60, 60, 480, 380);
    ASSERT_TRUE(eventually([&] { return listed("Blue cover"); }));
    ASSERT_TRUE(eventually([&] {
        return capture->capture(0, picture, 1280, 720) &&
               close(rgbAt(picture, 1280, 720, 300, 250), 0x0000FF) &&
               close(rgbAt(picture, 1280, 720, 110, 110), 0x0000FF) &&
               close(rgbAt(picture, 1280, 720, 490, 390), 0x0000FF);
    })) << "the cover is not over the red window: "
        << std::hex << rgbAt(picture, 1280, 720, 300, 250);
    EXPECT_FALSE(close(rgbAt(picture, 1280, 720, 1200, 650), 0x0000FF)) << "the empty root";
    ASSERT_TRUE(capture->capture(red, picture, 320, 240));
    for (const auto& [x, y] : {std::pair{4u, 4u}, {160u, 120u}, {315u, 235u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0xFF0000))
            << "covered window at " << x << "," << y << ": " << std::hex
            << rgbAt(picture, 320, 240, x, y);
}

TEST_F(CaptureDesktop, AWindowKeepsItsShapeWithBlackBars)
{
    const xcb_window_t wide = window("Wide window", 0xFF00FF, 40, 40, 400, 200);
    const xcb_window_t tall = window("Tall window", 0x00FFFF, 500, 40, 200, 400);
    ASSERT_TRUE(eventually([&] { return listed("Wide window") && listed("Tall window"); })) << seen;
    std::vector<std::uint8_t> picture;
    // 2:1 into 4:3: bars above and below (the window fills rows 40 to 199).
    ASSERT_TRUE(eventually([&] {
        return capture->capture(wide, picture, 320, 240) &&
               close(rgbAt(picture, 320, 240, 160, 120), 0xFF00FF);
    }));
    for (const auto& [x, y] : {std::pair{160u, 20u}, {160u, 220u}, {4u, 4u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0x000000))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 240, x, y);
    for (const auto& [x, y] : {std::pair{4u, 44u}, {315u, 195u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 240, x, y), 0xFF00FF))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 240, x, y);
    // 1:2 into 16:9: bars left and right (the window fills columns 114 to 203 of 320).
    ASSERT_TRUE(capture->capture(tall, picture, 320, 180));
    EXPECT_TRUE(close(rgbAt(picture, 320, 180, 160, 90), 0x00FFFF));
    for (const auto& [x, y] : {std::pair{20u, 90u}, {300u, 90u}})
        EXPECT_TRUE(close(rgbAt(picture, 320, 180, x, y), 0x000000))
            << x << "," << y << ": " << std::hex << rgbAt(picture, 320, 180, x, y);
}

TEST_F(CaptureDesktop, WindowsThatVanishOrGoToOddSizesAreSurvived)
{
    const xcb_window_t green = window("Green window", 0x00FF00, 50, 50, 300, 200);
    ASSERT_TRUE(eventually([&] { return listed("Green window"); })) << seen;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(eventually([&] { return capture->capture(green, picture, 320, 180); }));
    // 8K: read reduced, in bounded memory, and still the window's colour.
    desktop.resize(green, 7680, 4320);
    ASSERT_TRUE(eventually([&] {
        return capture->capture(green, picture, 640, 360) &&
               close(rgbAt(picture, 640, 360, 320, 180), 0x00FF00);
    }));
    // 1 x 1: nothing to send; the caller keeps its last picture.
    desktop.resize(green, 1, 1);
    EXPECT_TRUE(eventually([&] { return !capture->capture(green, picture, 320, 180); }));
    // Gone: no picture, no crash, and it says so.
    desktop.destroy(green);
    EXPECT_TRUE(eventually([&] { return !capture->windowExists(green); }));
    EXPECT_FALSE(capture->capture(green, picture, 320, 180));
    EXPECT_FALSE(listed("Green window"));
    EXPECT_TRUE(capture->capture(0, picture, 320, 180)) << "the desktop still works";
}

TEST(CaptureSession, WaylandWithoutThePortalSaysSo)
{
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    const std::string bus =
        std::getenv("DBUS_SESSION_BUS_ADDRESS") ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
    ::unsetenv("DISPLAY");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    auto capture = ScreenCapture::create();
    EXPECT_EQ(capture->unavailable(), ScreenCapture::Unavailable::NoPortal);
    capture->begin();
    EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::NoPortal);
    std::vector<std::uint8_t> picture;
    EXPECT_FALSE(capture->capture(0, picture, 320, 180));
    EXPECT_TRUE(capture->windows().empty());
    capture->end();
    ::unsetenv("WAYLAND_DISPLAY");
    if (!bus.empty())
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    EXPECT_EQ(ScreenCapture::create()->unavailable(), ScreenCapture::Unavailable::NoDisplay);
    if (!display.empty())
        ::setenv("DISPLAY", display.c_str(), 1);
}

/// A Wayland session of the test's own whose portal shares the test's screen source.
class CapturePortal : public CaptureDesktop
{
protected:
    void SetUp() override
    {
        QString missing;
        if (!kxtest::WaylandSession::available(&missing))
            KX_SKIP_WITHOUT_TOOL() << missing.toStdString() << " is not installed";
        static int argc = 1;
        static char name[] = "capture_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
        QImage background(64, 36, QImage::Format_RGB32);
        background.fill(Qt::darkGray);
        QString error;
        ASSERT_TRUE(session.start(background, 640, 360, error)) << error.toStdString();
        session.enter();
        ASSERT_TRUE(source.start(640, 360)) << "PipeWire refused the test's screen";
        ASSERT_TRUE(backend.start()) << "the portal's back end could not take its bus name";
        ::setenv("KX_SCREEN_CAPTURE", "portal", 1);
        capture = ScreenCapture::create();
        capture->restoreTokenChanged = [this](const std::string& token) { restoreToken = token; };
    }
    void TearDown() override
    {
        capture.reset();
        ::unsetenv("KX_SCREEN_CAPTURE");
        session.leave();
    }

    /// Begins and waits for the first picture, or for the capture to stop.
    bool firstPicture(std::vector<std::uint8_t>& picture, unsigned width, unsigned height)
    {
        capture->begin();
        return kxtest::pumpUntil(
                   [&] {
                       return capture->stopped() != ScreenCapture::Unavailable::None ||
                              capture->capture(0, picture, width, height);
                   },
                   20000) &&
               capture->stopped() == ScreenCapture::Unavailable::None;
    }

    bool showsQuarters(const std::vector<std::uint8_t>& picture, unsigned width, unsigned height)
    {
        const std::uint32_t* colour = kxtest::TestScreenSource::Quarters;
        for (unsigned quarter = 0; quarter < 4; ++quarter) {
            const unsigned x = width / 4 + (quarter % 2) * width / 2;
            const unsigned y = height / 4 + (quarter / 2) * height / 2;
            if (!close(rgbAt(picture, width, height, x, y), colour[quarter]))
                return false;
        }
        return true;
    }

    kxtest::WaylandSession session;
    kxtest::TestScreenSource source;
    kxtest::TestPortalBackend backend{source};
    std::string restoreToken;
};

TEST_F(CapturePortal, SharesTheStreamTheDesktopGivesThroughSizeChangesUntilTheDesktopStopsIt)
{
    ASSERT_EQ(capture->unavailable(), ScreenCapture::Unavailable::None);
    EXPECT_TRUE(capture->asksFirst());
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(firstPicture(picture, 320, 180)) << int(capture->stopped());
    EXPECT_TRUE(showsQuarters(picture, 320, 180));
    // No new picture: nothing to take; another size is.
    const unsigned sent = source.picturesSent();
    ASSERT_TRUE(kxtest::pumpUntil([&] { return source.picturesSent() > sent; }));
    EXPECT_TRUE(capture->capture(0, picture, 160, 90));
    EXPECT_TRUE(showsQuarters(picture, 160, 90));
    // The shared screen changes size: pictures keep coming, scaled to what is asked.
    source.resize(1280, 720);
    ASSERT_TRUE(kxtest::pumpUntil([&] {
        return capture->capture(0, picture, 320, 180) && showsQuarters(picture, 320, 180);
    }));
    // A 4:3 screen keeps its shape in the 16:9 picture: 240 columns wide, black bars of 40
    // at the sides, as the X11 capture does.
    source.resize(960, 720);
    ASSERT_TRUE(kxtest::pumpUntil([&] {
        return capture->capture(0, picture, 320, 180) && close(rgbAt(picture, 320, 180, 10, 90), 0);
    }));
    EXPECT_TRUE(close(rgbAt(picture, 320, 180, 310, 90), 0));
    EXPECT_TRUE(close(rgbAt(picture, 320, 180, 100, 45), kxtest::TestScreenSource::Quarters[0]));
    EXPECT_TRUE(close(rgbAt(picture, 320, 180, 220, 135), kxtest::TestScreenSource::Quarters[3]));
    EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::None);
    // The desktop handed out a key to share again without asking.
    EXPECT_FALSE(restoreToken.empty());

    // The user stops sharing from the desktop: the capture says so, no picture follows.
    backend.closeSessions();
    EXPECT_TRUE(kxtest::pumpUntil([&] {
        return capture->stopped() == ScreenCapture::Unavailable::Ended;
    })) << int(capture->stopped());
    EXPECT_FALSE(capture->capture(0, picture, 320, 180));
    capture->end();

    // The next share hands the key back, and the desktop restores what it gave.
    capture.reset();
    capture = ScreenCapture::create();
    capture->setRestoreToken(restoreToken);
    ASSERT_TRUE(firstPicture(picture, 320, 180));
    EXPECT_EQ(backend.lastRestoreToken(), kxtest::TestPortalBackend::IssuedToken);
    // The stream itself goes away: the share ends.
    source.stop();
    EXPECT_TRUE(kxtest::pumpUntil([&] {
        return capture->stopped() == ScreenCapture::Unavailable::Ended;
    })) << int(capture->stopped());
}

TEST_F(CapturePortal, ARefusalOrADesktopThatNeverAnswersStopsTheShareWithItsReason)
{
    std::vector<std::uint8_t> picture;
    backend.setAnswer(kxtest::TestPortalBackend::Answer::Refuse);
    EXPECT_FALSE(firstPicture(picture, 320, 180));
    EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::Refused);
    EXPECT_TRUE(picture.empty());

    // Asked again, a chooser left open: after the wait, no answer is the reason.
    setPortalChooserTimeout(std::chrono::milliseconds(1500));
    backend.setAnswer(kxtest::TestPortalBackend::Answer::Silent);
    EXPECT_FALSE(firstPicture(picture, 320, 180));
    EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::NoAnswer);
    EXPECT_EQ(backend.starts(), 2);
    setPortalChooserTimeout(std::chrono::milliseconds(0));
}

TEST_F(CapturePortal, AScreenOfferedOnlyInAFormatWeCannotReadIsSaidSo)
{
    // The fixture's readable source stays unused: another is shared, in NV12 only, then in
    // a camera's packed YUV only (read from a camera, never from a screen, whose pictures
    // are fitted as 4-octet pixels).
    using Kind = kxtest::TestScreenSource::Kind;
    for (const Kind kind : {Kind::Unreadable, Kind::Camera}) {
        SCOPED_TRACE(int(kind));
        kxtest::TestScreenSource unreadable;
        ASSERT_TRUE(unreadable.start(640, 360, kind));
        backend.share(unreadable);
        capture = ScreenCapture::create();
        std::vector<std::uint8_t> picture;
        EXPECT_FALSE(firstPicture(picture, 320, 180));
        EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::UnreadableFormat)
            << int(capture->stopped());
        EXPECT_TRUE(picture.empty());
        capture.reset();
    }
}

} // namespace

TEST_F(CapturePortal, ACameraOfTheDesktopGivesItsPicturesOnceTheUserAllowsIt)
{
    kxtest::TestScreenSource camera;
    ASSERT_TRUE(camera.start(640, 360, kxtest::TestScreenSource::Kind::Camera));

    // (The portal counts the cameras PipeWire has when it is first asked: this one is there.)
    // The user says no: nothing is taken, and the source says why.
    backend.setAnswer(kxtest::TestPortalBackend::Answer::Refuse);
    std::unique_ptr<ScreenCapture> refused;
    // (The portal sees the new node a moment after PipeWire lists it.)
    ASSERT_TRUE(kxtest::pumpUntil(
        [&] {
            refused = createPortalCamera();
            return refused->unavailable() == ScreenCapture::Unavailable::None;
        },
        10000))
        << "the portal does not see the camera";
    EXPECT_TRUE(refused->asksFirst());
    refused->begin();
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(kxtest::pumpUntil(
        [&] { return refused->stopped() != ScreenCapture::Unavailable::None; }, 20000));
    EXPECT_EQ(refused->stopped(), ScreenCapture::Unavailable::Refused);
    EXPECT_FALSE(refused->capture(0, picture, 320, 180));
    EXPECT_EQ(backend.accessAsked(), 1);

    // The user allows it in the desktop's privacy settings (the portal remembered the no):
    // the camera's packed YUV pictures fill what is asked for.
    QDBusMessage forget = QDBusMessage::createMethodCall(
        "org.freedesktop.impl.portal.PermissionStore",
        "/org/freedesktop/impl/portal/PermissionStore",
        "org.freedesktop.impl.portal.PermissionStore", "DeletePermission");
    forget << "devices"
           << "camera"
           << "";
    const QDBusMessage forgotten = QDBusConnection::sessionBus().call(forget);
    ASSERT_EQ(forgotten.type(), QDBusMessage::ReplyMessage)
        << forgotten.errorMessage().toStdString();
    // The session manager grants the portal's remote the camera late (here it is held
    // until the test has seen the window's events run on after the user allowed it, as a
    // busy machine holds it): the window does not wait for it, and the camera is found.
    backend.setAnswer(kxtest::TestPortalBackend::Answer::Share);
    const qint64 manager = session.processId("wireplumber");
    ASSERT_GT(manager, 0);
    ASSERT_EQ(::kill(pid_t(manager), SIGSTOP), 0);
    struct Resume
    {
        ~Resume() { ::kill(pid_t(manager), SIGCONT); }
        qint64 manager;
    } resume{manager};
    capture = createPortalCamera();
    capture->setWantedSize(640, 360);
    capture->begin();
    ASSERT_TRUE(kxtest::pumpUntil([&] { return backend.accessAsked() == 2; }, 20000));
    QElapsedTimer held;
    held.start();
    kxtest::pumpUntil([] { return false; }, 500);
    EXPECT_LT(held.elapsed(), 2000) << "the window waited for the camera";
    EXPECT_EQ(capture->stopped(), ScreenCapture::Unavailable::None);
    ::kill(pid_t(manager), SIGCONT);
    ASSERT_TRUE(kxtest::pumpUntil(
        [&] {
            return capture->stopped() != ScreenCapture::Unavailable::None ||
                   capture->capture(0, picture, 320, 180);
        },
        20000))
        << int(capture->stopped());
    ASSERT_EQ(capture->stopped(), ScreenCapture::Unavailable::None);
    EXPECT_TRUE(showsQuarters(picture, 320, 180));
    EXPECT_EQ(backend.accessAsked(), 2);

    // The camera goes away (unplugged): the source says so.
    camera.stop();
    EXPECT_TRUE(kxtest::pumpUntil([&] {
        return capture->stopped() == ScreenCapture::Unavailable::Ended;
    })) << int(capture->stopped());
}
