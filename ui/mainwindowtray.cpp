// The main window's tray icon and its menu, and leaving: closing the window, quitting,
// and a call in progress when either happens.

#include "ui/mainwindow.h"

#include <iostream>

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include "KxPhone/kxapp.h"
#include "KxPhone/kxmanager.h"
#include "ui/notifier.h"

void MainWindow::buildTray()
{
    tray_ = new QSystemTrayIcon(QIcon(":/img/call.png"), this);
    tray_->setToolTip("Kestrovia");
    auto* menu = new QMenu(this);
    trayShow_ =
        menu->addAction(QIcon(":/img/home.png"), QString(), this, &MainWindow::onShowWindow);
    trayHangUp_ = menu->addAction(QIcon(":/img/end.png"), QString(), this, [this] {
        if (KxManager* manager = context_.manager(); manager && manager->currentCall())
            manager->hangUp();
    });
    trayHangUp_->setEnabled(false);
    menu->addSeparator();
    traySettings_ =
        menu->addAction(QIcon(":/img/settings.png"), QString(), this, &MainWindow::onSettings);
    trayInfo_ = menu->addAction(QIcon(":/img/info.png"), QString(), this, &MainWindow::onInfo);
    menu->addSeparator();
    trayExit_ = menu->addAction(QIcon(":/img/exit.png"), QString(), this, &MainWindow::onExit);
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::onTray);
    tray_->setVisible(true);
    notifier_->setTray(tray_);
}

void MainWindow::onTray(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        onShowWindow();
}

bool MainWindow::confirmExit()
{
    QMessageBox box(this);
    box.setObjectName("exitBox");
    // During a call the question names it: quitting ends it.
    KxManager* manager = context_.manager();
    const auto call = manager ? manager->currentCall() : nullptr;
    const auto network = call ? call->networkConnection() : nullptr;
    QString party;
    if (network) {
        party = QString::fromStdString(network->remotePartyName());
        if (party.isEmpty())
            party = QString::fromStdString(network->remotePartyAddress());
    }
    box.setText(call ? tr("end-call-and-quit").arg(party) : tr("exit-program"));
    box.setInformativeText(tr("are-you-sure") + "?");
    box.setIconPixmap(QPixmap(":/img/help.png"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::endCallBeforeExit()
{
    if (KxManager* manager = context_.manager(); manager && manager->currentCall()) {
        const auto call = manager->currentCall();
        manager->hangUp();
        call->waitForCleared(std::chrono::milliseconds(2000));
    }
}

void MainWindow::onExit()
{
    onShowWindow();
    if (!confirmExit())
        return;
    endCallBeforeExit();
    if (KxManager* manager = context_.manager()) {
        manager->setDisplayActive(false);
        manager->closeVideoInput();
    }
    notifier_->setTray(nullptr);
    delete tray_;
    tray_ = nullptr;
    QApplication::quit();
}

void MainWindow::onShowWindow()
{
    // Lets the single-instance tests see, from outside, that a later start reached us.
    if (qEnvironmentVariableIsSet("KX_TEST_REPORT_SHOW"))
        std::cout << "Show window" << std::endl;
    if (isHidden())
        show();
    if (KxApp* app = KxApp::instance(); app && app->mainWindow == this)
        app->fitToScreens();
    raise();
    activateWindow();
    // Shown again: the display works, and the source opens again if it had closed (a
    // shared window that went meanwhile is found gone then: nothing takes its place).
    if (KxManager* manager = context_.manager()) {
        manager->setDisplayActive(true);
        if (!manager->inputOpen())
            manager->openVideoInput();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // To the tray only while a tray is there to come back from: a tray host that went away
    // leaves the icon set up but nowhere to be seen.
    KxManager* manager = context_.manager();
    if (tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        const bool call = manager && manager->currentCall();
        notifier_->notify(
            "Kestrovia", call ? tr("app-in-tray-call-goes-on") : tr("app-minimized-to-tray"), 5000);
        hide();
        event->ignore();
        return;
    }
    // Without a tray, closing the window ends the program: a call is not ended without the
    // question Exit asks.
    if (manager && manager->currentCall()) {
        if (!confirmExit()) {
            event->ignore();
            return;
        }
        endCallBeforeExit();
    }
    QMainWindow::closeEvent(event);
}
