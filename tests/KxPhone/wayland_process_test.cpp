// kxphone as a native Wayland program (Qt's Wayland platform) on a headless sway of the
// test's own, in a call with kxcall: what the screen shows, read back with grim, in each
// layout the user steps through with the layout key.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLibraryInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/patternbars.h"
#include "tests/support/toolskip.h"
#include "tests/support/waylandsession.h"

namespace {

using kxtest::Bars;
using kxtest::barsIn;

class KxPhoneWayland : public testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        QString missing;
        if (!kxtest::WaylandSession::available(&missing))
            KX_SKIP_WITHOUT_TOOL() << missing.toStdString() << " is not installed";
        const QString plugin =
            QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so";
        if (!QFile::exists(plugin))
            KX_SKIP_WITHOUT_TOOL() << "Qt's Wayland platform (qtwayland5) is not installed";
        QImage background(64, 36, QImage::Format_RGB32);
        background.fill(QColor(0x33, 0x66, 0x99));
        QString error;
        ASSERT_TRUE(session.start(background, 1280, 720, error)) << error.toStdString();
    }
    void TearDown() override
    {
        if (peer.state() != QProcess::NotRunning) {
            peer.kill();
            peer.waitForFinished();
        }
        if (phone.state() != QProcess::NotRunning) {
            phone.terminate();
            if (!phone.waitForFinished(10000)) {
                phone.kill();
                phone.waitForFinished();
            }
        }
    }

    /// kxphone on the Wayland desktop, answering at once, with `settings` (INI lines).
    void startPhone(const QByteArray& settings)
    {
        for (const char* sub : {"/config/Kestrovia", "/data", "/tmp"})
            QDir().mkpath(home.path() + sub);
        QFile ini(home.path() + "/config/Kestrovia/Kestrovia.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(settings);
        ini.close();
        QProcessEnvironment env = session.environment();
        env.insert("QT_QPA_PLATFORM", "wayland");
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        env.insert("XDG_DATA_HOME", home.path() + "/data");
        env.insert("TMPDIR", home.path() + "/tmp");
        env.insert("KX_TEST_QUIT_AFTER_MS", "90000");
        // The way the video is drawn (OpenGL through Mesa where no GPU renders, or Qt's
        // painting).
        env.insert("KX_VIDEO_DRAWING", GetParam());
        phone.setProcessEnvironment(env);
        phone.setStandardOutputFile(home.path() + "/kxphone.log");
        phone.setStandardErrorFile(home.path() + "/kxphone.log");
        phone.start(QStringLiteral(KX_BINARY_DIR "/KxPhone/kxphone"), QStringList());
        ASSERT_TRUE(phone.waitForStarted());
        // Ready when it takes calls.
        ASSERT_TRUE(kxtest::eventually([] {
            QTcpSocket probe;
            probe.connectToHost("127.0.0.1", 1720);
            return probe.waitForConnected(200);
        })) << "kxphone does not listen";
    }

    /// kxcall calls it with its pattern as video and as content; true once established.
    bool call()
    {
        peer.setProcessChannelMode(QProcess::MergedChannels);
        peer.start(KXCALL_PATH, {"--call", "127.0.0.1", "--video", "fake", "--video-size",
                                 "640x360", "--present", "--hangup-after", "60"});
        return kxtest::eventually(
            [&] {
                peer.waitForReadyRead(100);
                log += peer.readAll();
                return log.contains("established");
            },
            std::chrono::seconds(20));
    }

    /// The screen once the pattern has had time to show in the current layout.
    QImage settledScreen()
    {
        QThread::msleep(1500);
        return session.screenshot();
    }

    kxtest::WaylandSession session;
    QTemporaryDir home;
    QProcess phone;
    QProcess peer;
    QByteArray log;
};

TEST_P(KxPhoneWayland, TheFarEndsPatternShowsInEachLayoutTheUserStepsThrough)
{
    // Inset pictures at the bottom left.
    startPhone("[General]\nautoAnswer=true\n[call]\nlayout=1\npip=3\n");
    ASSERT_TRUE(call()) << log.toStdString();
    const QStringList layoutKey = {"-M", "ctrl", "1", "-m", "ctrl"};
    // Where the inset lies on the screen, and the upper half, clear of it.
    const auto inset = [](const QImage& screen) { return barsIn(screen, 30, 530, 300, 690); };
    const auto upper = [](const QImage& screen) { return barsIn(screen, 0, 0, 1280, 360); };

    // kxcall presents as soon as the call is up: the content takes the screen, the far
    // end's picture goes to the inset.
    QImage screen;
    ASSERT_TRUE(kxtest::eventually(
        [&] {
            screen = session.screenshot();
            return upper(screen).width() > 800 && inset(screen).width() > 100;
        },
        std::chrono::seconds(20)))
        << "content full: " << upper(screen).width() << " wide, inset " << inset(screen).width();
    EXPECT_LT(inset(screen).width(), 300);
    const QImage before = screen;
    EXPECT_NE(settledScreen(), before) << "the pictures move";

    // Side by side: the far end on the right half, the no-input picture on the left.
    ASSERT_TRUE(session.typeInto("app_id=\".+\"", layoutKey));
    screen = settledScreen();
    const Bars right = barsIn(screen, 640, 0, 1280, 720);
    EXPECT_GT(right.width(), 350) << "side by side: " << right.left << "-" << right.right;
    EXPECT_LT(barsIn(screen, 0, 0, 640, 720).width(), 100) << "side by side, left";

    // Remote full: the far end fills the view, the no-input picture in the inset.
    ASSERT_TRUE(session.typeInto("app_id=\".+\"", layoutKey));
    screen = settledScreen();
    EXPECT_GT(upper(screen).width(), 800) << "remote full";
    EXPECT_LT(inset(screen).width(), 100) << "remote full: the inset is ours";

    // Local full: the no-input picture fills the view, the far end in the inset.
    ASSERT_TRUE(session.typeInto("app_id=\".+\"", layoutKey));
    screen = settledScreen();
    EXPECT_LT(upper(screen).width(), 100) << "local full";
    EXPECT_GT(inset(screen).width(), 100) << "local full: the inset is the far end's";
    EXPECT_LT(inset(screen).width(), 300);

    // And round to content full.
    ASSERT_TRUE(session.typeInto("app_id=\".+\"", layoutKey));
    screen = settledScreen();
    EXPECT_GT(upper(screen).width(), 800) << "content full again";
    EXPECT_GT(inset(screen).width(), 100);

    QFile phoneLog(home.path() + "/kxphone.log");
    phoneLog.open(QIODevice::ReadOnly);
    const QByteArray trace = phoneLog.readAll();
    EXPECT_TRUE(trace.contains("Video drawn by Qt on the wayland platform")) << trace.toStdString();
    EXPECT_TRUE(trace.contains(std::string(GetParam()) == "opengl" ? "Video drawing: OpenGL"
                                                                   : "Video drawing: software"))
        << trace.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Drawing, KxPhoneWayland, testing::Values("opengl", "software"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
