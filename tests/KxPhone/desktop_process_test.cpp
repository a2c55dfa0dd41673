// kxphone on a real X desktop (Xvfb and openbox of the test's own): the video picture
// lives inside the main window, as one window the user moves, not as a second window of
// its own.  Skipped when Xvfb or openbox is missing.

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "tests/KxPhone/testdesktop.h"
#include "tests/support/toolskip.h"

namespace {

using namespace std::chrono_literals;
using kx::testutil::TestDesktop;

std::string windowName(xcb_connection_t* x, xcb_window_t window)
{
    auto* reply = xcb_get_property_reply(
        x, xcb_get_property(x, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 256), nullptr);
    std::string name;
    if (reply) {
        name.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    size_t(xcb_get_property_value_length(reply)));
        free(reply);
    }
    return name;
}

std::vector<xcb_window_t> children(xcb_connection_t* x, xcb_window_t window)
{
    std::vector<xcb_window_t> result;
    if (auto* reply = xcb_query_tree_reply(x, xcb_query_tree(x, window), nullptr)) {
        const xcb_window_t* list = xcb_query_tree_children(reply);
        result.assign(list, list + xcb_query_tree_children_length(reply));
        free(reply);
    }
    return result;
}

bool viewable(xcb_connection_t* x, xcb_window_t window)
{
    auto* reply = xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, window), nullptr);
    const bool result = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    free(reply);
    return result;
}

void forEachDescendant(xcb_connection_t* x, xcb_window_t window,
                       const std::function<void(xcb_window_t, xcb_window_t parent)>& visit)
{
    for (xcb_window_t child : children(x, window)) {
        visit(child, window);
        forEachDescendant(x, child, visit);
    }
}

/// The mean brightness (0..255) of what a window shows on the screen.
int meanBrightness(xcb_connection_t* x, xcb_window_t window, unsigned width, unsigned height)
{
    auto* image = xcb_get_image_reply(x,
                                      xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                                    uint16_t(width), uint16_t(height), ~0u),
                                      nullptr);
    if (!image)
        return -1;
    const std::uint8_t* pixels = xcb_get_image_data(image);
    const int length = xcb_get_image_data_length(image);
    long sum = 0;
    long count = 0;
    for (int i = 0; i + 3 < length; i += 4 * 7, ++count)
        sum += (pixels[i] + pixels[i + 1] + pixels[i + 2]) / 3;
    free(image);
    return count ? int(sum / count) : -1;
}

TEST(KxPhoneDesktop, TheVideoPictureShowsInsideTheMainWindow)
{
    if (!TestDesktop::available())
        KX_SKIP_WITHOUT_TOOL() << "Xvfb or openbox not installed";
    TestDesktop desktop;
    ASSERT_TRUE(desktop.start(1920, 1080)) << "Xvfb or openbox did not start";
    xcb_connection_t* x = desktop.connection();

    QTemporaryDir home;
    for (const char* sub : {"/config", "/data", "/tmp", "/runtime"})
        QDir().mkpath(home.path() + sub);
    QFile::setPermissions(home.path() + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", QString::fromStdString(desktop.display()));
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    env.insert("XDG_RUNTIME_DIR", home.path() + "/runtime");
    env.insert("TMPDIR", home.path() + "/tmp");
    env.insert("KX_TEST_QUIT_AFTER_MS", "20000");
    QProcess phone;
    phone.setProcessEnvironment(env);
    phone.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    phone.start(QStringLiteral(KX_BINARY_DIR "/KxPhone/kxphone"), QStringList());
    ASSERT_TRUE(phone.waitForStarted());

    // The main window is the one the window manager framed; the picture is a window of
    // another connection (the display's own) somewhere inside it, shown and dark (the
    // idle picture), never one the window manager framed as well.
    xcb_window_t picture = 0;
    unsigned pictureWidth = 0;
    unsigned pictureHeight = 0;
    int mainWindows = 0;
    int ownBase = -1;
    for (int attempt = 0; attempt < 150 && picture == 0; ++attempt) {
        std::this_thread::sleep_for(100ms);
        xcb_window_t main = 0;
        mainWindows = 0;
        forEachDescendant(x, desktop.screen()->root, [&](xcb_window_t window, xcb_window_t parent) {
            if (parent != desktop.screen()->root && viewable(x, window) &&
                windowName(x, window) == "Kestrovia") {
                main = window;
                ++mainWindows;
            }
        });
        if (!main)
            continue;
        const uint32_t mask = xcb_get_setup(x)->resource_id_mask;
        ownBase = int(main & ~mask);
        forEachDescendant(x, main, [&](xcb_window_t window, xcb_window_t) {
            if (picture || (window & ~mask) == uint32_t(ownBase) || !viewable(x, window))
                return;
            auto* geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr);
            if (geometry && geometry->width >= 320 && geometry->height >= 180) {
                picture = window;
                pictureWidth = geometry->width;
                pictureHeight = geometry->height;
            }
            free(geometry);
        });
    }
    ASSERT_NE(picture, 0u) << "no shown picture inside the main window";
    EXPECT_EQ(mainWindows, 1);
    // 16:9, as the display draws it.
    EXPECT_NEAR(double(pictureWidth) / pictureHeight, 16.0 / 9.0, 0.02);
    int brightness = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        brightness = meanBrightness(x, picture, pictureWidth, pictureHeight);
        if (brightness >= 0 && brightness < 110)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(brightness, 0);
    EXPECT_LT(brightness, 110) << "the idle picture is dark; the window's own background is light";

    // Logging out ends it, picture window and all.
    phone.terminate();
    const bool ended = phone.waitForFinished(10000);
    EXPECT_TRUE(ended);
    if (!ended) {
        phone.kill();
        phone.waitForFinished();
    }
    EXPECT_EQ(phone.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(phone.exitCode(), 0);
}

} // namespace
