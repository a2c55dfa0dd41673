// The real main window against kxcall on 127.0.0.1: a call typed and placed with the
// mouse, its tone played, the toolbar's mute, volume, dialpad and statistics during the
// call, the history after it; the incoming-call prompt and the automatic answer.

#include <cmath>

#include <QComboBox>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSlider>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include "tests/KxPhone/clientkit.h"
#include "tests/ui/modalkit.h"
#include "ui/callbutton.h"
#include "ui/widgetcall.h"
#include "ui/widgetdialpad.h"
#include "ui/widgethistory.h"
#include "ui/widgethome.h"
#include "ui/widgetsettingscall.h"
#include "ui/widgetstatistics.h"
#include "voip/device/soundchannel.h"
#include "voip/device/video_fake.h"
#include "voip/device/videooutput.h"
#include "voip/device/wavfile.h"

namespace {

using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::onNextModal;
using kx::testutil::pumpUntil;
using kx::testutil::useCamera640x360;

/// Writes `seconds` of a 440 Hz tone at 8 kHz.
QString writeTone(const QTemporaryDir& dir, double seconds)
{
    const QString path = dir.filePath("tone.wav");
    voip::WavWriter writer;
    EXPECT_TRUE(writer.open(path.toStdString(), 1, 8000));
    std::vector<int16_t> samples(size_t(seconds * 8000));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(8000 * std::sin(2 * M_PI * 440 * double(i) / 8000));
    EXPECT_TRUE(writer.write(samples));
    writer.close();
    return path;
}

/// The share of the signal's power at `frequency` (Goertzel), 0 to 1.
double toneShare(const std::vector<int16_t>& samples, unsigned rate, double frequency)
{
    const double w = 2 * M_PI * frequency / rate;
    double s1 = 0, s2 = 0, energy = 0;
    for (int16_t sample : samples) {
        const double s0 = sample + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += double(sample) * sample;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return energy > 0 ? 2 * power / (double(samples.size()) * energy) : 0;
}

bool inCallView(MainWindow& window)
{
    return window.callDock()->isVisible() && window.homeDock()->isHidden();
}

bool inHomeView(MainWindow& window)
{
    return window.homeDock()->isVisible() && window.callDock()->isHidden();
}

void clickRole(QMessageBox& box, QMessageBox::ButtonRole role)
{
    for (QAbstractButton* button : box.buttons())
        if (box.buttonRole(button) == role)
            button->click();
}

TEST(WindowCall, TypedAddressCallsKxcallPlaysItsToneAndLeavesAHistoryEntry)
{
    QTemporaryDir files;
    const QString tone = writeTone(files, 2.0);
    const QString heard = files.filePath("heard.wav");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "1", "--hangup-after", "9",
                 "--send", tone, "--name", "Tone Peer"});
    const QString address = peer.address();

    Client client(
        true,
        [&](QSettings& settings) {
            settings.setValue("audio/input", tone);
            settings.setValue("audio/output", heard);
        },
        "WAVFile");
    client.connectWindow();
    client.window.show();
    ASSERT_TRUE(inHomeView(client.window));

    WidgetHome* home = client.window.homePage();
    home->addressLine()->clear();
    QTest::keyClicks(home->addressLine(), address);
    QTest::mouseClick(home->callButton(), Qt::LeftButton);
    EXPECT_TRUE(home->messageLabel()->isHidden()) << home->messageLabel()->text().toStdString();
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return inCallView(client.window); }));

    // The toolbar acts on the call's sound channels.
    WidgetCall* toolbar = client.window.callToolbar();
    ASSERT_TRUE(pumpUntil([&] {
        return client.manager->recordChannel() && toolbar->microMuteButton()->isEnabled();
    }));
    QTest::mouseClick(toolbar->microMuteButton(), Qt::LeftButton);
    auto muted = client.manager->recordChannel()->mute();
    ASSERT_TRUE(muted);
    EXPECT_TRUE(muted.value());
    EXPECT_FALSE(toolbar->microVolume()->isEnabled());
    EXPECT_EQ(toolbar->microMuteButton()->iconPath(), ":/img/micro-mute.png");
    QTest::mouseClick(toolbar->microMuteButton(), Qt::LeftButton);
    EXPECT_FALSE(client.manager->recordChannel()->mute().value());
    toolbar->speakerVolume()->setValue(37);
    EXPECT_EQ(client.manager->playChannel()->volume().value(), 37u);

    // The dialpad's keys, * and # among them, reach the far end one by one as they are
    // pressed; typed strings go whole with Send, typed without a click first.
    QTest::mouseClick(toolbar->dialpadButton(), Qt::LeftButton);
    WidgetDialpad* dialpad = toolbar->dialpadDialog();
    ASSERT_NE(dialpad, nullptr);
    for (int key : {9, 0, 11}) // "*", "1", "#"
        QTest::mouseClick(dialpad->keys().at(key), Qt::LeftButton);
    EXPECT_TRUE(dialpad->textLine()->text().isEmpty());
    ASSERT_TRUE(peer.waitFor("user input", 3));
    QStringList keys;
    for (const auto& event : peer.events)
        if (event.value("event").toString() == "user input")
            keys << event.value("detail").toString();
    EXPECT_EQ(keys, QStringList({"\"*\"", "\"1\"", "\"#\""}));
    ASSERT_TRUE(pumpUntil([&] { return dialpad->textLine()->hasFocus(); }));
    QTest::keyClicks(dialpad->textLine(), "1230");
    QTest::mouseClick(dialpad->sendButton(), Qt::LeftButton);
    EXPECT_TRUE(dialpad->textLine()->text().isEmpty());
    ASSERT_TRUE(peer.waitFor("user input", 4));
    EXPECT_EQ(peer.last("user input").value("detail").toString(), "\"1230\"");

    // The statistics show the live figures of this call after their first tick.
    QTest::mouseClick(toolbar->statusButton(), Qt::LeftButton);
    WidgetStatistics* statistics = toolbar->statisticsDialog();
    ASSERT_NE(statistics, nullptr);
    EXPECT_EQ(statistics->audioValue(WidgetStatistics::AudioCodec, 1)->text(), "-");
    ASSERT_TRUE(pumpUntil(
        [&] { return statistics->audioValue(WidgetStatistics::AudioCodec, 1)->text() != "-"; },
        5000));
    EXPECT_TRUE(statistics->audioValue(WidgetStatistics::AudioCodec, 1)->text().startsWith("G.7"));
    EXPECT_TRUE(statistics->audioValue(WidgetStatistics::AudioCodec, 0)->text().startsWith("G.7"));
    const QString bandwidth = statistics->audioValue(WidgetStatistics::AudioBandwidth, 1)->text();
    EXPECT_TRUE(bandwidth.endsWith(" Kbps"));
    EXPECT_GE(bandwidth.section(' ', 0, 0).toInt(), 50) << bandwidth.toStdString();
    EXPECT_EQ(statistics->audioValue(WidgetStatistics::AudioLost, 1)->text(), "0");
    const QString jitter = statistics->audioValue(WidgetStatistics::AudioJitter, 1)->text();
    bool isNumber = false;
    jitter.section(' ', 0, 0).toUInt(&isNumber);
    EXPECT_TRUE(isNumber && jitter.endsWith(" ms")) << jitter.toStdString();
    const QString transfer = statistics->audioValue(WidgetStatistics::AudioTransfer, 1)->text();
    EXPECT_TRUE(transfer.endsWith(" KB") && transfer.section(' ', 0, 0).toInt() > 0)
        << transfer.toStdString();
    // Video both ways: kxcall's channel, and ours carrying the display's picture (the
    // no-input picture, with no source chosen).
    // Named by the profile they carry, not by an internal format name.
    const QRegularExpression profileName("^H\\.264 (Baseline|Main|High)$");
    for (int direction : {0, 1}) {
        const QString codec =
            statistics->videoValue(WidgetStatistics::VideoCodec, direction)->text();
        EXPECT_TRUE(profileName.match(codec).hasMatch()) << codec.toStdString();
    }
    EXPECT_TRUE(toolbar->durationLabel()->text().startsWith("00:00:0"));

    // The far end hangs up: back to the home view, with the call in the history.
    ASSERT_TRUE(peer.waitFor("cleared", 1, 20000));
    ASSERT_TRUE(pumpUntil([&] { return inHomeView(client.window); }));
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 1; }));
    EXPECT_EQ(client.recents.recents().at(0).flow, "outgoing");
    EXPECT_EQ(client.recents.recents().at(0).status, "success");
    client.window.tabs()->setCurrentIndex(4);
    WidgetHistory* history = client.window.historyPage();
    ASSERT_EQ(history->model()->rowCount(), 1);
    EXPECT_EQ(history->model()->item(0, 2)->text(), address);
    // The call lasted nine seconds and a little: the entry says so, not "0 minutes".
    EXPECT_EQ(client.recents.recents().at(0).duration, "0");
    EXPECT_TRUE(history->model()->item(0, 1)->toolTip().contains(
        QRegularExpression(": 00:00:(09|1\\d|2\\d)\n")))
        << history->model()->item(0, 1)->toolTip().toStdString();
    EXPECT_TRUE(pumpUntil([&] { return statistics->isHidden(); }));
    EXPECT_EQ(statistics->audioValue(WidgetStatistics::AudioCodec, 1)->text(), "-");

    // The peer's tone came out of the loudspeaker.
    const auto played = voip::readWavFile(heard.toStdString());
    ASSERT_TRUE(played) << played.error().message;
    ASSERT_GT(played.value().samples.size(), played.value().sampleRate * 2);
    EXPECT_GT(toneShare(played.value().samples, played.value().sampleRate, 440), 0.5);
}

TEST(WindowCall, RefusedAddressesAreExplainedBesideTheAddressLine)
{
    Client client;
    client.connectWindow();
    WidgetHome* home = client.window.homePage();
    for (const QString& bad : {QString("bob@"), QString("127.0.0.1:99999"), QString("[::1"),
                               QString(600, 'a') + ".example", QString("   "), QString()}) {
        home->addressLine()->setText(bad);
        QTest::keyClick(home->addressLine(), Qt::Key_Return);
        EXPECT_FALSE(home->messageLabel()->isHidden()) << bad.toStdString();
        EXPECT_FALSE(home->messageLabel()->text().isEmpty());
        EXPECT_FALSE(client.manager->inCall());
    }
    EXPECT_EQ(home->messageLabel()->text(), "no-address-given"); // no catalogue loaded
    home->addressLine()->setText("bob@");
    QTest::keyClick(home->addressLine(), Qt::Key_Return);
    EXPECT_EQ(home->messageLabel()->text(), "address-not-callable");
    QCoreApplication::processEvents();
    EXPECT_TRUE(client.recents.recents().isEmpty());
    EXPECT_EQ(client.manager->callCount(), 0u);
}

TEST(WindowCall, ThePromptAnswersAndDeclinesAndASecondCallerIsRefused)
{
    Client client(false);
    client.connectWindow();
    {
        QString from;
        int secondEstablished = -1;
        bool secondCleared = false;
        onNextModal<QMessageBox>([&](QMessageBox& box) {
            from = box.informativeText();
            // A second caller while the prompt is open is refused, with no second prompt.
            Kxcall second({"--call", client.address(), "--calls", "1"});
            secondCleared = second.waitFor("cleared");
            secondEstablished = second.count("established");
            clickRole(box, QMessageBox::YesRole);
        });
        Kxcall caller(
            {"--call", client.address(), "--calls", "1", "--hangup-after", "1", "--name", "Zoë"});
        ASSERT_TRUE(caller.waitFor("established"));
        EXPECT_TRUE(from.startsWith("from: Zoë")) << from.toStdString();
        EXPECT_TRUE(secondCleared);
        EXPECT_EQ(secondEstablished, 0);
        ASSERT_TRUE(pumpUntil([&] { return inCallView(client.window); }));
        ASSERT_TRUE(caller.waitFor("cleared"));
        ASSERT_TRUE(pumpUntil([&] { return inHomeView(client.window); }));
    }
    {
        onNextModal<QMessageBox>([](QMessageBox& box) { clickRole(box, QMessageBox::NoRole); });
        Kxcall caller({"--call", client.address(), "--calls", "1"});
        ASSERT_TRUE(caller.waitFor("cleared"));
        EXPECT_EQ(caller.count("established"), 0);
        EXPECT_FALSE(caller.last("cleared").value("detail").toString().contains("reason=0 "))
            << caller.last("cleared").value("detail").toString().toStdString();
    }
    ASSERT_TRUE(client.idle());
    {
        // A caller who gives up closes the prompt.
        auto caller =
            std::make_unique<Kxcall>(QStringList{"--call", client.address(), "--calls", "1"});
        bool sawPrompt = false;
        onNextModal<QMessageBox>([&](QMessageBox&) {
            sawPrompt = true;
            caller->process.kill();
        });
        ASSERT_TRUE(pumpUntil(
            [&] { return sawPrompt && !client.window.incomingCallBox()->isVisible(); }, 30000));
    }
    ASSERT_TRUE(client.idle());
    // The caller turned away while the prompt was open, the answered, the declined and
    // the abandoned call.
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 4; }));
    EXPECT_EQ(client.recents.recents().at(3).status, "failure");
    EXPECT_EQ(client.recents.recents().at(3).flow, "incoming");
    EXPECT_EQ(client.recents.recents().at(2).status, "success");
    EXPECT_EQ(client.recents.recents().at(1).status, "failure");
    EXPECT_EQ(client.recents.recents().at(0).flow, "incoming");
}

// How a call's media travels, as the window says it: the prompt warns of a caller that does
// not encrypt; the toolbar's lock is open for that call and closed for one that encrypts,
// its tip naming the cipher; the statistics say so per direction; a caller refused because
// encryption is required leaves that reason in the history.
TEST(WindowCall, TheLockThePromptAndTheStatisticsTellHowTheMediaTravels)
{
    Client client(false);
    client.connectWindow();
    client.window.show();
    auto& toolbar = *client.window.callToolbar();
    for (const bool encrypting : {false, true}) {
        SCOPED_TRACE(encrypting ? "encrypting caller" : "clear caller");
        QString prompt;
        onNextModal<QMessageBox>([&](QMessageBox& box) {
            prompt = box.informativeText();
            clickRole(box, QMessageBox::YesRole);
        });
        Kxcall caller({"--call", client.address(), "--calls", "1", "--hangup-after", "4",
                       "--encryption", encrypting ? "auto" : "off"});
        ASSERT_TRUE(caller.waitFor("established"));
        EXPECT_EQ(prompt.contains("call-will-be-clear"), !encrypting) << prompt.toStdString();
        QLabel* lock = toolbar.securityLabel();
        ASSERT_TRUE(pumpUntil([&] { return lock->isVisible(); }));
        EXPECT_EQ(lock->property("encrypted").toBool(), encrypting);
        EXPECT_EQ(lock->toolTip(), encrypting ? "media-encrypted-tip" : "media-clear-peer");
        ASSERT_TRUE(pumpUntil([&] {
            return client.manager->mediaStatistics(voip::MediaType::Audio, 1).packets > 0;
        }));
        WidgetStatistics statistics(client.window.context());
        statistics.updateAudio(0);
        statistics.updateAudio(1);
        for (int direction : {0, 1})
            EXPECT_EQ(statistics.audioValue(WidgetStatistics::AudioEncryption, direction)->text(),
                      encrypting ? "AES-128" : "not-encrypted");
        ASSERT_TRUE(caller.waitFor("cleared"));
        ASSERT_TRUE(pumpUntil([&] { return inHomeView(client.window); }));
        EXPECT_FALSE(lock->isVisible());
    }
    client.settings.setValue("net/encryption", 2);
    client.manager->applyEncryption();
    Kxcall clear({"--call", client.address(), "--calls", "1", "--encryption", "off"});
    ASSERT_TRUE(clear.waitFor("cleared"));
    EXPECT_EQ(clear.last("cleared").value("reason").toString(), "14");
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 3; }));
    EXPECT_EQ(client.recents.recents().at(0).status, "failure");
    EXPECT_TRUE(client.recents.recents().at(0).reason.startsWith("14"))
        << client.recents.recents().at(0).reason.toStdString();
}

TEST(WindowCall, AutoAnswerTakesTheCallAfterASecondWithoutAPrompt)
{
    Client client(true);
    client.connectWindow();
    QElapsedTimer clock;
    clock.start();
    Kxcall caller({"--call", client.address(), "--calls", "1", "--hangup-after", "3"});
    ASSERT_TRUE(caller.waitFor("established"));
    EXPECT_GE(clock.elapsed(), 900) << "answered before the one-second pause";
    ASSERT_TRUE(pumpUntil([&] { return inCallView(client.window); }));
    EXPECT_FALSE(client.window.incomingCallBox()->isVisible());
    // A second caller during the call is turned away, and the first call goes on.
    Kxcall second({"--call", client.address(), "--calls", "1"});
    ASSERT_TRUE(second.waitFor("cleared"));
    EXPECT_EQ(second.count("established"), 0);
    EXPECT_TRUE(client.manager->inCall());
    ASSERT_TRUE(caller.waitFor("cleared"));
    ASSERT_TRUE(pumpUntil([&] { return inHomeView(client.window); }));
    // Both are in the history: the caller turned away as a missed call.
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 2; }));
    QStringList statuses;
    for (const Recent& recent : client.recents.recents())
        statuses << recent.flow + " " + recent.status;
    statuses.sort();
    EXPECT_EQ(statuses, QStringList({"incoming failure", "incoming success"}));
}

// The call view says who the call is with; its length counts from the answer, in the
// toolbar and in the history, not from the ringing; a contact names its own address only
// (host and port), not every call to its host, where the far end's own name is kept.
TEST(WindowCall, ThePartyIsNamedAndTheLengthCountsFromTheAnswer)
{
    Client client(false);
    client.connectWindow();
    client.window.show();
    client.contacts.addContact("Office", "127.0.0.1", "", "", "H.323");
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "0", "--name", "Zoë",
                 "--answer", "2500", "--hangup-after", "2"});
    const QString address = peer.address();
    ASSERT_TRUE(client.manager->placeCall(address, true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return inCallView(client.window); }));
    WidgetCall* toolbar = client.window.callToolbar();
    EXPECT_TRUE(pumpUntil([&] { return toolbar->partyLabel()->text() == "Zoë"; }))
        << toolbar->partyLabel()->text().toStdString();
    EXPECT_TRUE(pumpUntil([&] { return !toolbar->durationLabel()->text().isEmpty(); }));
    EXPECT_LE(toolbar->durationLabel()->text(), "00:00:01") << "not the 2.5 s of ringing";
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 1; }));
    const Recent first = client.recents.recents().at(0);
    EXPECT_LE(first.seconds.toInt(), 3) << "the connected 2 s, not the ringing too";
    EXPECT_EQ(first.name, "Zoë") << "the contact of the host at another port";

    // A contact of the whole address names it.
    client.contacts.addContact("Desk", address, "", "", "H.323");
    ASSERT_TRUE(client.manager->placeCall(address, true).isEmpty());
    ASSERT_TRUE(peer.waitFor("cleared", 2, 20000));
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(pumpUntil([&] { return client.recents.recents().size() == 2; }));
    EXPECT_EQ(client.recents.recents().at(0).name, "Desk");
}

TEST(WindowCall, EscapeOnThePromptDeclinesAndExitDuringACallEndsTheCallFirst)
{
    Client client(false);
    client.connectWindow();
    {
        onNextModal<QMessageBox>([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
        Kxcall caller({"--call", client.address(), "--calls", "1"});
        ASSERT_TRUE(caller.waitFor("cleared"));
        EXPECT_EQ(caller.count("established"), 0);
    }
    ASSERT_TRUE(client.idle());

    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "1"});
    ASSERT_EQ(client.manager->placeCall(peer.address(), true), "");
    ASSERT_TRUE(peer.waitFor("established"));
    // No keeps the call; Yes clears it before the program ends.
    onNextModal<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::No)->click(); });
    client.window.onExit();
    EXPECT_TRUE(client.manager->inCall());
    onNextModal<QMessageBox>([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
    client.window.onExit();
    ASSERT_TRUE(peer.waitFor("cleared"));
    ASSERT_TRUE(client.idle());
}

TEST(WindowCall, ACameraPulledOutMidCallIsToldAndTheCallGoesOn)
{
    // A test camera that is pulled out after 30 pictures (a little over a second).
    auto screen = std::make_shared<voip::MemoryVideoOutput>();
    Client client(
        true, [](QSettings& settings) { useCamera640x360(settings, "unplug-after=30"); }, "Null",
        [&](KxManager::Context& context, MainWindow&) {
            context.cameraDriver = voip::kFakeVideoDriver;
            context.videoOutput = [screen](unsigned, unsigned) { return screen; };
            context.screenSize = QSize(1280, 720);
        });
    client.connectWindow();
    ASSERT_TRUE(client.manager->inputOpen());
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1"});
    ASSERT_EQ(client.manager->placeCall(peer.address(), true), "");
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return !client.manager->inputOpen(); }, 5000))
        << "the source closes when the camera goes";
    // The user is told over the toolbar, and the call goes on.
    const QString told =
        QCoreApplication::translate("KxManager", "camera-stopped").arg("unplug-after=30");
    ASSERT_TRUE(pumpUntil([&] {
        const auto labels = client.window.callToolbar()->fade()->findChildren<QLabel*>();
        return !labels.isEmpty() && labels.first()->text() == told;
    }));
    QTest::qWait(1000);
    EXPECT_TRUE(client.manager->inCall());
    EXPECT_EQ(peer.count("cleared"), 0);
    client.manager->hangUp();
    ASSERT_TRUE(peer.waitFor("cleared"));
}

} // namespace

namespace {

/// `widget`'s rectangle on the screen.
QRect onScreen(const QWidget& widget)
{
    return {widget.mapToGlobal(QPoint()), widget.size()};
}

TEST(WindowCall, TheToolbarsNoticesAndPanelsStayInsideAMaximizedWindowAtTheTopToo)
{
    Client client;
    client.connectWindow();
    client.window.showMaximized();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&client.window));
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "1"});
    ASSERT_TRUE(client.manager->placeCall(peer.address(), true).isEmpty());
    ASSERT_TRUE(peer.waitFor("established"));
    ASSERT_TRUE(pumpUntil([&] { return inCallView(client.window); }));
    WidgetCall& toolbar = *client.window.callToolbar();
    const QRect window = onScreen(client.window);

    // The toolbar moved to the top from its own panel: the panel follows it and says so.
    toolbar.settingsButton()->click();
    WidgetSettingsCall& panel = *toolbar.settingsPanel();
    ASSERT_TRUE(pumpUntil([&] { return panel.isVisible(); }));
    panel.locationBox()->setCurrentIndex(0);
    emit panel.locationBox()->activated(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(client.window.dockWidgetArea(client.window.callDock()), Qt::TopDockWidgetArea);
    EXPECT_EQ(panel.locationBox()->currentIndex(), 0);
    ASSERT_TRUE(pumpUntil([&] { return panel.isVisible(); }));
    EXPECT_GE(onScreen(panel).top(), onScreen(toolbar).bottom()) << "under the toolbar at the top";
    EXPECT_TRUE(window.contains(onScreen(panel)));

    // A notice at the top is drawn over the picture, not above the screen's edge.
    client.window.showNotice("A notice");
    FadeDialog& notice = *toolbar.fade();
    ASSERT_TRUE(pumpUntil([&] { return notice.isVisible(); }));
    EXPECT_TRUE(window.contains(notice.geometry()))
        << notice.geometry().y() << " in " << window.y() << ".." << window.bottom();

    // The statistics, from a button near the right edge, stay inside too.
    toolbar.statusButton()->click();
    ASSERT_TRUE(pumpUntil(
        [&] { return toolbar.statisticsDialog() && toolbar.statisticsDialog()->isVisible(); }));
    EXPECT_TRUE(window.contains(onScreen(*toolbar.statisticsDialog())))
        << onScreen(*toolbar.statisticsDialog()).left() << ".."
        << onScreen(*toolbar.statisticsDialog()).right() << " past " << window.left() << ".."
        << window.right();

    // The toolbar's tool tips can be read: light text on their dark background.
    QToolTip::showText(toolbar.settingsButton()->mapToGlobal(QPoint()), "Settings",
                       toolbar.settingsButton());
    QWidget* tip = nullptr;
    ASSERT_TRUE(pumpUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("QTipLabel") && w->isVisible())
                tip = w;
        return tip != nullptr;
    }));
    const QColor text = tip->palette().color(tip->foregroundRole());
    const QColor back = tip->palette().color(tip->backgroundRole());
    EXPECT_GT(std::abs(text.lightness() - back.lightness()), 120)
        << text.name().toStdString() << " on " << back.name().toStdString();
    QToolTip::hideText();

    // The call's notices go with it: none is left over the idle window.
    client.window.showNotice("Layout: Remote Full");
    ASSERT_TRUE(pumpUntil([&] { return notice.isVisible(); }));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    ASSERT_TRUE(pumpUntil([&] { return !client.window.callDock()->isVisible(); }));
    EXPECT_FALSE(notice.isVisible()) << notice.text().toStdString();
}

} // namespace
