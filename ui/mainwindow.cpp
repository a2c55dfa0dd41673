#include "ui/mainwindow.h"

#include <iostream>

#include <QBrush>
#include <QEvent>
#include <QIcon>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>

#include "KxPhone/kxapp.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName("MainWindow");
    setWindowTitle("Kestrovia");

    const QPixmap background(":/img/bg.png");
    if (!background.isNull()) {
        QPalette windowPalette = palette();
        windowPalette.setBrush(QPalette::Window, QBrush(background));
        setPalette(windowPalette);
    }
}

void MainWindow::connectEngine()
{
    connect(this, &MainWindow::signalShowMain, this, &MainWindow::onShowMain);
    connect(this, &MainWindow::signalShowCall, this, &MainWindow::onShowCall);
    connect(this, &MainWindow::signalShowWindow, this, &MainWindow::onShowWindow);
    connect(this, &MainWindow::signalUpdateCall, this, &MainWindow::onUpdateCall);
    connect(this, &MainWindow::signalIncomingCall, this, &MainWindow::onIncomingCall);
}

// The docks, pages, dialogs and the in-call toolbar these slots drive are built later;
// until then they have nothing to act on.
void MainWindow::onTimer() {}
void MainWindow::onSettings() {}
void MainWindow::onInfo() {}
void MainWindow::onCam() {}
void MainWindow::onShowMain() {}
void MainWindow::onShowCall() {}
void MainWindow::onUpdateCall() {}
void MainWindow::onIncomingCall(QString) {}
void MainWindow::onTab() {}

void MainWindow::onTray(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        onShowWindow();
}

void MainWindow::onExit()
{
    onShowWindow();
    QMessageBox box(this);
    box.setText(tr("exit-program"));
    box.setInformativeText(tr("are-you-sure") + "?");
    box.setIconPixmap(QPixmap(":/img/help.png"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
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
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (KxApp* app = KxApp::instance(); app && app->mainWindow == this)
        app->saveGeometry();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (KxApp* app = KxApp::instance(); app && app->mainWindow == this)
        app->saveGeometry();
}
