#pragma once

// What the tests of the client share: an event pump, one client (settings, stores, window
// and a KxManager on 127.0.0.1) and a kxcall process read through its JSON events.

#include <functional>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "KxPhone/kxmanager.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "tests/resources/test_application.h"
#include "ui/mainwindow.h"
#include "tests/support/pumpuntil.h"

namespace kx::testutil {

/// Runs the event loop until `done` holds; false on time-out.
using kxtest::pumpUntil;

/// Settings for a camera `device` in its 640x360 mode, sending 640x360.
inline void useCamera640x360(QSettings& settings, const QString& device)
{
    settings.setValue("video/device", device);
    settings.setValue("video/width", 640);
    settings.setValue("video/height", 360);
    settings.setValue("video/rate", 25);
    settings.setValue("video/format", "YUV420P");
    settings.setValue("codecs/width", 640);
    settings.setValue("codecs/height", 360);
}

/// One client: its own settings file, stores and main window, a manager on 127.0.0.1.
struct Client
{
    explicit Client(bool autoAnswer = true, std::function<void(QSettings&)> configure = {},
                    const char* soundDriver = "Null",
                    std::function<void(KxManager::Context&, MainWindow&)> adjust = {})
        : settings(dir.filePath("Kestrovia.ini"), QSettings::IniFormat)
        , contacts(dir.filePath("contacts.xml"))
        , recents(dir.filePath("recents.xml"))
    {
        kxdefaults::writeMissing(settings);
        settings.setValue("autoAnswer", autoAnswer);
        if (configure)
            configure(settings);
        KxManager::Context context;
        context.settings = &settings;
        context.listen = [this](const KxManagerSignals& events) { window.follow(events); };
        context.contacts = &contacts;
        context.recents = &recents;
        context.listenPort = 0;
        context.listenAddress = "127.0.0.1";
        context.soundDriver = soundDriver;
        if (adjust)
            adjust(context, window);
        manager = std::make_unique<KxManager>(context);
        QObject::connect(&window, &MainWindow::signalShowMain, &window, [this] { seen << "main"; });
        QObject::connect(&window, &MainWindow::signalShowCall, &window, [this] { seen << "call"; });
        QObject::connect(&window, &MainWindow::signalUpdateCall, &window, [this] {
            if (seen.isEmpty() || seen.last() != "update")
                seen << "update";
        });
        QObject::connect(&window, &MainWindow::signalIncomingCall, &window,
                         [this](const QString& caller) { seen << "incoming " + caller; });
    }

    /// Makes the window the real one: it works with this client's settings, stores and
    /// manager, and its slots act on the engine's signals.
    void connectWindow()
    {
        window.context().settingsOverride = &settings;
        window.context().managerOverride = manager.get();
        window.context().contactsOverride = &contacts;
        window.context().recentsOverride = &recents;
        window.connectEngine();
    }

    QString address() const
    {
        return "127.0.0.1:" + QString::number(manager->h323EndPoint()->listenerPort());
    }

    bool idle()
    {
        return pumpUntil([this] { return !manager->inCall(); });
    }

    const bool applicationReady = (testApplication(), true); // before the window
    QTemporaryDir dir;
    QSettings settings;
    ContactStore contacts;
    RecentStore recents;
    MainWindow window;
    std::unique_ptr<KxManager> manager;
    QStringList seen; // GUI thread
};

/// A kxcall process printing JSON events.
struct Kxcall
{
    explicit Kxcall(QStringList arguments)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(KXCALL_PATH, arguments << "--json");
        EXPECT_TRUE(process.waitForStarted(5000));
    }
    ~Kxcall()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }

    /// Waits until an event named `name` has come `count` times.
    bool waitFor(const QString& name, int count = 1, int timeoutMs = 15000)
    {
        return pumpUntil(
            [&] {
                read();
                return this->count(name) >= count;
            },
            timeoutMs);
    }
    int count(const QString& name) const
    {
        int n = 0;
        for (const auto& event : events)
            n += event.value("event").toString() == name;
        return n;
    }
    QJsonObject last(const QString& name) const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->value("event").toString() == name)
                return *it;
        return {};
    }
    void read()
    {
        while (process.canReadLine() || process.waitForReadyRead(0)) {
            if (!process.canReadLine())
                break;
            const auto line = process.readLine();
            const auto document = QJsonDocument::fromJson(line);
            if (document.isObject())
                events.push_back(document.object());
        }
    }
    QString address()
    {
        waitFor("listening on");
        const auto detail = last("listening on").value("detail").toString();
        return "127.0.0.1:" + detail.section(' ', 1, 1);
    }

    QProcess process;
    std::vector<QJsonObject> events;
};

} // namespace kx::testutil
