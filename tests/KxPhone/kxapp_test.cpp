// The application object in this process: one KxApp, started in a private sandbox (HOME,
// XDG folders and TMPDIR in a temporary folder) before the tests run.
#include "KxPhone/kxapp.h"
#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxmanager.h"

#include <iostream>
#include <sstream>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "ui/mainwindow.h"
#include "voip/base/trace.h"

#include <gtest/gtest.h>

// Readable failure messages for Qt strings.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

QTemporaryDir* sandbox = nullptr;
KxApp* app = nullptr;

QString iniPath()
{
    return sandbox->path() + "/config/Kestrovia/Kestrovia.ini";
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// The keys of the defaults table, in its order.
QStringList tableKeys()
{
    QStringList keys;
    for (const auto& entry : kxdefaults::table())
        keys << entry.key;
    return keys;
}

TEST(KxAppStartUp, FirstInstanceOwnsEverythingItCreated)
{
    ASSERT_EQ(KxApp::instance(), app);
    EXPECT_FALSE(app->alreadyRunning);
    ASSERT_NE(app->settings, nullptr);
    ASSERT_NE(app->contacts, nullptr);
    ASSERT_NE(app->recents, nullptr);
    ASSERT_NE(app->mainWindow, nullptr);
    ASSERT_NE(app->localServer, nullptr);
    EXPECT_EQ(app->translator, nullptr) << "language xx has no catalogue";
    ASSERT_NE(app->manager, nullptr);
    EXPECT_NE(app->manager->h323EndPoint(), nullptr);
    EXPECT_TRUE(app->localServer->isListening());
    EXPECT_EQ(app->localServer->fullServerName(), sandbox->path() + "/runtime/Kestrovia");
    EXPECT_EQ(KxApp::instanceAddress("Kestrovia"), sandbox->path() + "/runtime/Kestrovia");
    EXPECT_TRUE(app->mainWindow->isVisible());
    EXPECT_EQ(app->mainWindow->windowTitle(), "Kestrovia");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Kestrovia") << "untitled boxes";
    EXPECT_GT(app->scaleFactor, 0.0);
    EXPECT_EQ(app->settings->fileName(), iniPath());
    EXPECT_EQ(app->contacts->path(), sandbox->path() + "/data/Kestrovia_Contacts.xml");
    EXPECT_EQ(app->recents->path(), sandbox->path() + "/data/Kestrovia_Recents.xml");
}

TEST(KxAppStartUp, CaptureFilterValueIsRemovedOthersKept)
{
    QSettings filter(QSettings::IniFormat, QSettings::UserScope, "screen-capture-recorder",
                     "screen-capture-recorder");
    EXPECT_FALSE(filter.contains("hwnd_to_track"));
    EXPECT_EQ(filter.value("other").toString(), "kept");
}

TEST(KxAppStartUp, UnknownLanguageInstallsNoCatalogue)
{
    EXPECT_EQ(QCoreApplication::translate("MainWindow", "exit-program"), "exit-program");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Yes");
}

TEST(KxAppStartUp, QtCatalogueOnlyForTheProgramsLanguages)
{
    EXPECT_EQ(KxApp::qtLanguageFor("vn"), "vi");
    EXPECT_EQ(KxApp::qtLanguageFor("en"), "en");
    for (const char* other : {"", "xx", "vi", "VN", "../en", "fr"})
        EXPECT_TRUE(KxApp::qtLanguageFor(other).isEmpty()) << other;
}

TEST(KxAppStartUp, LocalServerConnectionsRaiseTheWindowEveryTime)
{
    // More than the server's pending-connection limit (30): later starts must still work.
    for (int i = 0; i < 40; ++i) {
        app->mainWindow->hide();
        QLocalSocket socket;
        socket.connectToServer(KxApp::instanceAddress("Kestrovia"), QIODevice::WriteOnly);
        ASSERT_TRUE(socket.waitForConnected(3000)) << i;
        socket.disconnectFromServer();
        ASSERT_TRUE(QTest::qWaitFor([] { return app->mainWindow->isVisible(); }, 3000)) << i;
    }
}

class DefaultsFile : public ::testing::Test
{
protected:
    QString path() const { return folder.path() + "/settings.ini"; }
    QTemporaryDir folder;
};

// What a reader gets is of the key's type and one the key can hold: the stored value, or
// the default where the file (edited by hand) has none or one that does not fit.
TEST_F(DefaultsFile, ReadingGivesTheStoredValueOrTheDefault)
{
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[General]\nautoAnswer=TRUE \nautoStart=yes\nlanguage=fr\n"
                   "name=Smith, John\n"
                   "[call]\nlayout=2\npip=4\nlocation=7\n"
                   "[net]\ntransmit=1000\nreceive= 512\nnat=abc\n"
                   "mediaPortsUdp=70000\nmediaPortsTcp=4000\n"
                   "[gatekeeper]\nttl=5\nmode=2\n");
    }
    QSettings settings(path(), QSettings::IniFormat);
    using namespace kxdefaults;
    EXPECT_TRUE(read(settings, AutoAnswer));
    EXPECT_TRUE(read(settings, AutoStart)) << "not a bool: the default";
    EXPECT_FALSE(read(settings, AutoUpdate)) << "missing: the default";
    EXPECT_EQ(read(settings, Language), "vn") << "not a language of the program";
    EXPECT_EQ(read(settings, Name), "Smith, John") << "a list to the file, one text to us";
    EXPECT_EQ(read(settings, CallLayout), 2);
    EXPECT_EQ(read(settings, CallPip), 4) << "the top-left corner";
    EXPECT_EQ(read(settings, CallLocation), 1);
    EXPECT_EQ(read(settings, NetTransmit), 1024) << "not a bandwidth the page offers";
    EXPECT_EQ(read(settings, NetReceive), 512);
    EXPECT_EQ(read(settings, NetNat), 0);
    EXPECT_EQ(read(settings, NetUdpLow), 3230) << "not a port";
    EXPECT_EQ(read(settings, NetTcpLow), 4000);
    EXPECT_EQ(read(settings, GatekeeperTtl), DefaultTimeToLive);
    EXPECT_EQ(read(settings, GatekeeperMode), 2);
    EXPECT_EQ(read(settings, GatekeeperHost), "");

    // Written back, each reads as written, and the first start's defaults leave it alone.
    write(settings, CallPip, 3);
    write(settings, NetTransmit, 2048);
    write(settings, Name, "Nguyễn, Văn A");
    write(settings, AutoStart, false);
    settings.sync();
    QSettings reread(path(), QSettings::IniFormat);
    writeMissing(reread);
    EXPECT_EQ(read(reread, CallPip), 3);
    EXPECT_EQ(read(reread, NetTransmit), 2048);
    EXPECT_EQ(read(reread, Name), "Nguyễn, Văn A");
    EXPECT_FALSE(read(reread, AutoStart));
    EXPECT_FALSE(reread.contains(GatekeeperHost.name)) << "not written until the user sets it";
}

TEST_F(DefaultsFile, FreshStoreGetsEveryKeyInTableOrderWithItsDefault)
{
    {
        QSettings settings(path(), QSettings::IniFormat);
        EXPECT_EQ(kxdefaults::writeMissing(settings), tableKeys());
    }
    const QByteArray text = readAll(path());
    // Each kind of value as the file has always held it.
    for (const char* line : {"name=Kestrovia\n", "address=\n", "autoAnswer=true\n", "jitter=250\n",
                             "stun=stun.sipgate.net:3478\n", "publicIP=0.0.0.0\n"})
        EXPECT_TRUE(text.contains(line)) << line;

    QSettings reread(path(), QSettings::IniFormat);
    for (const auto& entry : kxdefaults::table())
        EXPECT_EQ(reread.value(entry.key).toString(), entry.value.toString())
            << entry.key.toStdString();
    EXPECT_TRUE(kxdefaults::writeMissing(reread).isEmpty());
}

TEST_F(DefaultsFile, ExistingValuesAreNeverReplacedWhateverTheirType)
{
    {
        QSettings settings(path(), QSettings::IniFormat);
        settings.setValue("autoAnswer", false);
        settings.setValue("call/layout", "abc");
        settings.setValue("net/nat", QStringList{"a", "b"});
        settings.setValue("state/x", QSize(3, 4));
        settings.setValue("name", "");
        const QStringList written = kxdefaults::writeMissing(settings);
        QStringList expected = tableKeys();
        for (const char* key : {"autoAnswer", "call/layout", "net/nat", "state/x", "name"})
            expected.removeOne(key);
        EXPECT_EQ(written, expected);
    }
    QSettings reread(path(), QSettings::IniFormat);
    EXPECT_FALSE(reread.value("autoAnswer").toBool());
    EXPECT_EQ(reread.value("call/layout").toString(), "abc");
    EXPECT_EQ(reread.value("net/nat").toStringList(), (QStringList{"a", "b"}));
    EXPECT_EQ(reread.value("state/x").toSize(), QSize(3, 4));
    EXPECT_EQ(reread.value("name").toString(), "");
}

TEST(KxAppTrace, LevelBelowOneOrUnreadableBecomesFour)
{
    EXPECT_EQ(KxApp::traceLevelFor(0), 4);
    EXPECT_EQ(KxApp::traceLevelFor(-2), 4);
    EXPECT_EQ(KxApp::traceLevelFor("junk"), 4);
    EXPECT_EQ(KxApp::traceLevelFor(QVariant()), 4);
    EXPECT_EQ(KxApp::traceLevelFor(1), 1);
    EXPECT_EQ(KxApp::traceLevelFor("6"), 6);
}

TEST(KxAppTrace, DisabledWritesNoFileEnabledWritesTheFirstLine)
{
    const QString file = QDir::tempPath() + "/kestrovia_trace.log";
    EXPECT_EQ(file, sandbox->path() + "/tmp/kestrovia_trace.log");
    QFile::remove(file);

    app->settings->setValue("trace/enable", false);
    app->settings->setValue("trace/level", 6);
    app->startTrace();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(voip::Trace::level(), 0);

    app->settings->setValue("trace/enable", true);
    app->settings->setValue("trace/level", 0);
    app->startTrace();
    EXPECT_EQ(voip::Trace::level(), 4);
    voip::Trace::flush();
    const QByteArray text = readAll(file);
    EXPECT_TRUE(text.contains("\tPTRACE enabled level=4 file=" + file.toUtf8() + "\n"))
        << text.data();
    EXPECT_TRUE(text.contains("kxapp.cpp(")) << text.data();
    voip::Trace::close();
    app->settings->setValue("trace/enable", false);
}

TEST(KxAppDialForward, DialsThroughTheManagerAsACallTheUserDidNotPlace)
{
    std::uint16_t closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    const QString dest = "127.0.0.1:" + QString::number(closedPort);
    const QString lastBefore = app->manager->lastAddress();
    const QVariant addressBefore = app->settings->value("address");
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    app->DialForward("");
    KxManager* manager = app->manager;
    app->manager = nullptr;
    app->DialForward(dest);
    app->manager = manager;
    QMetaObject::invokeMethod(app, "DialForward", Qt::QueuedConnection, Q_ARG(QString, dest));
    QCoreApplication::processEvents();
    std::cout.rdbuf(old);
    const std::string text = captured.str();
    EXPECT_EQ(
        text.rfind("DialForward " + dest.toStdString() + "\nCalling " + dest.toStdString() + "\n",
                   0),
        0u)
        << text;
    EXPECT_EQ(app->manager->lastAddress(), lastBefore);
    EXPECT_EQ(app->settings->value("address"), addressBefore);
    // Nothing listens there: the call fails and the manager is idle again.
    QDeadlineTimer deadline(10000);
    while (app->manager->inCall() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(app->manager->inCall());
}

TEST(KxAppGeometry, FittedRectFollowsTheScreenRules)
{
    const QRect screen(0, 0, 1920, 1080);
    const QRect available(0, 0, 1920, 1040);
    // Far off any screen: centred on the primary screen with its size.
    EXPECT_EQ(KxApp::fittedRect(QRect(5000, 100, 1280, 720), available, available),
              QRect(320, 160, 1280, 720));
    // Too small: enlarged in place.
    EXPECT_EQ(KxApp::fittedRect(QRect(100, 100, 300, 200), available, available),
              QRect(100, 100, 640, 480));
    // Too big: at most the desktop.
    EXPECT_EQ(KxApp::fittedRect(QRect(0, 0, 4000, 3000), available, available),
              QRect(0, 0, 1920, 1040));
    // Title strip only 60 pixels on screen: not enough.
    EXPECT_EQ(KxApp::fittedRect(QRect(1860, 100, 800, 600), available, available),
              QRect(560, 220, 800, 600));
    // Title strip 80 pixels on screen: kept.
    EXPECT_EQ(KxApp::fittedRect(QRect(1840, 100, 800, 600), available, available),
              QRect(1840, 100, 800, 600));
    // Above the top edge, only 10 rows of the strip visible: recentred.
    EXPECT_EQ(KxApp::fittedRect(QRect(100, -40, 800, 600), available, available),
              QRect(560, 220, 800, 600));
    // Two screens side by side: a window on the second one stays there.
    const QRect both = available.united(QRect(1920, 0, 1280, 1024));
    EXPECT_EQ(KxApp::fittedRect(QRect(2000, 50, 1000, 700), both, available),
              QRect(2000, 50, 1000, 700));
    // No screens at all: only the minimum size applies.
    EXPECT_EQ(KxApp::fittedRect(QRect(10, 10, 100, 100), QRect(), QRect()),
              QRect(10, 10, 640, 480));
    (void)screen;
}

TEST(KxAppGeometry, WindowIsFittedAndItsGeometrySaved)
{
    MainWindow& window = *app->mainWindow;
    window.showNormal();
    const QRect desktop = app->virtualDesktop();
    ASSERT_FALSE(desktop.isEmpty());
    app->fitRect(desktop.x() + 10, desktop.y() + 20, 300, 200);
    EXPECT_EQ(window.pos(), QPoint(desktop.x() + 10, desktop.y() + 20));
    EXPECT_EQ(window.size(), QSize(qMin(640, desktop.width()), qMin(480, desktop.height())));

    app->settings->setValue("state/x", -1);
    window.move(desktop.x() + 30, desktop.y() + 40); // the move event saves
    QCoreApplication::processEvents();
    EXPECT_EQ(app->settings->value("state/x").toInt(), window.x());
    EXPECT_EQ(app->settings->value("state/y").toInt(), window.y());
    EXPECT_EQ(app->settings->value("state/width").toInt(), window.width());
    EXPECT_FALSE(app->settings->value("state/maximized").toBool());

    // Hidden or minimised windows are not saved.
    window.hide();
    app->settings->setValue("state/x", 12345);
    app->saveGeometry();
    EXPECT_EQ(app->settings->value("state/x").toInt(), 12345);
    window.show();

    // Restoring a position off every screen brings the window back.
    app->settings->setValue("state/x", desktop.right() + 5000);
    app->settings->setValue("state/y", 0);
    app->settings->setValue("state/width", 640);
    app->settings->setValue("state/height", 480);
    app->settings->setValue("state/maximized", false);
    app->restoreGeometry();
    EXPECT_TRUE(desktop.intersects(window.geometry()));
    EXPECT_TRUE(readAll(iniPath()).contains("[state]"));
}

TEST(KxAppGeometry, MaximisedStateIsRestoredAndSavedWithoutTheNormalPosition)
{
    MainWindow& window = *app->mainWindow;
    window.showNormal();
    QCoreApplication::processEvents();
    app->settings->setValue("state/maximized", true);
    app->restoreGeometry();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.isMaximized());

    // The state change saved itself; the normal position stays what it was.
    app->settings->setValue("state/maximized", false);
    app->settings->setValue("state/x", 777);
    app->saveGeometry();
    EXPECT_TRUE(app->settings->value("state/maximized").toBool());
    EXPECT_EQ(app->settings->value("state/x").toInt(), 777);

    app->fitToScreens(); // on screen already: stays maximised
    EXPECT_TRUE(window.isMaximized());

    window.showNormal();
    QCoreApplication::processEvents();
    EXPECT_FALSE(app->settings->value("state/maximized").toBool());
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir folder;
    if (!folder.isValid())
        return 2;
    sandbox = &folder;
    const QString base = folder.path();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("HOME", base.toUtf8());
    qputenv("XDG_CONFIG_HOME", (base + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (base + "/data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (base + "/runtime").toUtf8());
    qputenv("TMPDIR", (base + "/tmp").toUtf8());
    QDir().mkpath(base + "/tmp");
    QDir().mkpath(base + "/runtime");
    QFile::setPermissions(base + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    {
        // What an earlier run and a user editing the file by hand left behind.
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Kestrovia", "Kestrovia");
        settings.setValue("autoAnswer", false);
        settings.setValue("call/layout", "not-a-number");
        settings.setValue("language", "xx");
        QSettings filter(QSettings::IniFormat, QSettings::UserScope, "screen-capture-recorder",
                         "screen-capture-recorder");
        filter.setValue("hwnd_to_track", 4242);
        filter.setValue("other", "kept");
    }

    static char programName[] = "kxapp_test";
    static char* qtArguments[] = {programName, nullptr};
    int qtArgumentCount = 1;
    KxApp application(qtArgumentCount, qtArguments, "Kestrovia");
    if (KxApp::instance() != &application) {
        std::cerr << "the application did not start" << std::endl;
        return 2;
    }
    app = &application;
    return RUN_ALL_TESTS();
}
