// kxcall's command line, read with CLI11: each option with its help text, its check and
// where its value goes.

#include <algorithm>
#include <functional>
#include <utility>

#include <CLI/CLI.hpp>

#include "tools/kxcall/kxcallmanager.h"
#include "voip/core/manager.h"
#include "voip/device/soundchannel.h"
#include "voip/device/video_v4l2.h"
#include "voip/device/videoinput.h"
#include "voip/h323/capabilitymap.h"

namespace kxcall {

namespace {

/// Numbers are read in decimal only: CLI11 takes "0x10" as hexadecimal and "010" as octal,
/// which no one typing a port or a delay means.  Leading zeros are dropped.
const CLI::Validator Decimal(
    [](std::string& text) -> std::string {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
            return "not a decimal number: " + text;
        text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
        return {};
    },
    "");

/// An option taking a decimal number from `least` to `most` (the range shown in the help),
/// which goes to `take`.
template <typename T>
CLI::Option* addNumber(CLI::App& app, const std::string& name, const std::string& typeName, T least,
                       T most, std::function<void(T)> take, const std::string& help)
{
    return app.add_option_function<T>(name, std::move(take), help)
        ->transform(Decimal)
        ->check(CLI::Range(least, most).description(""))
        ->type_name(typeName + " (" + std::to_string(least) + " to " + std::to_string(most) + ")");
}

/// The items of a comma-separated list, empty ones left out.
std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = std::min(text.find(',', start), text.size());
        if (comma > start)
            items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

/// A word of `choices`, replaced with the value it stands for; another is refused with the
/// words named.
CLI::Validator oneOf(std::vector<std::pair<std::string, std::string>> choices)
{
    return CLI::Validator(
        [choices](std::string& word) -> std::string {
            std::string names;
            for (const auto& [given, value] : choices) {
                if (word == given) {
                    word = value;
                    return {};
                }
                names += (names.empty() ? "" : " or ") + given;
            }
            return "expected " + names + ", not " + word;
        },
        "");
}

void addCallOptions(CLI::App& app, Options& options)
{
    addNumber<unsigned>(
        app, "--listen", "PORT", 0, 65535,
        [&](unsigned port) { options.listenPort = std::uint16_t(port); },
        "listen for calls on PORT (0: any free port)");
    app.add_option("--bind", options.listenAddress, "listen on this address only")
        ->type_name("ADDRESS");
    app.add_option_function<std::string>(
           "--answer",
           [&](const std::string& value) {
               if (value == "auto" || value == "reject" || value == "never") {
                   options.answer = value == "auto"     ? Options::Answer::Auto
                                    : value == "reject" ? Options::Answer::Reject
                                                        : Options::Answer::Never;
                   return;
               }
               std::string delay = value;
               if (!Decimal(delay).empty() || delay.size() > 7 || std::stoul(delay) > 3'600'000)
                   throw CLI::ValidationError("--answer",
                                              "expected auto, reject, never or a delay of "
                                              "at most 3600000 ms, not " +
                                                  value);
               options.answer = Options::Answer::Delayed;
               options.answerDelay = std::chrono::milliseconds(std::stoul(delay));
           },
           "answer at once (default), refuse, never, or after MS ms")
        ->type_name("auto|reject|never|MS");
    app.add_option("--call", options.callAddress,
                   "call ADDRESS (host, host:port, alias@host[:port])")
        ->type_name("ADDRESS");
    addNumber<unsigned>(
        app, "--hangup-after", "SECONDS", 0, 86400,
        [&](unsigned seconds) { options.hangUpAfter = std::chrono::seconds(seconds); },
        "clear the call SECONDS after it is established");
    app.add_option("--send-input", options.userInput, "send TEXT as user input once established")
        ->type_name("TEXT");
    app.add_option("--fast-start", options.fastStart, "offer and accept fastStart (default off)")
        ->type_name("on|off");
    app.add_option("--tunnelling", options.tunnelling, "tunnel H.245 in H.225.0 (default on)")
        ->type_name("on|off");
    app.add_option("--h245-in-setup", options.h245InSetup, "start H.245 in Setup (default off)")
        ->type_name("on|off");
    app.add_option_function<std::string>(
           "--formats", [&](const std::string& value) { options.formatOrder = splitList(value); },
           "media formats to offer first, in this order")
        ->type_name("A,B,...");
    app.add_option_function<std::string>(
           "--mask", [&](const std::string& value) { options.formatMask = splitList(value); },
           "media formats never to offer")
        ->type_name("A,B*,...");
    app.add_option("--name", options.userName, "user name (h323-ID) and display name")
        ->type_name("NAME");
    addNumber<unsigned>(
        app, "--calls", "N", 0, 1'000'000, [&](unsigned calls) { options.calls = calls; },
        "exit after N calls (0: run until stopped; default 1)");
    app.add_option("--redirect", options.redirectTo,
                   "answer every call with a Facility forwarding it there")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                if (value.empty() || value.size() > voip::Manager::MaxAddressLength)
                    return "an address of 1 to " + std::to_string(voip::Manager::MaxAddressLength) +
                           " characters";
                return {};
            },
            ""))
        ->type_name("ADDRESS");
    addNumber<unsigned>(
        app, "--release-cause", "N", 1, 127, [&](unsigned cause) { options.releaseCause = cause; },
        "refuse every call with Q.931 cause N (e.g. 41, 17, 19)");
    app.add_flag("--json", options.json, "print each event as one JSON object a line");
}

void addSoundOptions(CLI::App& app, Options& options)
{
    app.add_option("--sound-driver", options.soundDriver,
                   "PulseAudio, Null (default: silence) or WAVFile")
        ->check(CLI::IsMember(voip::soundDriverNames()).description(""))
        ->type_name("NAME");
    app.add_option("--play-device", options.playDevice, "the loudspeaker of that driver")
        ->type_name("NAME");
    app.add_option("--record-device", options.recordDevice, "the microphone of that driver")
        ->type_name("NAME");
    app.add_option("--send", options.sendFile,
                   "send this WAV file (looped) instead of the microphone")
        ->type_name("FILE.wav");
    app.add_option("--record", options.recordFile, "write the received audio to this WAV file")
        ->type_name("FILE.wav");
}

void addVideoOptions(CLI::App& app, Options& options)
{
    app.add_option_function<std::string>(
           "--video",
           [&](const std::string& value) {
               if (value == "fake") {
                   options.videoDriver = voip::kFakeVideoDriver;
               } else if (value == "v4l2" || value.rfind("v4l2:", 0) == 0) {
                   options.videoDriver = voip::kV4l2VideoDriver;
                   options.videoDevice = value.size() > 5 ? value.substr(5) : "";
               } else {
                   throw CLI::ValidationError("--video",
                                              "expected fake, v4l2 or v4l2:DEVICE, not " + value);
               }
           },
           "send video: fake (the FakeVideo test pattern), or v4l2[:DEVICE] (a camera: "
           "/dev/videoN or its name; the first)")
        ->type_name("fake|v4l2[:DEVICE]");
    app.add_option_function<std::string>(
           "--video-size",
           [&](const std::string& value) {
               const auto x = value.find('x');
               std::string width = value.substr(0, x);
               std::string height = x == std::string::npos ? "" : value.substr(x + 1);
               const bool digits = Decimal(width).empty() && Decimal(height).empty() &&
                                   width.size() <= 4 && height.size() <= 4;
               const unsigned w = digits ? unsigned(std::stoul(width)) : 0;
               const unsigned h = digits ? unsigned(std::stoul(height)) : 0;
               if (w < 64 || h < 48 || w > 4096 || h > 2304 || w % 2 || h % 2)
                   throw CLI::ValidationError(
                       "--video-size", "expected even sizes, 64x48 to 4096x2304, not " + value);
               options.videoWidth = w;
               options.videoHeight = h;
           },
           "its picture size (default 640x360)")
        ->type_name("WxH");
    addNumber<unsigned>(
        app, "--video-rate", "N", 1, 60, [&](unsigned rate) { options.videoRate = rate; },
        "its pictures per second (default 25)");
    app.add_option("--record-video", options.recordVideoFile,
                   "write the received pictures to this Y4M file")
        ->type_name("FILE");
    app.add_flag("--present", options.present, "present the video source as content (H.239) too");
    addNumber<unsigned long>(
        app, "--present-delay", "MS", 0, 86'400'000,
        [&](unsigned long ms) { options.presentDelay = std::chrono::milliseconds(ms); },
        "... starting MS ms after the call is established");
    addNumber<unsigned long>(
        app, "--present-for", "MS", 0, 86'400'000,
        [&](unsigned long ms) { options.presentFor = std::chrono::milliseconds(ms); },
        "... and stopping after MS ms (default: to the end)");
    addNumber<unsigned>(
        app, "--present-times", "N", 1, 10000,
        [&](unsigned times) { options.presentTimes = times; },
        "... N times, MS ms apart (with --present-for)");
    app.add_option("--record-content", options.recordContentFile,
                   "write the far end's content to this Y4M file")
        ->type_name("FILE");
    app.add_flag("--fecc", options.fecc,
                 "print the far end's camera control of ours, and move the far end's camera "
                 "through a test sequence");
    app.add_flag("!--never-ask-for-pictures", options.askForPictures,
                 "never ask the far end for a new picture when one is lost or damaged, as "
                 "some stacks do not");
    app.add_option("--record-h264", options.recordH264File,
                   "write the received video as coded (H.264, Annex B)")
        ->type_name("FILE");
}

void addGatekeeperOptions(CLI::App& app, Options& options)
{
    app.add_option("--gatekeeper", options.gatekeeper,
                   "register with this gatekeeper (or with the one that answers a multicast "
                   "request: auto); calls are admitted by it, and --call takes an alias or "
                   "number it knows")
        ->check(CLI::Validator(
            [](std::string& value) { return value.empty() ? "HOST[:PORT] or auto" : ""; }, ""))
        ->type_name("HOST[:PORT]|auto");
    app.add_option("--discovery", options.discovery, "where to ask (default 224.0.1.41:1718)")
        ->type_name("GROUP:PORT");
    app.add_option("--alias", options.alias, "the alias registered (default: --name)")
        ->type_name("NAME");
    app.add_option("--e164", options.e164, "the number registered")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                if (value.empty() || value.size() > 128 ||
                    value.find_first_not_of("0123456789#*,") != std::string::npos)
                    return "expected 1 to 128 digits, # * or ,, not " + value;
                return {};
            },
            ""))
        ->type_name("DIGITS");
    app.add_option_function<std::string>(
           "--encryption",
           [&](const std::string& value) {
               if (value == "off")
                   options.encryption = voip::h323::MediaEncryption::Off;
               else if (value == "auto")
                   options.encryption = voip::h323::MediaEncryption::WhenPeerCan;
               else if (value == "required")
                   options.encryption = voip::h323::MediaEncryption::Required;
               else
                   throw CLI::ValidationError("--encryption",
                                              "expected off, auto or required, not " + value);
           },
           "encrypt the media: never, when the far end can (default), or always")
        ->type_name("off|auto|required");
    app.add_option("--traversal", options.traversal,
                   "offer to cross a NAT with the gatekeeper's help (H.460.18/.19; default on)")
        ->type_name("on|off");
    app.add_option("--password", options.password, "prove this password to the gatekeeper")
        ->check(CLI::Validator(
            [](std::string& value) { return value.size() > 128 ? "at most 128 characters" : ""; },
            ""))
        ->type_name("TEXT");
}

void addStandInOptions(CLI::App& app, Options& options)
{
    const std::string group = "Standing in for other makers' systems";
    app.add_option_function<std::string>(
           "--h264-level",
           [&](const std::string& value) {
               const auto level = voip::h323::h264LevelNumber(value);
               if (voip::h323::h264LevelText(level) != value)
                   throw CLI::ValidationError("--h264-level",
                                              "expected 1, 1b, 1.1 ... 5.1, not " + value);
               options.h264Level = level;
           },
           "announce H.264 decoding up to level L (1.3, 3.1, ...)")
        ->type_name("L")
        ->group(group);
    app.add_option_function<std::string>(
           "--h264-profiles",
           [&](const std::string& value) {
               static const std::map<std::string, std::uint8_t> bitOf{
                   {"baseline", 64}, {"main", 32}, {"high", 8}};
               std::uint8_t bits = 0;
               for (const auto& name : splitList(value)) {
                   if (!bitOf.count(name))
                       throw CLI::ValidationError("--h264-profiles",
                                                  "expected baseline, main or high, not " + name);
                   bits |= bitOf.at(name);
               }
               if (!bits)
                   throw CLI::ValidationError("--h264-profiles", "no profile named");
               options.h264Profiles = bits;
           },
           "... of these profiles (baseline, main, high)")
        ->type_name("P,...")
        ->group(group);
    addNumber<std::uint32_t>(
        app, "--max-fs", "N", 1, 139264, [&](std::uint32_t count) { options.maxFs = count; },
        "... pictures of up to N macroblocks (H.241 MaxFS)")
        ->group(group);
    addNumber<std::uint32_t>(
        app, "--max-mbps", "N", 1, 4'000'000, [&](std::uint32_t count) { options.maxMbps = count; },
        "... up to N macroblocks a second (H.241 MaxMBPS)")
        ->group(group);
    app.add_option("--h224-framing", options.h224Framing,
                   "send camera control frames so, whatever is announced")
        ->transform(oneOf({{"hdlc", "HDLC"}, {"bare", "bare"}}))
        ->type_name("hdlc|bare")
        ->group(group);
    app.add_option("--present-end", options.presentEndByClose,
                   "end a presentation as usual, or by closing its channel alone")
        ->transform(oneOf({{"stop", "false"}, {"close", "true"}}))
        ->type_name("stop|close")
        ->group(group);
    app.add_option("--faststart-numbers", options.fastStartOwnNumbers,
                   "number the channel we send on in fastStart answers as the caller proposed it "
                   "(default) or our own way")
        ->transform(oneOf({{"proposal", "false"}, {"own", "true"}}))
        ->type_name("proposal|own")
        ->group(group);
}

} // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string& error)
{
    Options options;
    CLI::App app("Places or answers H.323 calls without a user interface, one line per event.",
                 "kxcall");
    app.footer("At the end of each call the media statistics of every RTP stream are printed.");
    // Given twice, an option's last value counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    addCallOptions(app, options);
    addSoundOptions(app, options);
    addVideoOptions(app, options);
    addGatekeeperOptions(app, options);
    addStandInOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        error = app.help();
        return std::nullopt;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        return std::nullopt;
    }
    if (!options.listenPort && options.callAddress.empty())
        error = "nothing to do: give --listen or --call";
    else if (options.presentTimes > 1 && !options.presentFor)
        error = "--present-times needs --present-for";
    else if (options.present && options.videoDriver.empty())
        error = "--present needs a video source (--video)";
    if (!error.empty())
        return std::nullopt;
    return options;
}

} // namespace kxcall
