#pragma once

#include <QObject>
#include <QString>

class QDBusError;
class QDBusMessage;
class QSystemTrayIcon;

/// Short notices to the user (the window went to the tray, a call is coming in) through
/// the desktop's notification service (org.freedesktop.Notifications on the session bus)
/// when there is one, else as the tray icon's message, else not at all.  Nothing waits
/// for the bus: the request goes out asynchronously, and when the service is missing or
/// refuses, its error reply turns the notice into the tray's message.  GUI thread only.
class Notifier : public QObject
{
    Q_OBJECT

public:
    explicit Notifier(QObject* parent = nullptr);

    /// The tray icon to fall back on (may be null).
    void setTray(QSystemTrayIcon* tray) { tray_ = tray; }

    /// Shows `text` under `title` for `milliseconds`.
    void notify(const QString& title, const QString& text, int milliseconds);

    enum class Route
    {
        Desktop,
        Tray,
        None
    };

signals:
    /// How a notice went, once that is known.
    void delivered(Notifier::Route route, const QString& text);

private slots:
    void onReply(const QDBusMessage& reply);
    void onError(const QDBusError& error, const QDBusMessage& call);

private:
    void fallBack(const QString& title, const QString& text, int milliseconds);

    QSystemTrayIcon* tray_ = nullptr;
};

Q_DECLARE_METATYPE(Notifier::Route)
