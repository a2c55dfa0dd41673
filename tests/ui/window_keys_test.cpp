// The real window's keyboard and closing during a call with kxcall on 127.0.0.1: the inset
// picture's shortcut before its panel was ever opened, full screen in and out with F11 and
// Escape, the dialpad's telephone keys, and closing the window without a tray asking first.

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDockWidget>
#include <QFrame>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTranslator>
#include <QTreeView>
#include <QComboBox>
#include <QMenu>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include "tests/KxPhone/clientkit.h"
#include "tests/ui/modalkit.h"
#include "ui/callbutton.h"
#include "ui/contactdialog.h"
#include "ui/widgetcontacts.h"
#include "ui/widgethistory.h"
#include "ui/widgethome.h"
#include "ui/videowidget.h"
#include "ui/widgetcall.h"
#include "ui/widgetdialpad.h"
#include "ui/language.h"
#include "ui/widgetsettings.h"
#include "ui/widgetsettingscall.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::onNextModal;
using kx::testutil::pumpUntil;

bool inCallView(MainWindow& window)
{
    return window.callDock()->isVisible() && window.homeDock()->isHidden();
}

/// A call from the client's window to a kxcall that stays until it is hung up.
struct CallInProgress
{
    CallInProgress()
    {
        client.connectWindow();
        client.window.show();
        client.window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&client.window));
        EXPECT_EQ(client.manager->placeCall(peer.address(), true), "");
        established =
            peer.waitFor("established") && pumpUntil([this] { return inCallView(client.window); });
    }
    /// Presses `key` where the user's keyboard is.
    void press(QKeySequence key)
    {
        QWidget* target =
            QApplication::focusWidget() ? QApplication::focusWidget() : &client.window;
        QTest::keySequence(target, key);
    }

    Client client;
    Kxcall peer{{"--listen", "0", "--bind", "127.0.0.1", "--calls", "0", "--name", "Peer"}};
    bool established = false;
};

TEST(WindowKeys, ShortcutsWorkFromTheStartAndFullScreenIsLeftWithEscapeOrF11)
{
    CallInProgress call;
    ASSERT_TRUE(call.established);
    WidgetCall& toolbar = *call.client.window.callToolbar();
    QSettings& settings = call.client.settings;

    // Ctrl+2 moves the inset picture though the in-call settings were never opened.
    ASSERT_TRUE(toolbar.settingsPanel()->isHidden());
    const int pip = settings.value("call/pip").toInt();
    call.press(QKeySequence("Ctrl+2"));
    EXPECT_EQ(settings.value("call/pip").toInt(), WidgetSettingsCall::nextPiP(pip));
    call.press(QKeySequence("Ctrl+2"));
    EXPECT_EQ(settings.value("call/pip").toInt(),
              WidgetSettingsCall::nextPiP(WidgetSettingsCall::nextPiP(pip)));

    // The full-screen button names its key, and the key works both ways, as does Escape.
    EXPECT_TRUE(toolbar.fullScreenButton()->toolTip().endsWith("[F11]"))
        << toolbar.fullScreenButton()->toolTip().toStdString();
    call.press(QKeySequence(Qt::Key_Escape));
    EXPECT_FALSE(call.client.window.isFullScreen()) << "Escape does nothing out of full screen";
    call.press(QKeySequence(Qt::Key_F11));
    ASSERT_TRUE(pumpUntil([&] { return call.client.window.isFullScreen(); }));
    EXPECT_TRUE(toolbar.leaveFullScreenAction()->isEnabled());
    EXPECT_EQ(toolbar.fullScreenButton()->iconPath(), ":/img/restore.png");
    call.press(QKeySequence(Qt::Key_Escape));
    ASSERT_TRUE(pumpUntil([&] { return !call.client.window.isFullScreen(); }));
    EXPECT_FALSE(toolbar.leaveFullScreenAction()->isEnabled()) << "Escape is free again";
    EXPECT_EQ(toolbar.fullScreenButton()->iconPath(), ":/img/fullscreen.png");
    call.press(QKeySequence(Qt::Key_F11));
    ASSERT_TRUE(pumpUntil([&] { return call.client.window.isFullScreen(); }));
    call.press(QKeySequence(Qt::Key_F11));
    ASSERT_TRUE(pumpUntil([&] { return !call.client.window.isFullScreen(); }));
    EXPECT_TRUE(call.client.manager->inCall()) << "none of this touched the call";
}

TEST(WindowKeys, ClosingTheWindowWithoutATrayAsksBeforeEndingTheCall)
{
    CallInProgress call;
    ASSERT_TRUE(call.established);
    MainWindow& window = call.client.window;

    // No: the call and the window stay.
    QString asked;
    onNextModal<QMessageBox>([&](QMessageBox& box) {
        asked = box.objectName();
        box.button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(window.close());
    EXPECT_EQ(asked, "exitBox");
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(call.client.manager->inCall());
    EXPECT_EQ(call.peer.count("cleared"), 0);

    // Yes: the call is hung up before the window goes.
    asked.clear();
    onNextModal<QMessageBox>([&](QMessageBox& box) {
        asked = box.objectName();
        box.button(QMessageBox::Yes)->click();
    });
    EXPECT_TRUE(window.close());
    EXPECT_EQ(asked, "exitBox");
    EXPECT_TRUE(call.peer.waitFor("cleared"));
    EXPECT_TRUE(call.client.idle());

    // Out of a call, closing asks nothing.
    window.show();
    EXPECT_TRUE(window.close());
}

TEST(WindowKeys, TheAutoHiddenToolbarComesBackWhenThePointerMovesOverThePicture)
{
    CallInProgress call;
    ASSERT_TRUE(call.established);
    MainWindow& window = call.client.window;
    call.client.settings.setValue("call/autohide", true);
    window.setAutoHide(true);
    const QRect frame = window.frameGeometry();
    // The picture keeps its place and size while the toolbar hides and comes back.
    const auto picture = [&] {
        QCoreApplication::processEvents();
        const QFrame* shown = window.videoWidget()->frame();
        return QRect(shown->mapTo(&window, QPoint()), shown->size());
    };
    const QRect placed = picture();
    QCursor::setPos(frame.bottomRight() + QPoint(50, 50)); // away from the toolbar
    window.onTimer();
    ASSERT_TRUE(window.callDock()->isHidden());
    EXPECT_EQ(picture(), placed) << "hidden toolbar";

    // The picture is another program's window in ours, which takes the motion events: the
    // pointer's moving is what counts.
    QTest::qWait(400);
    EXPECT_TRUE(window.callDock()->isHidden()) << "a pointer that stays away changes nothing";
    QCursor::setPos(frame.center());
    EXPECT_TRUE(pumpUntil([&] { return !window.callDock()->isHidden(); }, 2000));
    EXPECT_FALSE(window.pointerWatch()->isActive());
    EXPECT_EQ(picture(), placed) << "toolbar back";

    // Hidden again, and a pointer moving outside the window leaves it hidden.
    QCursor::setPos(frame.bottomRight() + QPoint(50, 50));
    window.onTimer();
    ASSERT_TRUE(window.callDock()->isHidden());
    QCursor::setPos(frame.bottomRight() + QPoint(80, 60));
    QTest::qWait(400);
    EXPECT_TRUE(window.callDock()->isHidden());
    window.setAutoHide(false);
    EXPECT_FALSE(window.callDock()->isHidden());
}

TEST(WindowKeys, ListsAddCallAndRemoveFromTheKeyboardAndTheContactDialogSaysWhatIsWrong)
{
    Client client;
    client.connectWindow();
    client.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&client.window));
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "0", "--name", "Peer"});
    WidgetContacts& contacts = *client.window.contactsPage();
    for (int tab : {0, 2, 4})
        EXPECT_FALSE(client.window.tabs()->tabToolTip(tab).isEmpty()) << "tab " << tab;
    client.window.tabs()->setCurrentIndex(2);
    contacts.UpdateData();
    ASSERT_EQ(contacts.model()->rowCount(), 0);

    // An empty list still shows the way to add one; the dialog says why it will not save.
    ASSERT_TRUE(contacts.addButton()->isVisible());
    ContactDialog& dialog = *contacts.dialog();
    QStringList problems;
    onNextModal<ContactDialog>([&](ContactDialog& open) {
        open.saveButton()->click(); // nothing typed
        problems << (open.problemLabel()->isVisible() ? open.problemLabel()->text() : "");
        open.nameField()->setText("Peer");
        open.ipField()->setText("not an ip");
        open.saveButton()->click();
        problems << (open.problemLabel()->isVisible() ? open.problemLabel()->text() : "");
        EXPECT_TRUE(open.ipField()->hasFocus() || !open.isActiveWindow());
        open.ipField()->setText(peer.address());
        open.saveButton()->click();
    });
    contacts.addButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(problems, QStringList({"name-needed", "address-not-callable"})); // no catalogue
    ASSERT_EQ(client.contacts.contacts().size(), 1);
    ASSERT_EQ(contacts.model()->rowCount(), 1);

    // A double click on the row calls it.
    QTreeView& view = *contacts.view();
    const QModelIndex first = contacts.model()->index(0, 1);
    view.setCurrentIndex(first);
    QCoreApplication::processEvents();
    ASSERT_TRUE(view.isVisible());
    const QPoint row = view.visualRect(first).center();
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, row); // as a real double click begins
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, row);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, row);
    ASSERT_TRUE(peer.waitFor("established"));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());

    // Enter on the history's row calls again.
    WidgetHistory& history = *client.window.historyPage();
    client.window.tabs()->setCurrentIndex(4);
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 1; }));
    history.UpdateData();
    ASSERT_EQ(history.model()->rowCount(), 1);
    history.view()->setCurrentIndex(history.model()->index(0, 1));
    QTest::keyClick(history.view(), Qt::Key_Return);
    ASSERT_TRUE(peer.waitFor("established", 2));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 2; }));
    history.UpdateData();

    // Delete asks first: No keeps the entry, Yes removes it.
    history.view()->setCurrentIndex(history.model()->index(0, 1));
    onNextModal<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::No)->click(); });
    QTest::keyClick(history.view(), Qt::Key_Delete);
    EXPECT_EQ(client.recents.recents().size(), 2);
    onNextModal<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
    QTest::keyClick(history.view(), Qt::Key_Delete);
    EXPECT_EQ(client.recents.recents().size(), 1);
    client.window.tabs()->setCurrentIndex(2);
    view.setCurrentIndex(contacts.model()->index(0, 1));
    onNextModal<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
    QTest::keyClick(&view, Qt::Key_Delete);
    EXPECT_TRUE(client.contacts.contacts().isEmpty());
    EXPECT_EQ(contacts.model()->rowCount(), 0);
}

TEST(WindowKeys, ALanguageAppliedInTheSettingsTakesTheRunningWindowAtOnce)
{
    Client client;
    client.settings.setValue("language", "en");
    kxlanguage::apply("en");
    client.connectWindow();
    client.window.show();
    QTranslator vn;
    ASSERT_TRUE(vn.load(":/locale/vn.qm"));
    const auto vietnamese = [&](const char* context, const char* key) {
        return vn.translate(context, key);
    };
    MainWindow& window = client.window;
    WidgetHome& home = *window.homePage();
    ASSERT_EQ(home.callButton()->text(), "Call");

    // Tiếng Việt, applied on the General page.
    window.onSettings();
    WidgetSettings* dialog = window.settingsDialog();
    ASSERT_TRUE(dialog && dialog->isVisible());
    dialog->general()->language->setCurrentIndex(1);
    emit dialog->general()->language->activated(1);
    dialog->onApply();
    EXPECT_EQ(client.settings.value("language").toString(), "vn");
    ASSERT_TRUE(
        pumpUntil([&] { return home.callButton()->text() == vietnamese("WidgetHome", "call"); }));
    EXPECT_EQ(home.addressLine()->placeholderText(), vietnamese("WidgetHome", "enter-address"));
    EXPECT_EQ(window.tabs()->tabToolTip(2), vietnamese("WidgetContacts", "contacts"));
    EXPECT_EQ(window.contactsPage()->addButton()->text(),
              vietnamese("WidgetContacts", "add-contact"));
    EXPECT_EQ(window.contactsPage()->emptyMenu().actions().first()->text(),
              vietnamese("WidgetContacts", "add-contact"));
    EXPECT_EQ(window.contactsPage()->model()->horizontalHeaderItem(1)->text(),
              vietnamese("WidgetContacts", "name"));
    EXPECT_EQ(window.callToolbar()->endButton()->toolTip(), vietnamese("WidgetCall", "end-call"));
    EXPECT_EQ(window.contactsPage()->dialog()->saveButton()->text(),
              vietnamese("WidgetContacts", "save"));
    // The settings dialog opens again, in the new language, on the same page.
    ASSERT_TRUE(pumpUntil([&] {
        return window.settingsDialog() && window.settingsDialog() != dialog &&
               window.settingsDialog()->isVisible();
    }));
    dialog = window.settingsDialog();
    EXPECT_EQ(dialog->tabs()->currentIndex(), 0);
    EXPECT_EQ(dialog->general()->language->currentIndex(), 1);
    EXPECT_EQ(dialog->applyButton()->text(), vietnamese("WidgetSettings", "apply"));

    // And back to English.
    dialog->general()->language->setCurrentIndex(0);
    emit dialog->general()->language->activated(0);
    dialog->onApply();
    ASSERT_TRUE(pumpUntil([&] { return home.callButton()->text() == "Call"; }));
    EXPECT_EQ(window.callToolbar()->endButton()->toolTip(), "End call");
    dialog = nullptr;
    ASSERT_TRUE(pumpUntil([&] {
        return window.settingsDialog() && window.settingsDialog()->applyButton()->text() == "Apply";
    }));
    window.settingsDialog()->close();
    kxlanguage::apply(QString());
}

} // namespace
