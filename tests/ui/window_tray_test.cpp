// The window and the system tray, on an X server of the test's own whose tray host the
// test plays: closing the window during a call hides it to the tray and says the call goes
// on; once the tray host has gone, closing asks instead, naming the call, and No keeps the
// window and the call; the tray's menu shows the window and hangs up.

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/KxPhone/clientkit.h"
#include "tests/KxPhone/testdesktop.h"
#include "tests/support/toolskip.h"
#include "tests/ui/modalkit.h"
#include "ui/notifier.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::onNextModal;
using kx::testutil::pumpUntil;
using kx::testutil::TestDesktop;

QAction* trayAction(MainWindow& window, const char* key)
{
    for (auto* tray : window.findChildren<QSystemTrayIcon*>())
        for (QAction* action : tray->contextMenu()->actions())
            if (action->text() == QCoreApplication::translate("MainWindow", key) ||
                action->text() == QCoreApplication::translate("WidgetCall", key))
                return action;
    return nullptr;
}

TEST(WindowTray, CloseHidesToATrayThatIsThereAndAsksOnceItHasGone)
{
    TestDesktop desktop;
    if (!TestDesktop::available())
        KX_SKIP_WITHOUT_TOOL() << "Xvfb or openbox not installed";
    ASSERT_TRUE(desktop.start());
    ASSERT_TRUE(desktop.startTray());
    qputenv("QT_QPA_PLATFORM", "xcb");
    testApplication();
    ASSERT_TRUE(pumpUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));

    {
        Client client(true);
        client.connectWindow();
        client.window.show();
        QStringList told;
        QObject::connect(client.window.notifier(), &Notifier::delivered, &client.window,
                         [&](Notifier::Route, const QString& text) { told << text; });
        ASSERT_NE(trayAction(client.window, "show"), nullptr);
        QAction* hangUp = trayAction(client.window, "end-call");
        ASSERT_NE(hangUp, nullptr);
        EXPECT_FALSE(hangUp->isEnabled()) << "no call";

        Kxcall caller({"--call", client.address(), "--calls", "1", "--name", "Zoë"});
        ASSERT_TRUE(caller.waitFor("established"));
        ASSERT_TRUE(pumpUntil([&] { return hangUp->isEnabled(); }));
        // With a tray: hidden there, and told that the call goes on.
        client.window.close();
        EXPECT_TRUE(client.window.isHidden());
        EXPECT_TRUE(pumpUntil([&] {
            return told.contains(QCoreApplication::translate("MainWindow", "app-in-tray-call-goes-on"));
        })) << told.join(" | ").toStdString();
        trayAction(client.window, "show")->trigger();
        EXPECT_TRUE(client.window.isVisible());

        // The tray host goes: closing asks, naming the call; No keeps window and call.
        desktop.stopTray();
        ASSERT_TRUE(pumpUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
        QString asked;
        onNextModal<QMessageBox>([&](QMessageBox& box) {
            asked = box.text();
            box.button(QMessageBox::No)->click();
        });
        client.window.close();
        EXPECT_EQ(asked, QCoreApplication::translate("MainWindow", "end-call-and-quit").arg("Zoë"));
        EXPECT_TRUE(client.window.isVisible());
        EXPECT_TRUE(client.manager->inCall());

        // The tray's Hang up ends the call.
        hangUp->trigger();
        EXPECT_TRUE(caller.waitFor("cleared"));
        ASSERT_TRUE(client.idle());
    }
    desktop.stop();
}

} // namespace
