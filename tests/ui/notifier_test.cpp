// Notices through a desktop notification service on a session bus of the test's own
// (a dbus-daemon it starts), and the fall-back when that service goes away.

#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QDeadlineTimer>
#include <QCoreApplication>
#include <QVariantMap>

#include <gtest/gtest.h>

#include "tests/resources/test_application.h"
#include "tests/support/pumpuntil.h"
#include "tests/support/toolskip.h"

namespace {

using kxtest::pumpUntil;

/// A stand-in for the desktop's notification daemon: it records what it is asked to show.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown
    {
        QString app, summary, body;
        int timeout;
    };
    QList<Shown> shown;

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int timeout)
    {
        shown << Shown{app, summary, body, timeout};
        return uint(shown.size());
    }
};

TEST(Notifier, GoesThroughTheDesktopServiceAndFallsBackWhenItIsGone)
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        KX_SKIP_WITHOUT_TOOL() << "no dbus-daemon";
    testApplication();
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon.waitForStarted(5000));
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    ASSERT_FALSE(address.isEmpty());
    // The notifier uses the session bus, made on first use from this variable.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());

    QDBusConnection service = QDBusConnection::connectToBus(address, "fake-notifications");
    ASSERT_TRUE(service.isConnected());
    FakeNotifications fake;
    ASSERT_TRUE(service.registerObject("/org/freedesktop/Notifications", &fake,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));

    Notifier notifier;
    QSignalSpy delivered(&notifier, &Notifier::delivered);
    QElapsedTimer clock;
    clock.start();
    notifier.notify("Cuộc gọi đến", "Từ: Bảo", 5000);
    // Nothing waits for the bus.
    EXPECT_LT(clock.elapsed(), 200);
    ASSERT_TRUE(pumpUntil([&] { return delivered.count() == 1; }));
    EXPECT_EQ(delivered.at(0).at(0).value<Notifier::Route>(), Notifier::Route::Desktop);
    ASSERT_EQ(fake.shown.size(), 1);
    EXPECT_EQ(fake.shown[0].app, "Kestrovia");
    EXPECT_EQ(fake.shown[0].summary, "Cuộc gọi đến");
    EXPECT_EQ(fake.shown[0].body, "Từ: Bảo");
    EXPECT_EQ(fake.shown[0].timeout, 5000);

    // The service leaves: the notice is not lost silently, it reports where it went (no
    // tray here, so nowhere).
    ASSERT_TRUE(service.unregisterService("org.freedesktop.Notifications"));
    notifier.notify("Kestrovia", "App minimized to tray", 5000);
    ASSERT_TRUE(pumpUntil([&] { return delivered.count() == 2; }));
    EXPECT_EQ(delivered.at(1).at(0).value<Notifier::Route>(), Notifier::Route::None);
    EXPECT_EQ(delivered.at(1).at(1).toString(), "App minimized to tray");
    EXPECT_EQ(fake.shown.size(), 1);

    QDBusConnection::disconnectFromBus("fake-notifications");
    daemon.terminate();
    daemon.waitForFinished(3000);
}

} // namespace

#include "notifier_test.moc"
