#pragma once

#include <QObject>
#include <QString>

/// What the call manager tells the interface.  The manager emits these on the GUI thread
/// or on the engine's threads; a receiver living on the GUI thread and connected with the
/// automatic connection type gets them there, in the order they were emitted.
///
/// The manager knows nothing of the widgets: the application object (or a test) connects
/// these to the main window before the manager does anything.
class KxManagerSignals : public QObject
{
    Q_OBJECT

signals:
    /// Out of a call: the home view.
    void showMain();
    /// A call is up: the call view.
    void showCall();
    /// The window comes to the front (a call to be answered, a second start).
    void showWindow();
    /// A call is arriving: the window shows itself if it is hidden.
    void callArriving();
    /// The call's state changed (toolbar, statistics).
    void updateCall();
    /// A call waits for the user to answer it; `clear`: its media will not be encrypted
    /// although the settings ask for it where the far end can.
    void incomingCall(QString caller, bool clear);
    /// A call to `who` is being placed.
    void calling(QString who);
    /// The call being placed rings at the far end.
    void ringing();
    /// A call ended: why, or how long it lasted.
    void callEnded(QString text);
    /// A caller gave up or was not answered.
    void missedCall(QString text);
    /// The display now shows layout `layout`.
    void layoutShown(int layout);
    /// The display's output exists: the window puts it in place.
    void videoOutputReady();
    /// Something happened to the video the user should know of (a camera that stopped).
    void notice(QString text);
};
