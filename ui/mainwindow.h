#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

/// The program's one top-level window, and the receiver of the call engine's signals.
///
/// The engine emits the five signals from its own threads; they are connected with the
/// automatic connection type, so their slots run queued on the GUI thread. Everything
/// else runs on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);

    /// Finishes construction: connects the engine signals to their slots. Called once by
    /// the application right after construction.
    void connectEngine();

signals:
    void signalShowMain();
    void signalShowCall();
    void signalShowWindow();
    void signalUpdateCall();
    void signalIncomingCall(QString name);

public slots:
    void onTimer();
    void onSettings();
    void onInfo();
    void onCam();
    void onShowMain();
    void onShowCall();
    void onUpdateCall();
    void onIncomingCall(QString name);
    void onTray(QSystemTrayIcon::ActivationReason reason);
    void onExit();
    void onTab();
    /// Shows the window if hidden, fits it onto the screens and brings it to the front.
    void onShowWindow();

protected:
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
};
