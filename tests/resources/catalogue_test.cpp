// The two translation catalogues: every context and key the interface uses
// is in both; English follows the naming rule and its listed exceptions;
// Vietnamese is real Vietnamese text in precomposed UTF-8.

#include <map>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QXmlStreamReader>

#include "test_application.h"

namespace {

using Catalogue = std::vector<std::pair<const char*, QStringList>>;

// Contexts and keys as the interface uses them.
const Catalogue& expectedKeys()
{
    static const Catalogue keys = {
        {"KxManager",
         {"address-not-callable", "address-too-long", "call-in-progress",
          "call-not-set-up",      "no-address-given", "camera-stopped",       "camera-refused", "capture-needs-portal",
          "capture-refused", "capture-no-answer", "capture-ended", "capture-format",
          "capture-no-display",   "window-closed",    "gk-registered",        "gk-registering",
          "gk-rejected",          "gk-unreachable",   "gk-unregistered",      "gk-why-alias",
          "gk-why-duplicate",     "gk-why-excluded",  "gk-why-full",          "gk-why-resolve",
          "gk-why-security",
          // how a call ended
          "call-failed", "call-cancelled", "call-ended", "call-ended-by-far-end",
          "call-ended-because", "missed-call", "missed-call-busy", "redirect-failed",
          "why-nobody-listening", "why-name-not-found", "why-busy", "why-no-answer", "why-refused",
          "why-temporary", "why-temporary-twice", "why-unreachable", "why-offline", "why-no-user",
          "why-gatekeeper", "why-no-common-media", "why-security", "why-connection-lost",
          "why-no-resources", "why-media-failed", "why-bad-address", "why-time-limit", "sent-on-to",
          "no-sound-device"}},
        {"CameraControlsDialog",
         {"auto-focus", "auto-white-balance", "backlight-compensation", "brightness",
          "camera-not-opened", "camera-settings", "close", "contrast", "exposure-mode",
          "exposure-time", "focus", "gain", "hue", "no-controls", "not-changed", "pan",
          "power-line-frequency", "reset", "reset-incomplete", "saturation", "sharpness", "tilt",
          "white-balance-temperature", "zoom"}},
        {"MainWindow",
         {"MainWindow", "answer", "app-minimized-to-tray", "are-you-sure", "decline",
          "display-camera", "exit", "exit-program", "from", "incoming-call", "info", "settings"}},
        {"SettingsAudio",
         {"echo-cancel", "echo-length-ms", "input-device", "input-volume", "jitter-delay",
          "no-sound-device", "output-device", "output-volume", "playing", "recording",
          "silence-detection",
          "test-devices", "test-failed", "test-loudest", "test-micro", "test-silent",
          "test-speaker"}},
        {"SettingsCodecs", {"audio-codecs", "fecc", "video-frame-size"}},
        {"SettingsGeneral",
         {"auto-answer", "auto-start", "auto-update", "autostart-failed", "display-name",
          "language"}},
        {"SettingsNetwork", {"bandwidth-receive", "bandwidth-transmit",
                             "enable-nat",        "media-ports-tcp",
                             "media-ports-udp",   "gatekeeper",
                             "gatekeeper-alias",  "gatekeeper-e164",
                             "gatekeeper-host",   "gatekeeper-password",
                             "gatekeeper-ttl",    "gk-auto",
                             "gk-host",           "gk-off",
                             "nat-manual",        "nat-off",
                             "nat-stun",          "ports-corrected",
                             "public-ip",         "stun-answered",
                             "stun-asking",       "stun-no-answer",
                             "stun-server"}},
        {"SettingsVideo",
         {"capture-window", "configure", "configure-video", "current-video", "desktop",
          "full-screen", "no-device", "video-device", "video-format"}},
        {"WidgetCall",
         {"are-you-sure",    "call",         "call-status", "change-layout", "change-layout-tip",
          "content-full",    "dial-pad",     "end-call",    "fecc",          "full-screen",
          "full-screen-tip", "layout",       "local-full",  "micro-volume",  "mute-micro",
          "mute-speaker",    "remote-full",  "settings",    "side-by-side",  "speaker-volume",
          "toggle-camera",   "toggle-layout"}},
        {"WidgetCalling", {"calling", "connecting", "ringing", "cancel-call", "close"}},
        {"WidgetCam",
         {"chosen-by-the-desktop", "configure", "desktop", "device", "format", "full-screen",
          "no-device", "video", "window"}},
        {"WidgetContacts",
         {"add-contact", "address", "are-you-sure", "call", "contacts", "edit-contact",
          "erase-all-contacts", "export-contacts", "export-failed", "import-contacts",
          "import-failed", "ip-address", "name", "name-needed", "organization", "protocol",
          "remove-contact", "save"}},
        {"WidgetDialpad", {"send"}},
        {"WidgetHistory", {"add-contact",  "add-to-contacts",
                           "address",      "are-you-sure",
                           "call",         "clear-history",
                           "duration",     "failure",
                           "flow",         "history",
                           "incoming",     "ip-address",
                           "minutes",      "name",         "name-needed",
                           "organization", "outgoing",
                           "protocol",     "remove-entry",
                           "save",         "status",
                           "success",      "time"}},
        {"WidgetHome", {"call", "dial-pad", "enter-address"}},
        {"WidgetInfo",
         {"about", "built-on", "close", "info", "license", "license-file-not-found",
          "open-source-licenses", "product", "version"}},
        {"WidgetSettings",
         {"apply", "audio", "cancel", "close", "codecs", "discard", "general", "network", "save",
          "save-changes", "settings", "video"}},
        {"WidgetSettingsCall",
         {"audio", "auto-hide", "bottom", "bottom-left", "bottom-right", "change-pip",
          "change-pip-tip", "input", "layout", "location", "off", "output", "pip", "toolbar", "top",
          "top-left", "top-right"}},
        {"WidgetStatistics",
         {"audio", "bandwidth", "codec", "jitter", "latency", "packet-lost", "rate", "rx", "size",
          "transfer", "tx", "video"}},
    };
    return keys;
}

// The English texts that do not follow the rule.
const std::map<std::pair<QString, QString>, QString>& englishExceptions()
{
    static const std::map<std::pair<QString, QString>, QString> exceptions = {
        {{"KxManager", "address-not-callable"}, "\"%1\" is not an address that can be called"},
        {{"KxManager", "call-failed"}, "The call to %1 failed: %2"},
        {{"KxManager", "call-cancelled"}, "Call to %1 cancelled"},
        {{"KxManager", "call-ended"}, "Call with %1 ended (%2)"},
        {{"KxManager", "call-ended-by-far-end"}, "%1 ended the call (%2)"},
        {{"KxManager", "call-ended-because"}, "The call with %1 ended after %2: %3"},
        {{"KxManager", "missed-call"}, "Missed call from %1"},
        {{"KxManager", "missed-call-busy"}, "Missed call from %1 (you were in another call)"},
        {{"KxManager", "redirect-failed"}, "%1 sent the call on to %2, which cannot be called: %3"},
        {{"KxManager", "why-nobody-listening"},
         "nothing answers at that address (no video system is listening there, or it is "
         "switched off)"},
        {{"KxManager", "why-name-not-found"},
         "no host of that name was found (an alias alone needs a gatekeeper, or alias@host)"},
        {{"KxManager", "why-busy"}, "the line is busy"},
        {{"KxManager", "why-no-answer"}, "there was no answer"},
        {{"KxManager", "why-refused"}, "the call was refused"},
        {{"KxManager", "why-temporary"}, "a temporary failure at the far end"},
        {{"KxManager", "why-temporary-twice"},
         "a temporary failure at the far end, also on a second try"},
        {{"KxManager", "why-unreachable"}, "the address cannot be reached"},
        {{"KxManager", "why-offline"}, "the far end is out of service"},
        {{"KxManager", "why-no-user"}, "there is no such user there"},
        {{"KxManager", "why-gatekeeper"}, "the gatekeeper did not allow the call"},
        {{"KxManager", "why-no-common-media"},
         "the two sides have no audio or video format in common"},
        {{"KxManager", "why-security"}, "a security check failed"},
        {{"KxManager", "why-connection-lost"}, "the connection was lost"},
        {{"KxManager", "why-no-resources"}, "not enough bandwidth or resources"},
        {{"KxManager", "why-media-failed"}, "the audio or video could not be started"},
        {{"KxManager", "why-bad-address"}, "the far end does not accept that address"},
        {{"KxManager", "why-time-limit"}, "the call reached its time limit"},
        {{"WidgetContacts", "name-needed"}, "Type a name for the contact"},
        {{"CameraControlsDialog", "camera-not-opened"},
         "The camera's settings could not be opened: %1"},
        {{"CameraControlsDialog", "camera-settings"}, "Camera settings: %1"},
        {{"CameraControlsDialog", "no-controls"}, "This camera offers no settings"},
        {{"CameraControlsDialog", "not-changed"}, "%1 was not changed: %2"},
        {{"CameraControlsDialog", "reset-incomplete"}, "Some settings stayed as they were: %1"},
        {{"WidgetCall", "mute-micro"}, "Mute the microphone"},
        {{"WidgetInfo", "built-on"}, "built on September 12th, 2026"},
        {{"KxManager", "no-sound-device"},
         "No sound device could be opened: this call carries no sound. Is the sound server "
         "(PulseAudio or PipeWire) running?"},
        {{"SettingsAudio", "no-sound-device"},
         "No sound device is available, so calls carry no sound. Is the sound server "
         "(PulseAudio or PipeWire) running?"},
        {{"WidgetHistory", "name-needed"}, "Type a name for the contact"},
        {{"KxManager", "sent-on-to"}, "%1, sent on to %2"},
        {{"WidgetCalling", "calling"}, "Calling %1"},
        {{"WidgetCalling", "connecting"}, "Connecting..."},
        {{"WidgetCalling", "ringing"}, "Ringing..."},
        {{"KxManager", "call-in-progress"}, "A call is in progress"},
        {{"KxManager", "call-not-set-up"}, "The call could not be set up"},
        {{"KxManager", "address-too-long"}, "The address is too long"},
        {{"KxManager", "window-closed"},
         "The shared window has closed; the whole desktop is sent instead"},
        {{"KxManager", "camera-stopped"}, "The camera \"%1\" stopped; no picture is sent from it"},
        {{"KxManager", "camera-refused"},
         "The desktop did not allow the camera to be used; no picture is sent"},
        {{"KxManager", "capture-needs-portal"},
         "Sharing the screen in this Wayland session needs the desktop's screen-cast portal "
         "(xdg-desktop-portal with a back end for this desktop); the camera still works"},
        {{"KxManager", "capture-refused"},
         "The desktop did not allow the screen to be shared; no picture is sent"},
        {{"KxManager", "capture-no-answer"},
         "The desktop did not answer the request to share the screen; no picture is sent"},
        {{"KxManager", "capture-ended"},
         "Screen sharing was stopped from the desktop; no picture is sent"},
        {{"KxManager", "capture-format"},
         "The desktop offers the screen only in a picture format this client cannot read; no "
         "picture is sent"},
        {{"KxManager", "capture-no-display"}, "Desktop and window capture need an X display"},
        {{"MainWindow", "MainWindow"}, "Main window"},
        {{"WidgetContacts", "export-failed"}, "The contacts could not be written to %1"},
        {{"WidgetContacts", "import-failed"}, "%1 is not a contacts file; the list is unchanged"},
        {{"SettingsAudio", "echo-length-ms"}, "Echo length (ms)"},
        {{"SettingsCodecs", "fecc"}, "Far end camera control"},
        {{"SettingsNetwork", "gatekeeper"}, "Gatekeeper"},
        {{"SettingsNetwork", "gatekeeper-alias"}, "Alias"},
        {{"SettingsNetwork", "gatekeeper-e164"}, "E.164 number"},
        {{"SettingsNetwork", "gatekeeper-host"}, "Gatekeeper address"},
        {{"SettingsNetwork", "gatekeeper-ttl"}, "Registration lifetime (s)"},
        {{"SettingsNetwork", "gk-auto"}, "Find one on the network"},
        {{"SettingsNetwork", "gk-host"}, "At this address"},
        {{"SettingsNetwork", "gk-off"}, "None"},
        {{"KxManager", "gk-registered"}, "Registered with the gatekeeper as %1"},
        {{"KxManager", "gk-registering"}, "Registering with the gatekeeper..."},
        {{"KxManager", "gk-rejected"}, "The gatekeeper refused the registration: %1"},
        {{"KxManager", "gk-unreachable"}, "The gatekeeper does not answer; trying again"},
        {{"KxManager", "gk-unregistered"}, "Not registered with the gatekeeper"},
        {{"KxManager", "gk-why-alias"}, "the gatekeeper does not accept this alias or number"},
        {{"KxManager", "gk-why-duplicate"}, "the alias is already registered by another endpoint"},
        {{"KxManager", "gk-why-excluded"}, "this endpoint may not register"},
        {{"KxManager", "gk-why-full"}, "the gatekeeper cannot take more endpoints"},
        {{"KxManager", "gk-why-resolve"}, "the gatekeeper's address does not resolve"},
        {{"KxManager", "gk-why-security"}, "wrong password or alias"},
        {{"SettingsAudio", "test-failed"}, "The device could not be opened"},
        {{"SettingsAudio", "test-loudest"}, "Loudest sound: %1 %"},
        {{"SettingsAudio", "test-silent"}, "Nothing was heard"},
        {{"SettingsGeneral", "autostart-failed"}, "Start at log-on could not be set: %1"},
        {{"SettingsNetwork", "ports-corrected"}, "Ports corrected: %1"},
        {{"SettingsNetwork", "stun-answered"}, "Public address: %1"},
        {{"SettingsNetwork", "stun-asking"}, "Asking %1..."},
        {{"SettingsNetwork", "stun-no-answer"}, "%1 does not answer, or its name does not resolve"},
        {{"SettingsNetwork", "bandwidth-receive"}, "Bandwidth Rx"},
        {{"SettingsNetwork", "bandwidth-transmit"}, "Bandwidth Tx"},
        {{"SettingsNetwork", "enable-nat"}, "Enable NAT"},
        {{"SettingsNetwork", "media-ports-tcp"}, "Media Ports TCP"},
        {{"SettingsNetwork", "media-ports-udp"}, "Media Ports UDP"},
        {{"SettingsNetwork", "nat-manual"}, "Manual"},
        {{"SettingsNetwork", "nat-off"}, "Off"},
        {{"SettingsNetwork", "nat-stun"}, "STUN"},
        {{"SettingsNetwork", "public-ip"}, "Public IP Address"},
        {{"SettingsNetwork", "stun-server"}, "STUN Server"},
        {{"WidgetCall", "change-layout-tip"}, "Click to change layout"},
        {{"WidgetCall", "content-full"}, "Content Full"},
        {{"WidgetCall", "dial-pad"}, "Dialpad"},
        {{"WidgetCall", "fecc"}, "FECC"},
        {{"WidgetCall", "full-screen-tip"}, "Full screen"},
        {{"WidgetCall", "local-full"}, "Local Full"},
        {{"WidgetCall", "remote-full"}, "Remote Full"},
        {{"WidgetContacts", "erase-all-contacts"}, "Importing will remove existing contacts"},
        {{"WidgetContacts", "ip-address"}, "IP Address"},
        {{"WidgetHistory", "add-to-contacts"}, "Add to Contacts"},
        {{"WidgetHistory", "ip-address"}, "IP Address"},
        {{"WidgetHome", "dial-pad"}, "Dialpad"},
        {{"WidgetInfo", "open-source-licenses"}, "Open source Licenses"},
        {{"WidgetSettingsCall", "change-pip"}, "Change PiP"},
        {{"WidgetSettingsCall", "change-pip-tip"}, "Click to change PiP"},
        {{"WidgetSettingsCall", "pip"}, "PiP"},
    };
    return exceptions;
}

/// The rule: hyphens become blanks and the first letter is upper case.
QString englishFor(const QString& context, const QString& key)
{
    const auto exception = englishExceptions().find({context, key});
    if (exception != englishExceptions().end()) {
        return exception->second;
    }
    QString text = key;
    text.replace('-', ' ');
    text[0] = text[0].toUpper();
    return text;
}

bool isVietnameseLetter(QChar c)
{
    static const QString letters =
        QString::fromUtf8("àáảãạăằắẳẵặâầấẩẫậèéẻẽẹêềếểễệìíỉĩịòóỏõọôồốổỗộơờớởỡợ"
                          "ùúủũụưừứửữựỳýỷỹỵđ");
    return letters.contains(c.toLower());
}

class Catalogues : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { testApplication(); }

    static void load(QTranslator& translator, const char* path)
    {
        ASSERT_TRUE(QFile::exists(path)) << path;
        ASSERT_TRUE(translator.load(path)) << path;
        ASSERT_FALSE(translator.isEmpty()) << path;
    }
};

TEST_F(Catalogues, EnglishFollowsTheRuleAndItsExceptions)
{
    QTranslator english;
    load(english, ":/locale/en.qm");
    int count = 0;
    for (const auto& [context, keys] : expectedKeys()) {
        for (const QString& key : keys) {
            const QString text = english.translate(context, key.toUtf8().constData());
            EXPECT_EQ(text, englishFor(context, key)) << context << " / " << key.toStdString();
            ++count;
        }
    }
    EXPECT_EQ(count, 278);
    // Every listed exception is itself a key of the catalogue.
    for (const auto& [where, text] : englishExceptions()) {
        bool listed = false;
        for (const auto& [context, keys] : expectedKeys()) {
            listed = listed || (where.first == context && keys.contains(where.second));
        }
        EXPECT_TRUE(listed) << where.second.toStdString();
    }
}

TEST_F(Catalogues, LookupsAreBoundToTheirContext)
{
    QTranslator english;
    load(english, ":/locale/en.qm");
    EXPECT_TRUE(english.translate("WidgetDialpad", "call").isEmpty());
    EXPECT_TRUE(english.translate("WidgetHome", "no-such-key").isEmpty());
    EXPECT_EQ(english.translate("WidgetCall", "fecc"), "FECC");
    EXPECT_EQ(english.translate("SettingsCodecs", "fecc"), "Far end camera control");
}

TEST_F(Catalogues, VietnameseCoversEveryKeyWithRealText)
{
    QTranslator vietnamese;
    load(vietnamese, ":/locale/vn.qm");
    int total = 0;
    int withDiacritics = 0;
    for (const auto& [context, keys] : expectedKeys()) {
        for (const QString& key : keys) {
            SCOPED_TRACE(std::string(context) + " / " + key.toStdString());
            const QString text = vietnamese.translate(context, key.toUtf8().constData());
            ++total;
            ASSERT_FALSE(text.isEmpty());
            EXPECT_NE(text, key);
            EXPECT_NE(text, englishFor(context, key).toLower());
            EXPECT_EQ(text, text.normalized(QString::NormalizationForm_C)) << "not precomposed";
            EXPECT_EQ(text, text.trimmed());
            EXPECT_FALSE(text.contains('-')) << "looks like an untranslated key";
            bool accented = false;
            for (const QChar c : text) {
                if (c.unicode() < 0x80) {
                    continue;
                }
                // Anything outside ASCII must be a Vietnamese letter, never
                // the debris of a wrong encoding ("Ã¡", U+FFFD).
                EXPECT_TRUE(isVietnameseLetter(c))
                    << "unexpected character U+" << std::hex << c.unicode();
                accented = true;
            }
            withDiacritics += accented ? 1 : 0;
        }
    }
    EXPECT_EQ(total, 278);
    EXPECT_GE(withDiacritics * 10, total * 9) << withDiacritics << " of " << total;

    // A few texts every Vietnamese user knows.
    EXPECT_EQ(vietnamese.translate("WidgetHome", "call"), QString::fromUtf8("Gọi"));
    EXPECT_EQ(vietnamese.translate("MainWindow", "settings"), QString::fromUtf8("Cài đặt"));
    EXPECT_EQ(vietnamese.translate("WidgetSettings", "cancel"), QString::fromUtf8("Hủy"));
}

/// Reads the (context, key) pairs of a catalogue source, with any message
/// left unfinished or obsolete.
std::set<std::pair<QString, QString>> readSource(const QString& path, QStringList& problems)
{
    std::set<std::pair<QString, QString>> pairs;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problems << "cannot read " + path;
        return pairs;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
            if (!pairs.insert({context, source}).second) {
                problems << "duplicate " + context + "/" + source;
            }
        } else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value("type").toString();
            if (!type.isEmpty()) {
                problems << context + "/" + source + " is " + type;
            }
        }
    }
    if (xml.hasError()) {
        problems << path + ": " + xml.errorString();
    }
    return pairs;
}

TEST_F(Catalogues, SourcesHoldExactlyTheKeysAndNothingUnfinished)
{
    std::set<std::pair<QString, QString>> expected;
    for (const auto& [context, keys] : expectedKeys()) {
        for (const QString& key : keys) {
            expected.insert({context, key});
        }
    }
    for (const char* name : {"en.ts", "vn.ts"}) {
        SCOPED_TRACE(name);
        const QString path = QString(KX_SOURCE_DIR) + "/resources/locale/" + name;
        if (!QFile::exists(path)) {
            GTEST_SKIP() << "catalogue sources not found at " << path.toStdString();
        }
        QStringList problems;
        const auto actual = readSource(path, problems);
        EXPECT_TRUE(problems.isEmpty()) << problems.join("; ").toStdString();
        EXPECT_TRUE(actual == expected)
            << actual.size() << " pairs, " << expected.size() << " expected";
    }
}

} // namespace
