// The settings dialog with real widgets on a real client: each page loads from the file and
// saves to it through Apply, Save and Discard; what the engine uses reaches the running
// manager (codecs seen by a kxcall peer); ports and STUN servers that are no good; the
// device tests through a sound server of the test's own; the start-at-log-on entry checked
// by desktop-file-validate; a settings file edited by hand; both languages on every page.

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTranslator>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxpcssendpoint.h"
#include "KxPhone/platform/autostart.h"
#include "tests/KxPhone/clientkit.h"
#include "tests/resources/soundserver.h"
#include "tests/ui/cataloguekit.h"
#include "tests/ui/modalkit.h"
#include "tests/voip/device/fakecamera.h"
#include "tests/support/testgatekeeper.h"
#include "ui/callbutton.h"
#include "ui/cameracontrols.h"
#include "ui/widgetcall.h"
#include "ui/widgetcam.h"
#include "ui/sounddevices.h"
#include "ui/widgetsettings.h"
#include "voip/device/soundtest.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/nat/natmethod.h"
#include "tests/support/toolskip.h"

namespace {

using kx::testutil::catalogueTexts;
using kx::testutil::Client;
using kx::testutil::Kxcall;
using kx::testutil::onNextModal;
using kx::testutil::pumpUntil;
using kx::testutil::SoundServer;
using kx::testutil::visibleTexts;

/// The English catalogue, as the program loads it at an English start (once).
void english()
{
    testApplication();
    static QTranslator* catalogue = [] {
        auto* translator = new QTranslator();
        if (translator->load(":/locale/en.qm"))
            QApplication::installTranslator(translator);
        return translator;
    }();
    static_cast<void>(catalogue);
}

/// The client's settings dialog, opened on `page` (0 General ... 4 Network).
WidgetSettings& openSettings(Client& client, int page)
{
    client.connectWindow();
    client.window.onSettings();
    WidgetSettings& dialog = *client.window.settingsDialog();
    dialog.tabs()->setCurrentIndex(page);
    return dialog;
}

/// Picks item `index` of a combo box as a user does, with the keyboard.
void pick(QComboBox* box, int index)
{
    box->setFocus();
    box->setCurrentIndex(index == 0 ? 1 : index - 1);
    QTest::keyClick(box, index == 0 ? Qt::Key_Up : Qt::Key_Down);
    ASSERT_EQ(box->currentIndex(), index);
}

void pick(QComboBox* box, const QString& text)
{
    const int index = box->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    pick(box, index);
}

void type(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    // Key by key with the character's text, as an input method gives Vietnamese letters.
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

TEST(SettingsDialog, OpensWithApplyOffAndEveryKindOfEditTurnsItOn)
{
    english();
    Client client;
    WidgetSettings& dialog = openSettings(client, 0);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.isModal());
    EXPECT_FALSE(dialog.applyButton()->isEnabled());
    QTest::keyClicks(dialog.general()->name, "x");
    EXPECT_TRUE(dialog.applyButton()->isEnabled());
    QTest::mouseClick(dialog.applyButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.applyButton()->isEnabled());
    EXPECT_EQ(client.settings.value("name").toString(), "Kestroviax");

    dialog.tabs()->setCurrentIndex(3);
    QTest::mouseClick(dialog.codecs()->fecc, Qt::LeftButton);
    EXPECT_TRUE(dialog.applyButton()->isEnabled());
    dialog.onApply();
    dialog.tabs()->setCurrentIndex(4);
    pick(dialog.network()->transmit, "512");
    EXPECT_TRUE(dialog.applyButton()->isEnabled());
    dialog.onApply();
    dialog.tabs()->setCurrentIndex(1);
    QTest::mouseClick(dialog.audio()->silenceDetection, Qt::LeftButton);
    EXPECT_TRUE(dialog.applyButton()->isEnabled());
    dialog.onApply();
    // Only the pages with edits wrote anything: the General page's fields are as saved.
    EXPECT_EQ(client.settings.value("net/transmit").toString(), "512");
    EXPECT_TRUE(client.settings.value("audio/silence").toBool());
    EXPECT_FALSE(client.settings.value("codecs/fecc").toBool());
}

TEST(SettingsDialog, EachPageSavesToTheFileAndTheRunningEngineUsesIt)
{
    english();
    // English already, so that Apply keeps this dialog (a new language opens it again).
    Client client(true, [](QSettings& settings) { settings.setValue("language", "en"); });
    WidgetSettings& dialog = openSettings(client, 0);

    // General: the name goes to the engine at once; start at log-on is tested below.
    SettingsGeneral& general = *dialog.general();
    type(general.name, "Phòng họp Hà Nội");
    pick(general.language, 0);
    QTest::mouseClick(general.autoAnswer, Qt::LeftButton);
    if (general.autoStart->isChecked())
        QTest::mouseClick(general.autoStart, Qt::LeftButton);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("name").toString(), "Phòng họp Hà Nội");
    EXPECT_EQ(client.settings.value("language").toString(), "en");
    EXPECT_FALSE(client.settings.value("autoAnswer").toBool());
    EXPECT_EQ(client.manager->defaultDisplayName(), "Phòng họp Hà Nội");

    // Audio: echo, silence and jitter in the engine.
    dialog.tabs()->setCurrentIndex(1);
    SettingsAudio& audio = *dialog.audio();
    pick(audio.jitterDelay, "500");
    pick(audio.echoLength, "1024");
    if (!audio.silenceDetection->isChecked())
        QTest::mouseClick(audio.silenceDetection, Qt::LeftButton);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("audio/jitter").toString(), "500");
    EXPECT_EQ(client.settings.value("audio/echoDuration").toString(), "1024");
    EXPECT_EQ(client.manager->audioJitterDelay().maxDelayMs, 500u);
    EXPECT_EQ(client.manager->echoCancelParameters().tailLengthMs, 1024u);
    EXPECT_EQ(client.manager->silenceDetectParameters().mode, voip::SilenceDetectMode::Adaptive);

    // Network: bandwidth into the video format, ports into the allocators, a fixed public
    // address into the NAT method.
    dialog.tabs()->setCurrentIndex(4);
    SettingsNetwork& network = *dialog.network();
    pick(network.transmit, "768");
    pick(network.nat, 2);
    EXPECT_TRUE(network.publicIp->isEnabled());
    EXPECT_FALSE(network.stunServer->isEnabled());
    type(network.publicIp, "203.0.113.7");
    type(network.udpLow, "5000");
    type(network.udpHigh, "5100");
    type(network.tcpLow, "6000");
    type(network.tcpHigh, "6050");
    dialog.onApply();
    EXPECT_EQ(client.settings.value("net/nat").toInt(), 2);
    EXPECT_EQ(client.settings.value("net/mediaPortsUdp").toInt(), 5000);
    EXPECT_EQ(client.manager->udpPorts().range().base, 5000);
    EXPECT_EQ(client.manager->udpPorts().range().max, 5100);
    EXPECT_EQ(client.manager->tcpPorts().range().base, 6000);
    EXPECT_EQ(client.manager->tcpPorts().range().max, 6050);
    EXPECT_EQ(client.manager->publicAddress(), "203.0.113.7");
    EXPECT_TRUE(client.manager->natMethod("Fixed")->isActive());
    auto h264 = voip::MediaFormatRegistry::global().find("H.264-High");
    ASSERT_TRUE(h264);
    EXPECT_EQ(h264->integerOption(voip::option::MaxBitRate, 0), 768 * 1000);

    // Codecs: the frame size in the format; only G.711 µ-law left, which a kxcall peer
    // that would rather have G.722 then has to take.
    dialog.tabs()->setCurrentIndex(3);
    SettingsCodecs& codecs = *dialog.codecs();
    pick(codecs.frameSize, "704x576");
    for (QCheckBox* box : {codecs.g722, codecs.g711a})
        if (box->isChecked())
            QTest::mouseClick(box, Qt::LeftButton);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("codecs/width").toString(), "704");
    EXPECT_EQ(client.settings.value("codecs/height").toString(), "576");
    h264 = voip::MediaFormatRegistry::global().find("H.264-High");
    EXPECT_EQ(h264->integerOption(voip::option::FrameWidth, 0), 704);
    Kxcall peer(
        {"--listen", "0", "--calls", "1", "--formats", "G.722-64k,G.711-ALaw-64k,G.711-uLaw-64k"});
    ASSERT_EQ(client.manager->placeCall(peer.address(), true), "");
    ASSERT_TRUE(peer.waitFor("media opened"));
    bool mulaw = false;
    for (const auto& event : peer.events) {
        if (event.value("event").toString() != "media opened")
            continue;
        const QString format = event.value("detail").toString();
        EXPECT_FALSE(format.startsWith("G.722") || format.startsWith("G.711-ALaw"))
            << format.toStdString();
        mulaw = mulaw || format.startsWith("G.711-uLaw-64k");
    }
    EXPECT_TRUE(mulaw) << "the peer did not open G.711 µ-law";

    // During the call, a codec change is stored but the call's formats stay; the reset
    // after the call applies it.
    const auto maskInCall = client.manager->mediaFormatMask();
    QTest::mouseClick(codecs.g722, Qt::LeftButton);
    dialog.onApply();
    EXPECT_TRUE(client.settings.value("codecs/g722").toBool());
    EXPECT_EQ(client.manager->mediaFormatMask(), maskInCall);
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
    // The reset after the call runs on the GUI thread once the call is gone.
    EXPECT_TRUE(pumpUntil([&] {
        const auto mask = client.manager->mediaFormatMask();
        return std::find(mask.begin(), mask.end(), "G.722-64k") == mask.end();
    }));

    // Video: the desktop as the source.
    dialog.tabs()->setCurrentIndex(2);
    SettingsVideo& video = *dialog.video();
    ASSERT_GE(video.device->count(), 2);
    EXPECT_EQ(video.device->itemText(0), "No device");
    pick(video.device, 1);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("video/device").toString(), "Desktop");
    EXPECT_EQ(client.manager->videoInputArgs().deviceName, "Desktop");
    pick(video.device, 0);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("video/device").toString(), "no-device");
    EXPECT_EQ(client.settings.value("video/width").toInt(), 0);
}

TEST(SettingsDialog, CloseAsksAndSaveDiscardCancelDoWhatTheySay)
{
    english();
    Client client;
    WidgetSettings& dialog = openSettings(client, 0);
    auto answer = [](QMessageBox::StandardButton button) {
        onNextModal<QMessageBox>([button](QMessageBox& box) {
            EXPECT_EQ(box.text(), "Save changes?");
            box.button(button)->click();
        });
    };
    type(dialog.general()->name, "Kept");
    answer(QMessageBox::Cancel);
    dialog.onClose();
    EXPECT_TRUE(dialog.isVisible()) << "Cancel keeps the dialog and its edits";
    EXPECT_EQ(dialog.general()->name->text(), "Kept");
    EXPECT_EQ(client.settings.value("name").toString(), "Kestrovia");

    answer(QMessageBox::Discard);
    dialog.onClose();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(client.settings.value("name").toString(), "Kestrovia");
    client.window.onSettings();
    EXPECT_EQ(dialog.general()->name->text(), "Kestrovia") << "the stored value again";
    EXPECT_FALSE(dialog.applyButton()->isEnabled());

    type(dialog.general()->name, "Saved");
    answer(QMessageBox::Save);
    dialog.onClose();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(client.settings.value("name").toString(), "Saved");

    // With nothing changed, Close just closes.
    client.window.onSettings();
    dialog.onClose();
    EXPECT_FALSE(dialog.isVisible());
}

TEST(SettingsNetwork, PortsOutOfRangeAreCorrectedAndSaid)
{
    english();
    using Ports = SettingsNetwork::Ports;
    auto ports = SettingsNetwork::correctedPorts("500", "", "abc", "70000");
    EXPECT_EQ((std::array{ports.udpLow, ports.udpHigh, ports.tcpLow, ports.tcpHigh}),
              (std::array{3230, 3300, 3230, 65400}));
    ports = SettingsNetwork::correctedPorts("4000", "3990", "5000", "5000");
    EXPECT_EQ((std::array{ports.udpLow, ports.udpHigh, ports.tcpLow, ports.tcpHigh}),
              (std::array{4000, 4020, 5000, 5010}));
    static_cast<void>(Ports{});

    Client client;
    WidgetSettings& dialog = openSettings(client, 4);
    SettingsNetwork& network = *dialog.network();
    type(network.udpLow, "4000");
    type(network.udpHigh, "3990");
    dialog.onApply();
    EXPECT_EQ(network.udpHigh->text(), "4020");
    EXPECT_EQ(client.settings.value("net/mediaPortsUdpMax").toInt(), 4020);
    EXPECT_EQ(client.manager->udpPorts().range().max, 4020);
    EXPECT_TRUE(network.status->text().contains("3990 → 4020"))
        << network.status->text().toStdString();
    // The validator lets no letters in.
    type(network.tcpLow, "12ab");
    EXPECT_EQ(network.tcpLow->text(), "12");
}

TEST(SettingsNetwork, AStunServerThatDoesNotAnswerOrResolveIsSaidAndTheWindowGoesOn)
{
    english();
    Client client;
    WidgetSettings& dialog = openSettings(client, 4);
    SettingsNetwork& network = *dialog.network();
    for (const QString server : {"127.0.0.1:9", "no-such-host.invalid"}) {
        pick(network.nat, 1);
        EXPECT_TRUE(network.stunServer->isEnabled());
        type(network.stunServer, server);
        QElapsedTimer clock;
        clock.start();
        dialog.onApply();
        EXPECT_LT(clock.elapsed(), 500) << "Apply waited for the STUN server";
        EXPECT_TRUE(network.status->text().contains(server));
        // The event loop runs on while the server is asked: no gap of a second.
        qint64 last = clock.elapsed(), longest = 0;
        const bool said = pumpUntil(
            [&] {
                longest = std::max(longest, clock.elapsed() - last);
                last = clock.elapsed();
                return network.status->text().contains("does not answer");
            },
            30000);
        EXPECT_TRUE(said) << network.status->text().toStdString();
        EXPECT_LT(longest, 1000) << "the GUI thread was held " << longest << " ms";
        EXPECT_TRUE(network.status->text().contains(server));
    }
}

TEST(SettingsGeneral, StartAtLogOnWritesAValidEntryAndRemovesIt)
{
    english();
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString path = kxautostart::entryPath();
    EXPECT_EQ(path, config.path() + "/autostart/Kestrovia.desktop");
    auto validate = [](const QString& file) {
        if (std::system("command -v desktop-file-validate >/dev/null 2>&1") != 0)
            return std::string("skip");
        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start("desktop-file-validate", {file});
        check.waitForFinished(10000);
        return check.exitCode() == 0 ? std::string() : check.readAll().toStdString();
    };

    Client client;
    WidgetSettings& dialog = openSettings(client, 0);
    SettingsGeneral& general = *dialog.general();
    if (!general.autoStart->isChecked())
        QTest::mouseClick(general.autoStart, Qt::LeftButton);
    QTest::mouseClick(general.autoUpdate, Qt::LeftButton);
    dialog.onApply();
    ASSERT_TRUE(QFile::exists(path));
    QFile entry(path);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.contains("Exec=\"" + QCoreApplication::applicationFilePath() + "\""));
    const std::string verdict = validate(path);
    if (verdict != "skip") {
        EXPECT_EQ(verdict, "");
    }
    EXPECT_TRUE(general.status->text().isEmpty());

    QTest::mouseClick(general.autoStart, Qt::LeftButton);
    dialog.onApply();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(client.settings.value("autoStart").toBool());

    // A program path with blanks, quotes, dollars, backslashes and percent signs.
    const QString odd = "/opt/My Apps/a\"b$c\\d%e/kxphone";
    EXPECT_EQ(kxautostart::apply(true, odd), "");
    entry.close();
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(entry.readAll())
                    .contains(R"(Exec="/opt/My Apps/a\\"b\\$c\\\\d%%e/kxphone")"));
    if (verdict != "skip") {
        EXPECT_EQ(validate(path), "");
    }

    // A folder that cannot be made: the page says so.
    QFile blocker(config.path() + "/autostart");
    QFile::remove(path);
    QDir(config.path()).rmdir("autostart");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    QTest::mouseClick(general.autoStart, Qt::LeftButton);
    dialog.onApply();
    EXPECT_TRUE(general.status->text().startsWith("Start at log-on could not be set"));
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsFile, GarbageEditedByHandGoesBackToDefaultsAndTheRestIsKept)
{
    english();
    QTemporaryDir dir;
    QSettings settings(dir.filePath("Kestrovia.ini"), QSettings::IniFormat);
    kxdefaults::writeMissing(settings);
    settings.setValue("name", "Phòng 2");
    settings.setValue("autoAnswer", "maybe");
    settings.setValue("net/transmit", "0");
    settings.setValue("net/receive", "fast");
    settings.setValue("net/nat", 7);
    settings.setValue("net/mediaPortsUdp", 4000);
    settings.setValue("net/mediaPortsUdpMax", 3000);
    settings.setValue("net/mediaPortsTcp", 99999);
    settings.setValue("audio/jitter", "-5");
    settings.setValue("audio/echoDuration", 300);
    settings.setValue("codecs/width", "wide");
    settings.setValue("call/layout", 9);
    settings.setValue("language", "fr");
    settings.setValue("codecs/g722", false);
    const QStringList corrected = kxdefaults::correctInvalid(settings);
    EXPECT_EQ(QSet<QString>(corrected.begin(), corrected.end()),
              (QSet<QString>{"autoAnswer", "net/transmit", "net/receive", "net/nat",
                             "net/mediaPortsUdpMax", "net/mediaPortsTcp", "audio/jitter",
                             "audio/echoDuration", "codecs/width", "call/layout", "language"}));
    EXPECT_EQ(settings.value("autoAnswer").toBool(), true);
    EXPECT_EQ(settings.value("net/transmit").toInt(), 1024);
    EXPECT_EQ(settings.value("net/nat").toInt(), 0);
    EXPECT_EQ(settings.value("net/mediaPortsUdp").toInt(), 4000);
    EXPECT_EQ(settings.value("net/mediaPortsUdpMax").toInt(), 4020);
    EXPECT_EQ(settings.value("net/mediaPortsTcp").toInt(), 3230);
    EXPECT_EQ(settings.value("audio/echoDuration").toInt(), 256);
    EXPECT_EQ(settings.value("language").toString(), "vn");
    // What was good stays.
    EXPECT_EQ(settings.value("name").toString(), "Phòng 2");
    EXPECT_FALSE(settings.value("codecs/g722").toBool());
    EXPECT_TRUE(kxdefaults::correctInvalid(settings).isEmpty()) << "a second pass finds nothing";

    // The dialog corrects what its pages show when it opens, and leaves the language
    // (an unknown one means no catalogue) alone.
    Client client(true, [](QSettings& stored) {
        stored.setValue("net/transmit", "fast");
        stored.setValue("audio/jitter", "0");
        stored.setValue("language", "xx");
    });
    WidgetSettings& dialog = openSettings(client, 4);
    EXPECT_EQ(dialog.network()->transmit->currentText(), "1024");
    EXPECT_EQ(client.settings.value("net/transmit").toString(), "1024");
    EXPECT_EQ(client.settings.value("audio/jitter").toInt(), 250);
    EXPECT_EQ(client.settings.value("language").toString(), "xx");
}

/// A loudspeaker, and a microphone fed by what is played into kx_mic_feed.
std::vector<std::string> deviceModules()
{
    return {"module-null-sink sink_name=kx_speaker rate=8000 channels=1 "
            "sink_properties=device.description=Test_Speaker",
            "module-null-sink sink_name=kx_mic_feed rate=8000 channels=1",
            "module-remap-source source_name=kx_mic master=kx_mic_feed.monitor "
            "source_properties=device.description=Test_Microphone"};
}

TEST(SettingsAudio, DeviceTestsVolumesAndADeviceThatGoesThroughARealSoundServer)
{
    english();
    SoundServer server(deviceModules());
    if (!server.start())
        KX_SKIP_WITHOUT_TOOL() << "pulseaudio is not installed or did not start";
    Client client(true, {}, voip::kPulseAudioDriver);
    WidgetSettings& dialog = openSettings(client, 1);
    SettingsAudio& audio = *dialog.audio();
    ASSERT_GE(audio.inputDevice->findText("Test_Microphone"), 0);
    ASSERT_GE(audio.outputDevice->findText("Test_Speaker"), 0);
    pick(audio.inputDevice, "Test_Microphone");
    pick(audio.outputDevice, "Test_Speaker");
    EXPECT_TRUE(dialog.applyButton()->isEnabled()) << "other devices than the stored ones";

    // The volume slider is the device's system volume.
    ASSERT_TRUE(audio.outputVolume->isEnabled());
    audio.outputVolume->setValue(40);
    auto speaker = voip::createOpenedSoundChannel(
        {voip::kPulseAudioDriver, "Test_Speaker", voip::SoundDirection::Player});
    ASSERT_TRUE(speaker);
    EXPECT_EQ(speaker.value()->volume().value(), 40u);
    audio.outputVolume->setValue(100);

    // The microphone test records what is played into the microphone's feed.
    auto feed = voip::createOpenedSoundChannel(
        {voip::kPulseAudioDriver, "kx_mic_feed", voip::SoundDirection::Player});
    ASSERT_TRUE(feed);
    std::atomic<bool> feeding{true};
    std::thread tone([&] {
        std::vector<std::int16_t> samples(160);
        for (unsigned n = 0; feeding; ++n) {
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] =
                    std::int16_t(12000 * std::sin(2 * M_PI * 440 * double(n * 160 + i) / 8000));
            if (!feed.value()->write(samples))
                break;
        }
    });
    QTest::mouseClick(audio.testMicroButton, Qt::LeftButton);
    EXPECT_FALSE(audio.testMicroButton->isEnabled());
    EXPECT_FALSE(audio.testSpeakerButton->isEnabled());
    EXPECT_TRUE(pumpUntil([&] { return audio.testStatus->text().startsWith("Recording"); }, 2000));
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    auto tick = [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
    };
    EXPECT_TRUE(pumpUntil(
        [&] {
            tick();
            return audio.testStatus->text().startsWith("Playing");
        },
        10000));
    EXPECT_TRUE(pumpUntil(
        [&] {
            tick();
            return audio.testMicroButton->isEnabled();
        },
        15000));
    feeding = false;
    tone.join();
    EXPECT_GE(clock.elapsed(), 4000) << "5 s recorded, then played";
    EXPECT_LT(longest, 500) << "the GUI thread was held during the test";
    const QRegularExpression loudest("Loudest sound: (\\d+) %");
    const auto match = loudest.match(audio.testStatus->text());
    ASSERT_TRUE(match.hasMatch()) << audio.testStatus->text().toStdString();
    EXPECT_GE(match.captured(1).toInt(), 20);

    // The speaker test plays on the loudspeaker: its monitor hears it.
    auto monitor =
        voip::createOpenedSoundChannel({voip::kPulseAudioDriver, "kx_speaker.monitor",
                                        voip::SoundDirection::Recorder, 1, 8000, 16, 320, 4});
    ASSERT_TRUE(monitor);
    std::atomic<int> peak{0};
    std::atomic<bool> listening{true};
    std::thread listen([&] {
        std::vector<std::int16_t> samples(160);
        while (listening && monitor.value()->read(samples))
            for (auto s : samples)
                peak = std::max(peak.load(), std::abs(int(s)));
    });
    QTest::mouseClick(audio.testSpeakerButton, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] { return audio.testSpeakerButton->isEnabled(); }, 10000));
    listening = false;
    monitor.value()->close();
    listen.join();
    EXPECT_GT(peak.load(), 1000) << "the chime did not reach the loudspeaker";

    // Saving takes the devices into the engine.
    dialog.onApply();
    EXPECT_EQ(client.settings.value("audio/output").toString(), "Test_Speaker");
    EXPECT_EQ(client.manager->pcssEndPoint()->playDevice(), "Test_Speaker");

    // The loudspeaker goes away while the page is open: the test says so, and the page
    // goes on.
    ASSERT_EQ(server.pactl("unload-module module-null-sink"), 0);
    QTest::mouseClick(audio.testSpeakerButton, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] { return audio.testSpeakerButton->isEnabled(); }, 10000));
    EXPECT_EQ(audio.testStatus->text(), "The device could not be opened");
    EXPECT_TRUE(audio.testStatus->property("fault").toBool()) << "shown as a failure";
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
}

TEST(SettingsAudio, WithoutASoundServerThePageAndTheCallSaySo)
{
    english();
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/kx-no-server", 1);
    struct Restore
    {
        bool had;
        std::string value;
        ~Restore()
        {
            if (had)
                ::setenv("PULSE_SERVER", value.c_str(), 1);
            else
                ::unsetenv("PULSE_SERVER");
        }
    } restore{old != nullptr, saved};

    Client client(true, {}, voip::kPulseAudioDriver);
    client.connectWindow();
    WidgetSettings& dialog = openSettings(client, 1);
    SettingsAudio& audio = *dialog.audio();
    EXPECT_FALSE(audio.deviceProblem->isHidden());
    EXPECT_TRUE(audio.deviceProblem->text().startsWith("No sound device is available"));
    QTest::mouseClick(audio.testSpeakerButton, Qt::LeftButton);
    EXPECT_TRUE(pumpUntil([&] { return audio.testSpeakerButton->isEnabled(); }, 10000));
    EXPECT_EQ(audio.testStatus->text(), "The device could not be opened");
    EXPECT_TRUE(audio.testStatus->property("fault").toBool());
    dialog.close();

    // A call goes ahead without sound, and the call view says why there is none.
    client.window.show();
    Kxcall peer({"--listen", "0", "--bind", "127.0.0.1", "--calls", "1"});
    ASSERT_EQ(client.manager->placeCall(peer.address(), true), "");
    ASSERT_TRUE(peer.waitFor("established"));
    FadeDialog& notice = *client.window.callToolbar()->fade();
    EXPECT_TRUE(pumpUntil([&] {
        return notice.text().startsWith("No sound device could be opened");
    })) << notice.text().toStdString();
    // And goes on saying it after the notice has faded, by the greyed controls too.
    WidgetCall& toolbar = *client.window.callToolbar();
    ASSERT_TRUE(pumpUntil([&] { return toolbar.soundStateLabel()->toolTip().contains('\n'); }))
        << toolbar.soundStateLabel()->toolTip().toStdString();
    EXPECT_EQ(toolbar.soundStateLabel()->text(), "No sound device");
    EXPECT_EQ(toolbar.soundStateLabel()->toolTip(),
              "The microphone could not be opened: the far end hears nothing from you\n"
              "The loudspeaker could not be opened: you hear nothing of the call");
    EXPECT_FALSE(toolbar.microVolume()->isEnabled());
    EXPECT_EQ(toolbar.microVolume()->toolTip(),
              "The microphone could not be opened: the far end hears nothing from you");
    toolbar.UpdateData();
    EXPECT_FALSE(toolbar.soundStateLabel()->isHidden()) << "for as long as the call lasts";
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
}

TEST(SettingsAudio, EchoCancelSendsTheCallsMicrophoneThroughTheCanceller)
{
    english();
    SoundServer server(deviceModules());
    if (!server.start())
        KX_SKIP_WITHOUT_TOOL() << "pulseaudio is not installed or did not start";
    Client client(
        true,
        [](QSettings& settings) {
            settings.setValue("audio/input", "Test_Microphone");
            settings.setValue("audio/output", "Test_Speaker");
            settings.setValue("audio/echo", true);
        },
        voip::kPulseAudioDriver);
    Kxcall peer({"--listen", "0", "--calls", "2"});
    const QString address = peer.address();
    ASSERT_EQ(client.manager->placeCall(address, true), "");
    ASSERT_TRUE(pumpUntil([&] { return client.manager->recordChannel() != nullptr; }));
    auto microphone = client.manager->recordChannel();
    EXPECT_EQ(microphone->name(), "Windows AEC");
    // The toolbar's mute acts on the real microphone under the canceller.
    ASSERT_TRUE(microphone->setMute(true));
    EXPECT_TRUE(microphone->mute().value());
    ASSERT_TRUE(microphone->setMute(false));
    ASSERT_TRUE(peer.waitFor("media opened", 2));
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());

    // Echo cancellation off in the page: the next call records the microphone itself.
    WidgetSettings& dialog = openSettings(client, 1);
    QTest::mouseClick(dialog.audio()->echoCancel, Qt::LeftButton);
    dialog.onApply();
    EXPECT_FALSE(client.settings.value("audio/echo").toBool());
    ASSERT_EQ(client.manager->placeCall(address, true), "");
    ASSERT_TRUE(pumpUntil([&] { return client.manager->recordChannel() != nullptr; }));
    EXPECT_EQ(client.manager->recordChannel()->name(), "Test_Microphone");
    client.manager->hangUp();
    ASSERT_TRUE(client.idle());
}

TEST(SettingsVideo, ACamerasOwnSettingsOpenFromConfigureAndApplyAtOnce)
{
    english();
    voip::FakeCamera camera;
    voip::usualWebcam(camera);
    Client client(true, {}, "Null", [&](KxManager::Context& context, MainWindow&) {
        context.cameraDriver = voip::kV4l2VideoDriver;
        context.cameraSystem = &camera;
        context.startVideo = false;
    });
    WidgetSettings& dialog = openSettings(client, 2);
    SettingsVideo& video = *dialog.video();
    EXPECT_FALSE(video.configure->isEnabled()) << "no device: nothing to configure";
    pick(video.device, "Test Camera");
    ASSERT_TRUE(video.configure->isEnabled());
    QTest::mouseClick(video.configure, Qt::LeftButton);
    auto* controls = dialog.findChild<CameraControlsDialog*>();
    ASSERT_TRUE(controls);
    EXPECT_TRUE(controls->isVisible());
    EXPECT_EQ(controls->windowTitle(), "Camera settings: Test Camera");

    // A slider moved with the keyboard reaches the camera at once, on its step.
    auto* contrast = qobject_cast<QSlider*>(controls->editor(V4L2_CID_CONTRAST));
    ASSERT_TRUE(contrast);
    EXPECT_EQ(contrast->value(), 50);
    contrast->setFocus();
    QTest::keyClick(contrast, Qt::Key_Right);
    EXPECT_EQ(camera.findControl(V4L2_CID_CONTRAST)->value, 55);
    EXPECT_EQ(contrast->value(), 55);
    auto* brightness = qobject_cast<QSlider*>(controls->editor(V4L2_CID_BRIGHTNESS));
    ASSERT_TRUE(brightness);
    EXPECT_EQ(brightness->value(), 10) << "the camera's value";

    // Manual exposure frees the exposure time; automatic white balance off frees its
    // temperature.
    auto* exposureTime = controls->editor(V4L2_CID_EXPOSURE_ABSOLUTE);
    ASSERT_TRUE(exposureTime);
    EXPECT_FALSE(exposureTime->isEnabled());
    auto* mode = qobject_cast<QComboBox*>(controls->editor(V4L2_CID_EXPOSURE_AUTO));
    ASSERT_TRUE(mode);
    pick(mode, "Manual Mode");
    EXPECT_EQ(camera.findControl(V4L2_CID_EXPOSURE_AUTO)->value, 1);
    EXPECT_TRUE(exposureTime->isEnabled());
    auto* whiteBalance = qobject_cast<QCheckBox*>(controls->editor(V4L2_CID_AUTO_WHITE_BALANCE));
    ASSERT_TRUE(whiteBalance);
    EXPECT_FALSE(controls->editor(V4L2_CID_WHITE_BALANCE_TEMPERATURE)->isEnabled());
    QTest::mouseClick(whiteBalance, Qt::LeftButton);
    EXPECT_EQ(camera.findControl(V4L2_CID_AUTO_WHITE_BALANCE)->value, 0);
    EXPECT_TRUE(controls->editor(V4L2_CID_WHITE_BALANCE_TEMPERATURE)->isEnabled());
    EXPECT_EQ(controls->findChild<QLabel*>("cameraControlsProblem")->isHidden(), true);

    // A control another program holds: the change is refused, said, and the slider shows
    // what the camera still has.
    camera.findControl(V4L2_CID_ZOOM_ABSOLUTE)->flags = V4L2_CTRL_FLAG_GRABBED;
    auto* zoom = qobject_cast<QSlider*>(controls->editor(V4L2_CID_ZOOM_ABSOLUTE));
    ASSERT_TRUE(zoom);
    zoom->setValue(300);
    EXPECT_EQ(camera.findControl(V4L2_CID_ZOOM_ABSOLUTE)->value, 100);
    EXPECT_EQ(zoom->value(), 100);
    EXPECT_FALSE(controls->problemLabel()->isHidden());
    EXPECT_TRUE(controls->problemLabel()->text().startsWith("Zoom was not changed"))
        << controls->problemLabel()->text().toStdString();
    EXPECT_FALSE(zoom->isEnabled()) << "held by another program";

    // Reset puts back the defaults.
    QTest::mouseClick(controls->resetButton(), Qt::LeftButton);
    EXPECT_EQ(camera.findControl(V4L2_CID_CONTRAST)->value, 50);
    EXPECT_EQ(camera.findControl(V4L2_CID_BRIGHTNESS)->value, 0);
    EXPECT_EQ(camera.findControl(V4L2_CID_EXPOSURE_AUTO)->value, 3);
    EXPECT_EQ(brightness->value(), 0);
    EXPECT_FALSE(exposureTime->isEnabled());

    // Closed, the dialog goes and lets the camera go.
    controls->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(dialog.findChild<CameraControlsDialog*>());
    EXPECT_EQ(camera.opens, camera.closes) << "the camera's node is closed with the dialog";
    dialog.close();

    // The same from the camera popup of the main window.
    WidgetCam& popup = *client.window.cameraDialog();
    popup.UpdateData();
    pick(popup.deviceBox(), "Test Camera");
    ASSERT_TRUE(popup.configureButton()->isEnabled());
    QTest::mouseClick(popup.configureButton(), Qt::LeftButton);
    auto* fromPopup = client.window.findChild<CameraControlsDialog*>();
    ASSERT_TRUE(fromPopup);
    EXPECT_TRUE(fromPopup->isVisible());
    fromPopup->close();
}

TEST(SettingsNetwork, AGatekeeperSetOnThePageRegistersAndCallsGoByAlias)
{
    english();
    voip::testutil::TestGatekeeper gatekeeper("224.0.1.41", 0); // also found by multicast
    Kxcall bob({"--listen", "0", "--bind", "127.0.0.1", "--calls", "0", "--name", "bob",
                "--gatekeeper", QString::fromStdString(gatekeeper.address()), "--alias", "bob",
                "--e164", "1002"});
    ASSERT_TRUE(bob.waitFor("gatekeeper"));
    Client client;
    // Without a gatekeeper, a bare word is dialled as a host name, and no host is called bob.
    ASSERT_EQ(client.manager->placeCall("bob", true), "");
    ASSERT_TRUE(client.idle());
    WidgetSettings& dialog = openSettings(client, 4);
    SettingsNetwork& network = *dialog.network();
    EXPECT_FALSE(network.gatekeeperHost->isEnabled());
    EXPECT_FALSE(network.gatekeeperPassword->isEnabled());
    EXPECT_EQ(network.gatekeeperTtl->text(), "300");
    pick(network.gatekeeper, 2);
    EXPECT_TRUE(network.gatekeeperHost->isEnabled());
    EXPECT_EQ(network.gatekeeperPassword->echoMode(), QLineEdit::Password);
    type(network.gatekeeperHost, QString::fromStdString(gatekeeper.address()));
    type(network.gatekeeperAlias, "Phòng 3");
    type(network.gatekeeperE164, "10x03"); // the validator lets no letter in
    EXPECT_EQ(network.gatekeeperE164->text(), "1003");
    dialog.onApply();
    EXPECT_EQ(client.settings.value("gatekeeper/mode").toInt(), 2);
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text() == "Registered with the gatekeeper as Phòng 3\n"
                                                   "Traversal through KxTestGK: not offered";
    })) << network.gatekeeperStatus->text().toStdString();
    EXPECT_FALSE(client.settings.contains("gatekeeper/password")) << "nothing more is written";
    // A gatekeeper that takes calls across a NAT says so; switched off on the page, the
    // registration offers it no more.
    gatekeeper.serveTraversal();
    ASSERT_TRUE(network.gatekeeperTraversal->isChecked());
    type(network.gatekeeperTtl, "299");
    dialog.onApply();
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text().endsWith("Traversal through KxTestGK: on");
    })) << network.gatekeeperStatus->text().toStdString();
    QTest::mouseClick(network.gatekeeperTraversal, Qt::LeftButton);
    dialog.onApply();
    EXPECT_EQ(client.settings.value("gatekeeper/traversal").toString(), "false");
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text().endsWith("Traversal through KxTestGK: off");
    })) << network.gatekeeperStatus->text().toStdString();
    EXPECT_TRUE(gatekeeper.lookUp("Phòng 3"));
    EXPECT_TRUE(gatekeeper.lookUp("1003"));

    // Dialled by alias and by number: found through the gatekeeper.
    for (const QString target : {"bob", "1002"}) {
        const int before = bob.count("incoming call");
        ASSERT_EQ(client.manager->placeCall(target, true), "") << target.toStdString();
        ASSERT_TRUE(bob.waitFor("incoming call", before + 1)) << target.toStdString();
        ASSERT_TRUE(pumpUntil([&] { return client.manager->inCall(); }));
        client.manager->hangUp();
        ASSERT_TRUE(client.idle());
    }
    EXPECT_TRUE(pumpUntil([&] { return gatekeeper.count("disengageRequest") >= 4; }));

    // A refusal is said on the page; switching the gatekeeper off unregisters.
    gatekeeper.rejectRegistrations("duplicateAlias");
    type(network.gatekeeperAlias, "bob");
    dialog.onApply();
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text() ==
               "The gatekeeper refused the registration: the alias is already registered by "
               "another endpoint";
    })) << network.gatekeeperStatus->text().toStdString();
    gatekeeper.rejectRegistrations(std::nullopt);

    // Found on the network, with a password: a wrong one is said, the right one registers.
    // A time to live out of range is brought into it.
    gatekeeper.requirePasswords({{"Phòng 3", "khóa 9"}});
    client.settings.setValue("gatekeeper/discovery",
                             QString::fromStdString(gatekeeper.discoveryAddress()));
    pick(network.gatekeeper, 1);
    EXPECT_FALSE(network.gatekeeperHost->isEnabled());
    EXPECT_TRUE(network.gatekeeperPassword->isEnabled());
    type(network.gatekeeperAlias, "Phòng 3");
    type(network.gatekeeperPassword, "khóa 8");
    type(network.gatekeeperTtl, "5");
    dialog.onApply();
    EXPECT_EQ(network.gatekeeperTtl->text(), "10");
    EXPECT_EQ(client.settings.value("gatekeeper/ttl").toInt(), 10);
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text() ==
               "The gatekeeper refused the registration: wrong password or alias";
    })) << network.gatekeeperStatus->text().toStdString();
    // The password is kept where only its owner reads it.
    EXPECT_EQ(QFile::permissions(client.settings.fileName()) &
                  (QFileDevice::ReadGroup | QFileDevice::ReadOther),
              0);
    type(network.gatekeeperPassword, "khóa 9");
    dialog.onApply();
    EXPECT_TRUE(pumpUntil([&] {
        return network.gatekeeperStatus->text().startsWith(
            "Registered with the gatekeeper as Phòng 3\n");
    })) << network.gatekeeperStatus->text().toStdString();
    EXPECT_GE(gatekeeper.count("gatekeeperRequest (multicast)"), 1u);
    pick(network.gatekeeper, 0);
    dialog.onApply();
    EXPECT_TRUE(network.gatekeeperStatus->text().isEmpty());
    EXPECT_FALSE(client.manager->gatekeeper());
}

TEST(SettingsInVietnamese, EveryPageShowsOnlyCatalogueTexts)
{
    english();
    Client client;
    QTranslator vietnamese;
    if (!vietnamese.load(":/locale/vn.qm"))
        GTEST_SKIP() << "resource bundle not built";
    QApplication::installTranslator(&vietnamese);
    // Made while the catalogue is in place, as at a Vietnamese start.
    client.connectWindow();
    WidgetSettings dialog(client.window.context());
    dialog.general()->status->setText(
        QCoreApplication::translate("SettingsGeneral", "autostart-failed"));
    dialog.network()->status->setText(
        QCoreApplication::translate("SettingsNetwork", "stun-asking"));
    dialog.audio()->testStatus->setText(
        QCoreApplication::translate("SettingsAudio", "test-silent"));
    QStringList texts;
    for (int page = 0; page < dialog.tabs()->count(); ++page) {
        dialog.tabs()->setCurrentIndex(page);
        dialog.UpdateData();
    }
    texts << visibleTexts(dialog);
    // Without a camera the Video page says so, in the language, not "no-device : 0x0".
    EXPECT_FALSE(dialog.video()->currentVideo->text().startsWith("no-device"))
        << dialog.video()->currentVideo->text().toStdString();
    // No row label is cut, and none needs a second line in its column.
    for (QLabel* label : dialog.findChildren<QLabel*>("labelSettings")) {
        EXPECT_TRUE(label->wordWrap() ||
                    label->fontMetrics().horizontalAdvance(label->text()) <= label->maximumWidth())
            << "cut: " << label->text().toStdString();
        EXPECT_FALSE(label->wordWrap()) << "on two lines: " << label->text().toStdString();
    }
    // The default sound device (not listed by the null sound system, so added as a stored
    // choice is) is named in the language, and stored by its own name.
    QComboBox& input = *dialog.audio()->inputDevice;
    ASSERT_TRUE(sounddevices::choose(input, "Default audio", true));
    EXPECT_EQ(input.currentText(), QString::fromUtf8("Âm thanh mặc định"));
    dialog.audio()->save();
    EXPECT_EQ(client.settings.value("audio/input").toString(), "Default audio");
    // The languages are named in themselves, whatever the interface speaks.
    EXPECT_EQ(dialog.general()->language->itemText(0), "English");
    EXPECT_EQ(dialog.general()->language->itemText(1), "Tiếng Việt");
    QApplication::removeTranslator(&vietnamese);

    const QSet<QString> ours = catalogueTexts("vn.ts");
    const QSet<QString> english = catalogueTexts("en.ts");
    // Not interface text: codec names, sizes, numbers, the stored name, device names, and
    // the languages, each named in itself.
    const QSet<QString> data = {"Kestrovia", "G.722",      "G.711a",
                                "G.711u",    "H.239",      "STUN",
                                "Null",      "Null Audio", "stun.sipgate.net:3478",
                                "English",   "Tiếng Việt"};
    int pieces = 0;
    for (const QString& text : texts) {
        QString piece = text;
        piece.remove(QRegularExpression(" \\((Kbps|ms)\\)$"))
            .remove(QRegularExpression(" ?%1(\\.\\.\\.)?$"));
        piece = piece.trimmed();
        bool letters = false;
        for (QChar c : piece)
            letters = letters || c.isLetter();
        if (!letters || data.contains(piece) ||
            QRegularExpression("^\\d+x\\d+$").match(piece).hasMatch())
            continue;
        if (piece.contains(" : "))
            continue; // the current video line: device and mode
        ++pieces;
        EXPECT_TRUE(ours.contains(piece) || ours.contains(piece + " %1") ||
                    ours.contains(piece + ": %1") || ours.contains(text))
            << "not a catalogue text: \"" << piece.toStdString() << "\"";
        EXPECT_FALSE(english.contains(text) && !ours.contains(text))
            << "English left: " << text.toStdString();
    }
    EXPECT_GT(pieces, 40);
}

} // namespace
