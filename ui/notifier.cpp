#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace {

const char* const Service = "org.freedesktop.Notifications";
const char* const Path = "/org/freedesktop/Notifications";

} // namespace

Notifier::Notifier(QObject* parent)
    : QObject(parent)
{}

void Notifier::notify(const QString& title, const QString& text, int milliseconds)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack(title, text, milliseconds);
        return;
    }
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, timeout)
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, "Notify");
    call << QString("Kestrovia") << 0u << QString("call-start") << title << text << QStringList()
         << QVariantMap() << milliseconds;
    if (!bus.callWithCallback(call, this, SLOT(onReply(QDBusMessage)),
                              SLOT(onError(QDBusError, QDBusMessage)), 5000))
        fallBack(title, text, milliseconds);
}

void Notifier::onReply(const QDBusMessage& reply)
{
    Q_UNUSED(reply);
    emit delivered(Route::Desktop, QString());
}

void Notifier::onError(const QDBusError&, const QDBusMessage& call)
{
    const QList<QVariant> arguments = call.arguments();
    fallBack(arguments.value(3).toString(), arguments.value(4).toString(),
             arguments.value(7).toInt());
}

void Notifier::fallBack(const QString& title, const QString& text, int milliseconds)
{
    if (tray_ && tray_->isVisible()) {
        tray_->showMessage(title, text, QSystemTrayIcon::Information, milliseconds);
        emit delivered(Route::Tray, text);
        return;
    }
    emit delivered(Route::None, text);
}
