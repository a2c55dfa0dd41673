#pragma once

#include <memory>

#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/uicontext.h"

class QAction;
class QDockWidget;
class QTabWidget;
class WidgetCall;
class WidgetCalling;
class WidgetContacts;
class WidgetHistory;
class WidgetHome;
class WidgetInfo;
class WidgetSettings;
class Notifier;
class VideoWidget;
class WidgetCam;
class WidgetFecc;
class KxManagerSignals;

/// A flat button of the home dock's row that is raised while the mouse is over it.
class DockButton : public QPushButton
{
    Q_OBJECT

public:
    DockButton(const QIcon& icon, const QString& text, double scaleFactor,
               QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
};

/// The program's one top-level window, and the listener of the call manager's signals.
///
/// The manager emits its signals from its own threads as well; they are connected with
/// the automatic connection type, so the window hears them on the GUI thread, in order.
/// Everything here runs on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    /// Finishes construction: builds the docks, pages and tray, connects the engine signals
    /// to their slots and prepares the incoming-call box. Called once by the application
    /// right after construction.
    void connectEngine();

    /// Listens to the call manager: its signals become the window's five signals and
    /// reach the slots that show what happened.  Called before the manager does anything.
    void follow(const KxManagerSignals& events);

    /// Where the window finds the settings, the manager and the stores (tests set theirs
    /// before connectEngine).
    UiContext& context() { return context_; }

    QDockWidget* homeDock() const { return homeDock_; }
    QDockWidget* callDock() const { return callDock_; }
    QTabWidget* tabs() const { return tabs_; }
    WidgetHome* homePage() const { return home_; }
    WidgetContacts* contactsPage() const { return contacts_; }
    WidgetHistory* historyPage() const { return history_; }
    WidgetCall* callToolbar() const { return callToolbar_; }
    WidgetInfo* infoDialog() const { return info_.get(); }
    WidgetSettings* settingsDialog() const { return settings_.get(); }
    QWidget* videoFrame() const { return videoFrame_; }
    VideoWidget* videoWidget() const { return video_; }
    WidgetCam* cameraDialog() const { return cam_.get(); }
    QTimer* autoHideTimer() { return &autoHideTimer_; }
    QTimer* pointerWatch() { return &pointerWatch_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMessageBox* incomingCallBox() { return &incomingBox_; }
    Notifier* notifier() const { return notifier_; }

    /// Turns the toolbar's auto-hide on or off in the running call and shows the toolbar.
    void setAutoHide(bool on);
    /// Moves the call dock to the bottom edge (1) or the top edge (otherwise) and shows it.
    void placeCallDock(int location);
    /// Shows the stored layout and PiP position, and announces the layout during a call.
    void applyLayout();
    /// Announces the layout shown (during a call, over the toolbar).
    void announceLayout(int layout);
    /// Whether the video source is open.
    bool videoInputOpen() const;
    /// Tells the user of something that happened to the video (a camera that stopped, a
    /// shared window that closed): over the toolbar during a call, on the home page
    /// otherwise.  GUI thread.
    void showNotice(const QString& text);

    /// A call to `who` is being placed: shown with a button that cancels it.
    void showCalling(const QString& who);
    /// The call being placed rings at the far end.
    void showRinging();
    /// A call has ended: why, or how long it lasted (`text`), where the user looks.
    void showCallEnded(const QString& text);
    /// A caller was missed: told where the user looks, and by the desktop's notices when
    /// the window is not in sight.
    void showMissedCall(const QString& text);
    WidgetCalling* callingPanel() const { return calling_; }

signals:
    void signalShowMain();
    void signalShowCall();
    void signalShowWindow();
    void signalUpdateCall();
    void signalIncomingCall(QString name, bool clear);

public slots:
    void onTimer();
    void onSettings();
    void onInfo();
    void onCam();
    void onShowMain();
    void onShowCall();
    void onUpdateCall();
    void onIncomingCall(QString name, bool clear);
    void onTray(QSystemTrayIcon::ActivationReason reason);
    void onExit();
    void onTab();
    /// Shows the window if hidden, fits it onto the screens and brings it to the front.
    void onShowWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHomeDock();
    void buildCallDock();
    void buildTray();
    /// Tells the user something went wrong, without stopping anything (a non-modal box).
    void showProblem(const QString& text);
    /// The window's own texts (tool tips, tray menu, incoming-call prompt), in the present
    /// language.
    void setTexts();
    /// Sets the texts again after the language changed, and renews windows of their own.
    void retranslate();
    /// Brings the auto-hidden toolbar back when the pointer moves over the window.
    void watchPointer();
    /// Asks whether to end the program; true on Yes.
    bool confirmExit();
    /// Hangs up the call in progress, if any, and waits (briefly) for it to clear.
    void endCallBeforeExit();

    UiContext context_;
    QWidget* videoFrame_ = nullptr;
    VideoWidget* video_ = nullptr;
    std::unique_ptr<WidgetCam> cam_; // a popup of its own, without parent
    QDockWidget* homeDock_ = nullptr;
    QDockWidget* callDock_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    WidgetHome* home_ = nullptr;
    WidgetContacts* contacts_ = nullptr;
    WidgetHistory* history_ = nullptr;
    WidgetCall* callToolbar_ = nullptr;
    WidgetCalling* calling_ = nullptr;
    QString pendingNotice_; ///< told before the call view opened
    std::unique_ptr<WidgetInfo> info_;         // a window of its own, without parent
    std::unique_ptr<WidgetSettings> settings_; // made on first use, without parent
    DockButton* settingsButton_ = nullptr;
    DockButton* infoButton_ = nullptr;
    DockButton* cameraButton_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QAction* trayShow_ = nullptr;
    QAction* trayHangUp_ = nullptr; ///< enabled during a call
    QAction* traySettings_ = nullptr;
    QAction* trayInfo_ = nullptr;
    QAction* trayExit_ = nullptr;
    Notifier* notifier_ = nullptr;
    QTimer autoHideTimer_;
    QTimer pointerWatch_; // while the toolbar is auto-hidden
    QPoint lastPointer_;
    QMessageBox incomingBox_;
    QPushButton* answerButton_ = nullptr;
    QPushButton* declineButton_ = nullptr;
    bool incomingBoxOpen_ = false;
};
