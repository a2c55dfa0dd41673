// kxphone on a real X desktop (Xvfb and openbox of the test's own): the video picture
// lives inside the main window, as one window the user moves, not as a second window of
// its own, drawn by Qt.  Skipped when Xvfb or openbox is missing.

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
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

/// The share of a window's pixels darker than `below` (0..1), -1 when it cannot be read.
double darkShare(xcb_connection_t* x, xcb_window_t window, int below)
{
    auto* geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr);
    if (!geometry)
        return -1;
    const unsigned width = geometry->width, height = geometry->height;
    free(geometry);
    auto* image = xcb_get_image_reply(x,
                                      xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0,
                                                    uint16_t(width), uint16_t(height), ~0u),
                                      nullptr);
    if (!image)
        return -1;
    const std::uint8_t* pixels = xcb_get_image_data(image);
    const int length = xcb_get_image_data_length(image);
    long dark = 0, count = 0;
    for (int i = 0; i + 3 < length; i += 4, ++count)
        dark += (pixels[i] + pixels[i + 1] + pixels[i + 2]) / 3 < below;
    free(image);
    return count ? double(dark) / double(count) : -1;
}

TEST(KxPhoneDesktop, TheVideoPictureShowsInsideTheMainWindowAtItsSize)
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
    env.remove("KX_VIDEO_DRAWING");
    QProcess phone;
    phone.setProcessEnvironment(env);
    phone.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    phone.start(QStringLiteral(KX_BINARY_DIR "/KxPhone/kxphone"), QStringList());
    ASSERT_TRUE(phone.waitForStarted());
    QString log;
    auto wait = [&](std::chrono::milliseconds time) {
        phone.waitForReadyRead(int(time.count()));
        log += QString::fromUtf8(phone.readAllStandardOutput());
    };

    // The main window is the one the window manager framed; Qt's drawing is part of it,
    // never a window of another connection inside it.
    xcb_window_t main = 0, picture = 0;
    int mainWindows = 0;
    for (int attempt = 0; attempt < 150 && main == 0; ++attempt) {
        wait(100ms);
        main = 0;
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
        const uint32_t ownBase = main & ~mask;
        forEachDescendant(x, main, [&](xcb_window_t window, xcb_window_t) {
            if (picture || (window & ~mask) == ownBase || !viewable(x, window))
                return;
            auto* geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr);
            if (geometry && geometry->width >= 320 && geometry->height >= 180)
                picture = window;
            free(geometry);
        });
    }
    ASSERT_NE(main, 0u) << "no main window";
    EXPECT_EQ(mainWindows, 1);
    EXPECT_EQ(picture, 0u) << "a window of another program inside the main window";

    // The display composes at the size the picture has on screen (told once the window
    // is laid out, even when the display started first), 16:9 and smaller than the screen.
    const QRegularExpression resized("Resize output: (\\d+)x(\\d+)");
    QRegularExpressionMatch size;
    for (int attempt = 0; attempt < 50 && !(size = resized.match(log)).hasMatch(); ++attempt)
        wait(100ms);
    ASSERT_TRUE(size.hasMatch()) << log.toStdString();
    const int viewWidth = size.captured(1).toInt(), viewHeight = size.captured(2).toInt();
    EXPECT_NEAR(double(viewWidth) / viewHeight, 16.0 / 9.0, 0.02);
    EXPECT_LT(viewWidth, 1920);
    EXPECT_TRUE(log.contains("Video drawing: ")) << log.toStdString();

    // The idle picture is dark, the window's own background light: the dark part of the
    // main window is about the picture's size.
    auto* frame = xcb_get_geometry_reply(x, xcb_get_geometry(x, main), nullptr);
    ASSERT_TRUE(frame);
    const double pictureShare =
        double(viewWidth) * viewHeight / (double(frame->width) * frame->height);
    free(frame);
    double dark = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        dark = darkShare(x, main, 110);
        if (dark > pictureShare * 0.8 && dark < pictureShare * 1.2)
            break; // (a window not painted yet is black all over)
        wait(100ms);
    }
    EXPECT_GT(dark, pictureShare * 0.8);
    EXPECT_LT(dark, pictureShare * 1.2);

    // Logging out ends it.
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
