// The real window telling the user how calls go, against kxcall on 127.0.0.1: the call
// being placed and its cancel button, why a call failed, who ended a call and how long it
// lasted, a caller who was missed; the history named after who was called, from the
// contacts as they are when the call ends.

#include <QDockWidget>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QStandardItemModel>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>
#include <QTranslator>

#include <gtest/gtest.h>

#include "KxPhone/kxdefaults.h"
#include "tests/KxPhone/clientkit.h"
#include "tests/support/testgatekeeper.h"
#include "tests/ui/modalkit.h"
#include "ui/widgetcall.h"
#include "ui/widgetcalling.h"
#include "ui/widgetcontacts.h"
#include "ui/elidedlabel.h"
#include "ui/widgethistory.h"
#include "ui/widgethome.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::onNextModal;
using kx::testutil::pumpUntil;

/// The English catalogue, for as long as the test runs.
struct English
{
    English()
    {
        EXPECT_TRUE(translator.load(":/locale/en.qm"));
        QCoreApplication::installTranslator(&translator);
    }
    ~English() { QCoreApplication::removeTranslator(&translator); }
    QTranslator translator;
};

/// A loopback port nothing listens on.
QString deadAddress()
{
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost));
    return "127.0.0.1:" + QString::number(probe.serverPort());
}

struct Dialler
{
    explicit Dialler(Client& client)
        : client(client)
        , home(*client.window.homePage())
        , calling(*client.window.callingPanel())
    {}

    /// Types `address` and presses Return, as a user does.
    void dial(const QString& address)
    {
        home.addressLine()->setText(address);
        QTest::keyClick(home.addressLine(), Qt::Key_Return);
    }
    bool placing() const
    {
        return calling.isVisibleTo(&client.window) && calling.cancelButton()->isVisibleTo(&calling);
    }
    /// Waits for the outcome of the call that is going on, and for the client to be idle.
    QString outcome(int timeoutMs = 20000)
    {
        const bool shown = pumpUntil(
            [&] {
                return calling.outcomeLabel()->isVisibleTo(&client.window) &&
                       !client.manager->inCall();
            },
            timeoutMs);
        EXPECT_TRUE(shown) << "no outcome shown";
        const QString text = calling.outcomeLabel()->text();
        calling.closeButton()->click();
        return text;
    }
    /// The newest history entry, once there are `count`.
    Recent newest(int count)
    {
        EXPECT_TRUE(pumpUntil([&] { return client.recents.recents().size() >= count; }));
        return client.recents.recents().value(0);
    }

    Client& client;
    WidgetHome& home;
    WidgetCalling& calling;
};

TEST(WindowOutcome, FailedCallsSayWhyAndTheHistoryNamesWhoWasCalled)
{
    Client client;
    client.connectWindow();
    English english;
    Dialler user(client);

    // Nothing listens at the address.
    const QString dead = deadAddress();
    user.dial(dead);
    EXPECT_TRUE(user.placing()) << "the call being placed shows at once";
    EXPECT_EQ(user.calling.whoLabel()->toolTip(), "Calling " + dead);
    EXPECT_TRUE(user.home.messageLabel()->isHidden());
    EXPECT_EQ(user.outcome(), "The call to " + dead +
                                  " failed: nothing answers at that address (no video system is "
                                  "listening there, or it is switched off)");
    Recent recent = user.newest(1);
    EXPECT_EQ(recent.name, dead);
    EXPECT_EQ(recent.ip, dead);
    EXPECT_EQ(recent.status, "failure");

    // Busy, at a contact added after the client started.
    Kxcall busy({"--listen", "0", "--calls", "0", "--release-cause", "17"});
    client.contacts.addContact("Room Busy", busy.address(), "", "", "H.323");
    user.dial(busy.address());
    EXPECT_EQ(user.calling.whoLabel()->toolTip(), "Calling Room Busy");
    EXPECT_EQ(user.outcome(), "The call to Room Busy failed: the line is busy");
    EXPECT_EQ(user.newest(2).name, "Room Busy");
    // The history keeps why, and says it in the language of the day.
    client.window.historyPage()->UpdateData();
    EXPECT_TRUE(client.window.historyPage()->model()->item(0, 0)->toolTip().contains(
        "Status: Failure (the line is busy)"))
        << client.window.historyPage()->model()->item(0, 0)->toolTip().toStdString();

    // Refused (cause 21).
    Kxcall refusing({"--listen", "0", "--calls", "0", "--answer", "reject"});
    user.dial(refusing.address());
    EXPECT_EQ(user.outcome(),
              "The call to " + refusing.address() + " failed: the call was refused");

    // A temporary failure is tried once more, and then told.
    Kxcall failing({"--listen", "0", "--calls", "0", "--release-cause", "41"});
    user.dial(failing.address());
    EXPECT_EQ(user.outcome(), "The call to " + failing.address() +
                                  " failed: a temporary failure at the far end, also on a second "
                                  "try");
    failing.read();
    EXPECT_EQ(failing.count("incoming call"), 2);
    EXPECT_EQ(user.newest(4).status, "failure");

    // A name that does not resolve.
    user.dial("no-such-host.invalid");
    EXPECT_EQ(user.outcome(), "The call to no-such-host.invalid failed: no host of that name was "
                              "found (an alias alone needs a gatekeeper, or alias@host)");
    recent = user.newest(5);
    EXPECT_EQ(recent.name, "no-such-host.invalid");
    EXPECT_EQ(client.recents.recents().size(), 5) << "one record a call, the retry included";
    for (const Recent& each : client.recents.recents())
        EXPECT_NE(each.name, "*");
}

TEST(WindowOutcome, WhatWasSaidIsSaidAgainWhenTheLanguageChanges)
{
    Client client;
    client.connectWindow();
    English english;
    Dialler user(client);
    const QString dead = deadAddress();
    user.dial(dead);
    ASSERT_TRUE(pumpUntil([&] {
        return user.calling.outcomeLabel()->isVisibleTo(&client.window) &&
               !client.manager->inCall();
    }));
    const QString outcome = user.calling.outcomeLabel()->text();
    user.dial("  ");
    const QString refusal = user.home.messageLabel()->text();
    ASSERT_FALSE(refusal.isEmpty());

    // Vietnamese: the outcome and the refusal already on screen follow.
    QTranslator vietnamese;
    ASSERT_TRUE(vietnamese.load(":/locale/vn.qm"));
    QCoreApplication::installTranslator(&vietnamese);
    QCoreApplication::processEvents();
    const QString outcomeThen = user.calling.outcomeLabel()->text();
    EXPECT_NE(outcomeThen, outcome);
    EXPECT_TRUE(outcomeThen.contains(dead)) << outcomeThen.toStdString();
    EXPECT_EQ(user.home.messageLabel()->text(),
              QCoreApplication::translate("KxManager", "no-address-given"));
    EXPECT_NE(user.home.messageLabel()->text(), refusal);
    EXPECT_EQ(user.calling.outcomeLabel()->toolTip(), outcomeThen);

    // And back.
    QCoreApplication::removeTranslator(&vietnamese);
    QCoreApplication::processEvents();
    EXPECT_EQ(user.calling.outcomeLabel()->text(), outcome);
    EXPECT_EQ(user.home.messageLabel()->text(), refusal);
}

TEST(WindowOutcome, AGatekeeperThatDoesNotAnswerIsToldAtItsFirstSilence)
{
    voip::testutil::TestGatekeeper gatekeeper;
    gatekeeper.silent = true;
    Client client(true, [&](QSettings& settings) {
        kxdefaults::write(settings, kxdefaults::GatekeeperMode, 2);
        kxdefaults::write(settings, kxdefaults::GatekeeperHost,
                          QString::fromStdString(gatekeeper.address()));
        kxdefaults::write(settings, kxdefaults::GatekeeperAlias, QString("alpha"));
    });
    client.connectWindow();
    English english;
    // Said at the first unanswered request; while it is tried again, one state.
    const QRegularExpression retry("^The gatekeeper does not answer; trying again( in \\d+ s)?$");
    ASSERT_TRUE(
        pumpUntil([&] { return retry.match(client.manager->gatekeeperStatus()).hasMatch(); }, 8000))
        << client.manager->gatekeeperStatus().toStdString();
    // A bare name is an alias, which only a gatekeeper that registered us can find.
    Dialler user(client);
    user.dial("room1");
    EXPECT_EQ(user.outcome(), "The call to room1 failed: a name without a host is called "
                              "through the gatekeeper, and it has not registered this client");
}

TEST(WindowOutcome, ARingingCallShowsItAndCancelClearsItAtOnce)
{
    Client client;
    client.connectWindow();
    English english;
    Dialler user(client);
    Kxcall silent({"--listen", "0", "--calls", "0", "--answer", "never"});
    user.dial(silent.address());
    ASSERT_TRUE(user.placing());
    EXPECT_EQ(user.calling.stateLabel()->text(), "Connecting...");
    ASSERT_TRUE(pumpUntil([&] { return user.calling.stateLabel()->text() == "Ringing..."; }));
    ASSERT_TRUE(silent.waitFor("incoming call"));
    // Call pressed again meanwhile is turned away, and that word goes with the call.
    user.home.callButton()->click();
    EXPECT_EQ(user.home.messageLabel()->text(), "A call is in progress");
    user.calling.cancelButton()->click();
    EXPECT_FALSE(user.placing()) << "the calling state goes with the click";
    ASSERT_TRUE(silent.waitFor("cleared", 1, 5000)) << "the far end stopped ringing";
    EXPECT_EQ(user.outcome(5000), "Call to " + silent.address() + " cancelled");
    EXPECT_EQ(user.newest(1).status, "failure") << "a call nobody answered";
    EXPECT_TRUE(user.home.messageLabel()->isHidden());
}

TEST(WindowOutcome, AnEndedCallSaysWhoEndedItAndHowLongItLasted)
{
    Client client;
    client.connectWindow();
    English english;
    Dialler user(client);
    const QRegularExpression length("\\((0:0[0-9])\\)$");
    {
        Kxcall hangsUp({"--listen", "0", "--calls", "0", "--hangup-after", "1", "--name", "Zoë"});
        user.dial(hangsUp.address());
        const QString text = user.outcome();
        EXPECT_TRUE(text.startsWith("Zoë ended the call (")) << text.toStdString();
        const auto match = length.match(text);
        ASSERT_TRUE(match.hasMatch()) << text.toStdString();
        EXPECT_NE(match.captured(1), "0:00") << "it lasted about a second";
        const Recent recent = user.newest(1);
        EXPECT_EQ(recent.name, "Zoë") << "the name the far end gave";
        EXPECT_EQ(recent.status, "success");
    }
    {
        Kxcall stays({"--listen", "0", "--calls", "0", "--name", "Zoë"});
        user.dial(stays.address());
        ASSERT_TRUE(stays.waitFor("established"));
        ASSERT_TRUE(pumpUntil([&] { return !user.calling.isVisibleTo(&client.window); }))
            << "the calling state ends with the answer";
        client.manager->hangUp();
        const QString text = user.outcome();
        EXPECT_TRUE(text.startsWith("Call with Zoë ended (")) << text.toStdString();
        EXPECT_TRUE(length.match(text).hasMatch()) << text.toStdString();
    }
}

TEST(WindowOutcome, MissedAndDeclinedCallersAreToldAndRecordedByName)
{
    Client client(false);
    client.connectWindow();
    English english;
    Dialler user(client);
    QStringList faded;
    QObject::connect(client.window.callToolbar(), &WidgetCall::signalShowFade,
                     client.window.callToolbar(), [&](const QString& text) { faded << text; });

    // A second caller during a call is turned away, told over the toolbar and recorded.
    onNextModal<QMessageBox>([](QMessageBox& box) {
        for (QAbstractButton* button : box.buttons())
            if (box.buttonRole(button) == QMessageBox::YesRole)
                button->click();
    });
    Kxcall first({"--call", client.address(), "--calls", "1"});
    ASSERT_TRUE(first.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return client.window.homeDock()->isHidden(); }));
    {
        Kxcall second({"--call", client.address(), "--calls", "1", "--name", "Ann"});
        ASSERT_TRUE(second.waitFor("cleared"));
        EXPECT_EQ(second.count("established"), 0);
    }
    ASSERT_TRUE(pumpUntil([&] {
        return faded.contains("Missed call from Ann (you were in another call)");
    })) << faded.join(" | ").toStdString();
    Recent recent = user.newest(1);
    EXPECT_EQ(recent.name, "Ann");
    EXPECT_EQ(recent.flow, "incoming");
    EXPECT_EQ(recent.status, "failure");
    EXPECT_TRUE(client.manager->inCall()) << "the first call goes on";
    client.manager->hangUp();
    ASSERT_TRUE(first.waitFor("cleared"));
    ASSERT_TRUE(client.idle());
    user.outcome();

    // A declined caller is recorded under the name the prompt showed.
    onNextModal<QMessageBox>([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    {
        Kxcall declined({"--call", client.address(), "--calls", "1", "--name", "Bob"});
        ASSERT_TRUE(declined.waitFor("cleared"));
    }
    recent = user.newest(3);
    EXPECT_EQ(recent.name, "Bob");
    EXPECT_EQ(recent.status, "failure");

    // A caller who gives up while the prompt is open is a missed call, named as it names
    // itself: a contact of its host alone (added just now) is another system there.
    client.contacts.addContact("Front desk", "127.0.0.1", "", "", "H.323");
    auto caller = std::make_unique<Kxcall>(
        QStringList{"--call", client.address(), "--calls", "1", "--name", "Ann"});
    onNextModal<QMessageBox>([&](QMessageBox&) { caller->process.kill(); });
    EXPECT_EQ(user.outcome(30000), "Missed call from Ann");
    EXPECT_EQ(user.newest(4).name, "Ann");
}

TEST(WindowOutcome, RedirectionsThatCannotBeFollowedEndTheAttemptWithAWord)
{
    Client client;
    client.connectWindow();
    English english;
    Dialler user(client);
    {
        // To a bare alias, without a gatekeeper: dialled as a host name, which is not found.
        Kxcall redirector({"--listen", "0", "--calls", "0", "--redirect", "room1"});
        user.dial(redirector.address());
        EXPECT_EQ(user.outcome(), "The call to " + redirector.address() +
                                      ", sent on to room1 failed: no host of that name, and a "
                                      "name without a host needs a gatekeeper to call through");
        const Recent recent = user.newest(1);
        EXPECT_EQ(recent.ip, redirector.address());
        EXPECT_EQ(recent.status, "failure");
    }
    {
        // To something that cannot be dialled at all.
        Kxcall redirector({"--listen", "0", "--calls", "0", "--redirect", "127.0.0.1:99999"});
        user.dial(redirector.address());
        EXPECT_EQ(user.outcome(), redirector.address() +
                                      " sent the call on to 127.0.0.1:99999, which cannot be "
                                      "called: \"127.0.0.1:99999\" is not an address that can be "
                                      "called");
        EXPECT_TRUE(client.window.callDock()->isHidden());
        EXPECT_FALSE(client.window.homeDock()->isHidden());
        EXPECT_EQ(user.newest(2).ip, redirector.address());
    }
    EXPECT_EQ(client.recents.recents().size(), 2);
}

TEST(WindowOutcome, AHostNameWithoutADotIsDialled)
{
    // The machine's own name stands in for "mcu" on a LAN.
    const QString name = QHostInfo::localHostName();
    bool loopback = false;
    for (const QHostAddress& address : QHostInfo::fromName(name).addresses())
        loopback = loopback || address.isLoopback();
    if (name.contains('.') || !loopback)
        GTEST_SKIP() << "this machine's name (" << name.toStdString()
                     << ") has a dot or does not resolve to a loopback address";
    Client client;
    client.connectWindow();
    Dialler user(client);
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "1"});
    const QString address = name + ":" + peer.address().section(':', 1);
    user.dial(address);
    EXPECT_TRUE(user.home.messageLabel()->isHidden())
        << user.home.messageLabel()->text().toStdString();
    ASSERT_TRUE(peer.waitFor("established"));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
}

} // namespace

namespace {

TEST(WindowOutcome, LongTextsNeverWidenTheWindow)
{
    Client client;
    client.connectWindow();
    English english;
    client.window.resize(640, 480);
    client.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&client.window));
    const QSize size = client.window.size();
    Dialler user(client);
    const QString word = QString("c").repeated(300); // nowhere to wrap
    QPushButton* zero = nullptr;
    for (QPushButton* button : user.home.findChildren<QPushButton*>())
        if (button->text() == "0")
            zero = button;
    ASSERT_TRUE(zero);
    const auto where = [&](QWidget* widget) { return widget->mapTo(&client.window, QPoint()); };
    const QPoint keypad = where(zero);
    const QPoint call = where(user.home.callButton());

    // A 300-character address, refused and then told; the keypad stays where it was.
    user.home.addressLine()->setText(word);
    QTest::keyClick(user.home.addressLine(), Qt::Key_Return);
    ASSERT_FALSE(user.home.messageLabel()->isHidden());
    user.home.showMessage(word + " " + word);
    EXPECT_EQ(user.home.messageLabel()->toolTip(), word + " " + word);
    QCoreApplication::processEvents();
    EXPECT_EQ(client.window.size(), size);
    EXPECT_EQ(where(zero), keypad);
    EXPECT_EQ(where(user.home.callButton()), call);

    // Calling someone of a long name (which clears the message), and a long outcome.
    user.home.showMessage(QString());
    client.window.showCalling(word);
    QCoreApplication::processEvents();
    EXPECT_EQ(client.window.size(), size);
    client.window.showCallEnded(word);
    QCoreApplication::processEvents();
    EXPECT_EQ(client.window.size(), size);
    EXPECT_EQ(user.calling.outcomeLabel()->toolTip(), word);
    // A long outcome of many words takes more lines, up to six; a short one keeps three.
    auto* outcome = static_cast<ElidedLabel*>(user.calling.outcomeLabel());
    const int three = outcome->height();
    const QString words = QString("word ").repeated(120).trimmed();
    client.window.showCallEnded(words);
    QCoreApplication::processEvents();
    EXPECT_GT(outcome->height(), three);
    EXPECT_EQ(outcome->shownLines(outcome->contentsRect().width()).size(), 6);
    EXPECT_TRUE(outcome->elided());
    EXPECT_EQ(client.window.size(), size);
    client.window.showCallEnded("Call ended");
    QCoreApplication::processEvents();
    EXPECT_EQ(outcome->height(), three);

    // A call with a far end of a long name, a contact and a history entry of such names.
    {
        Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "0", "--name", word});
        client.contacts.addContact(word, peer.address(), word, "", "H.323");
        user.dial(peer.address());
        ASSERT_TRUE(peer.waitFor("established"));
        QTest::qWait(300);
        EXPECT_EQ(client.window.size(), size);
        client.manager->hangUp();
        user.outcome();
    }
    client.window.contactsPage()->UpdateData();
    client.window.historyPage()->UpdateData();
    for (int tab : {2, 4, 0}) {
        client.window.tabs()->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        EXPECT_EQ(client.window.size(), size) << "tab " << tab;
    }
}

} // namespace
