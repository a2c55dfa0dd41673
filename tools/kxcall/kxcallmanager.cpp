#include "tools/kxcall/kxcallmanager.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "voip/core/call.h"
#include "voip/device/soundchannel.h"
#include "voip/device/video_v4l2.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h323/connection.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/media/stream.h"
#include "voip/media/stream_rtp.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/rtp/rtpsession.h"

namespace kxcall {

namespace {

std::string twoDecimals(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

Y4mOutput::Y4mOutput(const std::string& path, unsigned frameRate)
{
    ok_ = bool(writer_.open(path, frameRate));
}

void Y4mOutput::showFrame(const voip::VideoFrame& frame)
{
    std::lock_guard lock(mutex_);
    // A picture of another size than the first cannot go into the file.
    if (writer_.write(frame))
        ++written_;
}

void TeeOutput::showFrame(const voip::VideoFrame& frame)
{
    for (const auto& output : outputs_)
        output->showFrame(frame);
}

void TeeOutput::takeCodedPicture(std::span<const uint8_t> accessUnit)
{
    for (const auto& output : outputs_)
        output->takeCodedPicture(accessUnit);
}

void FirstPictureOutput::showFrame(const voip::VideoFrame&)
{
    if (!seen_.exchange(true))
        first_();
}

CodedVideoFile::CodedVideoFile(const std::string& path)
    : file_(std::fopen(path.c_str(), "wb"), &std::fclose)
{}

void CodedVideoFile::takeCodedPicture(std::span<const uint8_t> accessUnit)
{
    std::lock_guard lock(mutex_);
    if (file_ &&
        std::fwrite(accessUnit.data(), 1, accessUnit.size(), file_.get()) == accessUnit.size())
        std::fflush(file_.get());
}

unsigned Y4mOutput::written() const
{
    std::lock_guard lock(mutex_);
    return written_;
}

/// Prints what the far end's camera control does (--fecc).
class CameraPrinter : public voip::h224::FeccObserver
{
public:
    explicit CameraPrinter(CallManager& manager)
        : manager_(manager)
    {}

    void onCameraEvent(const voip::h224::CameraEvent& event) override
    {
        using Kind = voip::h224::CameraEvent::Kind;
        std::string line = "fecc " + std::string(voip::h224::cameraEventName(event.kind));
        switch (event.kind) {
        case Kind::Start:
            line += " " + event.move.describe() +
                    " timeout_ms=" + std::to_string(event.timeout.count());
            break;
        case Kind::Continue:
        case Kind::Stop:
        case Kind::TimedOut:
            line += " " + event.move.describe();
            break;
        case Kind::StorePreset:
        case Kind::ActivatePreset:
            line += " preset=" + std::to_string(event.preset);
            break;
        case Kind::SelectVideoSource:
        case Kind::VideoSourceSwitched:
            line += " source=" + std::to_string(event.videoSource);
            break;
        }
        manager_.print(line);
    }

    void onRemoteClient() override { manager_.print("fecc remote client"); }

    void onRemoteCapabilities(const voip::h224::FeccCapabilities& capabilities) override
    {
        std::string line = "fecc remote caps presets=" + std::to_string(capabilities.presets) +
                           " sources=" + std::to_string(capabilities.sources.size());
        for (const auto& source : capabilities.sources) {
            line += " source" + std::to_string(source.id) + "=";
            std::string moves;
            for (const auto& [can, word] : {std::pair{source.pan, "pan"},
                                            {source.tilt, "tilt"},
                                            {source.zoom, "zoom"},
                                            {source.focus, "focus"}})
                if (can)
                    moves += (moves.empty() ? "" : "+") + std::string(word);
            line += moves.empty() ? "fixed" : moves;
        }
        manager_.print(line);
    }

private:
    CallManager& manager_;
};

SoundEndpoint::SoundEndpoint(voip::Manager& manager, const Options& options)
    : voip::pcss::PcssEndPoint(manager)
    , sendFile_(options.sendFile)
    , recordFile_(options.recordFile)
{}

std::shared_ptr<voip::SoundChannel>
SoundEndpoint::createSoundChannel(const voip::pcss::PcssConnection& connection,
                                  const voip::MediaFormat& format, const std::string& device,
                                  bool isSource)
{
    const std::string& file = isSource ? sendFile_ : recordFile_;
    if (file.empty())
        return PcssEndPoint::createSoundChannel(connection, format, device, isSource);
    voip::SoundParams params;
    params.driver = voip::kWavFileDriver;
    params.device = file;
    params.direction = isSource ? voip::SoundDirection::Recorder : voip::SoundDirection::Player;
    params.sampleRate = voip::pcmSampleRateFor(format);
    if (params.sampleRate == 0)
        params.sampleRate = 8000;
    params.bufferSize = params.sampleRate * connection.soundChannelBufferTime() / 1000 * 2;
    params.bufferCount = connection.soundChannelBufferCount();
    params.loop = true;
    auto channel = voip::createOpenedSoundChannel(params);
    if (!channel)
        return nullptr;
    return std::shared_ptr<voip::SoundChannel>(channel.take());
}

CallManager::CallManager(const Options& options, std::ostream& out)
    : options_(options)
    , out_(out)
{}

CallManager::~CallManager()
{
    // The endpoint unregisters its gatekeeper's client at shutDown, and is gone with it:
    // h323_ must not be touched after it.
    if (gatekeeper_)
        gatekeeper_->setStateObserver({});
    shutDown(std::chrono::seconds(5));
    gatekeeper_.reset();
    jobs_->stop();
}

bool CallManager::start()
{
    setDefaultUserName(options_.userName);
    setDefaultDisplayName(options_.userName);
    local_ = static_cast<SoundEndpoint*>(
        attachEndPoint(std::make_unique<SoundEndpoint>(*this, options_)));
    if (auto status = local_->setSoundDriver(options_.soundDriver); !status) {
        print("error " + status.error());
        return false;
    }
    for (const bool play : {true, false}) {
        const std::string& device = play ? options_.playDevice : options_.recordDevice;
        if (device.empty())
            continue;
        auto status = play ? local_->setPlayDevice(device) : local_->setRecordDevice(device);
        if (!status) {
            print("error " + status.error());
            return false;
        }
    }
    // Video and content go at the size and rate asked for, unless a far end takes less.
    for (const auto name : {voip::format::H264High, voip::format::H239H264}) {
        auto& registry = voip::MediaFormatRegistry::global();
        if (auto format = registry.find(name)) {
            format->change([&](voip::MediaFormat::Editor& edit) {
                edit.setIntegerOption(voip::option::FrameWidth, options_.videoWidth);
                edit.setIntegerOption(voip::option::FrameHeight, options_.videoHeight);
                edit.setIntegerOption(voip::option::FrameTime, 90000 / options_.videoRate);
            });
            registry.writeBack(*format);
        }
    }
    if (!options_.h224Framing.empty()) {
        auto& registry = voip::MediaFormatRegistry::global();
        if (auto format = registry.find(voip::format::Fecc)) {
            format->setStringOption(voip::option::H224Framing, options_.h224Framing);
            registry.writeBack(*format);
        }
    }
    if (!options_.videoDriver.empty()) {
        voip::VideoInputParams video;
        video.device = options_.videoDevice;
        video.width = options_.videoWidth;
        video.height = options_.videoHeight;
        video.frameRate = options_.videoRate;
        local_->setVideoInput(options_.videoDriver, video);
        if (options_.present)
            local_->setVideoInput(options_.videoDriver, video, voip::pcss::VideoRole::Content);
    }
    std::vector<std::shared_ptr<voip::VideoOutput>> outputs[2]; // by role
    for (const auto role : {voip::pcss::VideoRole::Main, voip::pcss::VideoRole::Content}) {
        const std::string& file = role == voip::pcss::VideoRole::Main ? options_.recordVideoFile
                                                                      : options_.recordContentFile;
        if (file.empty())
            continue;
        auto output = std::make_shared<Y4mOutput>(file, options_.videoRate);
        if (!output->ok()) {
            print("error cannot write " + file);
            return false;
        }
        outputs[std::size_t(role)].push_back(std::move(output));
    }
    if (!options_.recordH264File.empty()) {
        auto output = std::make_shared<CodedVideoFile>(options_.recordH264File);
        if (!output->ok()) {
            print("error cannot write " + options_.recordH264File);
            return false;
        }
        outputs[std::size_t(voip::pcss::VideoRole::Main)].push_back(std::move(output));
    }
    local_->setAsksForPictures(options_.askForPictures);
    // Each call's main video also says when its first picture is shown.
    local_->setVideoOutputFactory(
        [this, outputs](const voip::pcss::PcssConnection&, voip::pcss::VideoRole role) {
            auto mine = outputs[std::size_t(role)];
            if (role == voip::pcss::VideoRole::Main)
                mine.push_back(std::make_shared<FirstPictureOutput>([this] {
                    std::chrono::steady_clock::time_point established;
                    {
                        std::lock_guard lock(mutex_);
                        established = establishedAt_;
                    }
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - established);
                    print("video first picture ms=" + std::to_string(ms.count()));
                }));
            return mine.empty() ? nullptr : std::make_shared<TeeOutput>(mine);
        });
    if (options_.fecc) {
        // A camera that does everything, so that each action a far end sends is shown.
        voip::h224::FeccCapabilities camera;
        camera.presets = 4;
        voip::h224::VideoSourceCapabilities main;
        main.pan = main.tilt = main.zoom = main.focus = true;
        camera.sources.push_back(main);
        local_->setLocalCameraCapabilities(camera);
        auto printer = std::make_shared<CameraPrinter>(*this);
        local_->setFeccObserverFactory(
            [printer](const voip::pcss::PcssConnection&) { return printer; });
    }
    h323_ = static_cast<voip::h323::EndPoint*>(
        attachEndPoint(std::make_unique<voip::h323::EndPoint>(*this)));
    h323_->setFastStart(options_.fastStart);
    h323_->setH245Tunnelling(options_.tunnelling);
    h323_->setMediaEncryption(options_.encryption);
    h323_->setH245InSetup(options_.h245InSetup);
    if (options_.fastStartOwnNumbers)
        h323_->setFastStartNumbering(voip::h323::FastStartNumbering::Own);
    if (options_.h264Level || options_.maxFs || options_.maxMbps || options_.h264Profiles) {
        auto receive = h323_->h264Receive();
        receive.level = options_.h264Level.value_or(receive.level);
        receive.profile = options_.h264Profiles.value_or(receive.profile);
        // H.241 counts these in units of 256 and 500 macroblocks.
        if (options_.maxFs)
            receive.customMaxFs = (*options_.maxFs + 255) / 256;
        if (options_.maxMbps)
            receive.customMaxMbps = (*options_.maxMbps + 499) / 500;
        h323_->setH264Receive(receive);
    }
    setMediaFormatOrder(options_.formatOrder);
    setMediaFormatMask(options_.formatMask);
    addRoute("h323:.* = pc:");
    addRoute("pc:.* = h323:<da>");
    if (options_.listenPort) {
        auto status = h323_->startListener(options_.listenAddress, *options_.listenPort);
        if (!status) {
            print("error " + status.error());
            return false;
        }
        print("listening on port " + std::to_string(h323_->listenerPort()));
    }
    if (!options_.gatekeeper.empty()) {
        voip::h323::RasConfig config;
        config.gatekeeper = options_.gatekeeper;
        config.alias = options_.alias.empty() ? options_.userName : options_.alias;
        config.e164 = options_.e164;
        config.password = options_.password;
        config.traversal = options_.traversal;
        if (!options_.discovery.empty())
            config.discoveryAddress = options_.discovery;
        const bool anyInterface = options_.listenAddress.empty() || options_.listenAddress == "*";
        config.bindAddress = anyInterface ? "0.0.0.0" : options_.listenAddress;
        // On every interface: the address of the route to the gatekeeper.
        const std::string signal = anyInterface ? "0.0.0.0" : options_.listenAddress;
        config.callSignalAddress = voip::h225::IpAddressPort::parse(signal, h323_->listenerPort())
                                       .value_or(voip::h225::IpAddressPort{});
        gatekeeper_ = h323_->newGatekeeperClient(config);
        gatekeeper_->setStateObserver(
            [this, client = gatekeeper_.get()](voip::h323::RasState state) {
                const std::string reason = client->lastReason();
                std::string line = "gatekeeper " + std::string(voip::h323::toString(state));
                if (state == voip::h323::RasState::Registered)
                    line += " id=" + client->endpointIdentifier();
                else if (!reason.empty())
                    line += " reason=\"" + reason + "\"";
                print(line);
                if (state == voip::h323::RasState::Registered) {
                    const auto traversal = client->traversal();
                    if (traversal != lastTraversal_.exchange(traversal))
                        print("traversal h460.18 " + std::string(voip::h323::toString(traversal)));
                }
            });
        if (!gatekeeper_->start()) {
            print("error gatekeeper: " + gatekeeper_->lastReason());
            return false;
        }
        h323_->setGatekeeper(gatekeeper_);
        // Calls wait for the registration (or its failure: calls by address still work).
        gatekeeper_->waitForRegistration(std::chrono::seconds(10));
    }
    return true;
}

int CallManager::run(const std::atomic<bool>& stop)
{
    if (!options_.callAddress.empty()) {
        std::string to = options_.callAddress;
        if (to.rfind("h323:", 0) != 0)
            to = "h323:" + to;
        auto token = setUpCall("pc:*", to);
        if (!token) {
            print("error cannot call " + options_.callAddress);
            return 2;
        }
        print("calling " + options_.callAddress + " token=" + *token);
    }
    std::unique_lock lock(mutex_);
    while (!stop && (options_.calls == 0 || cleared_ < options_.calls))
        changed_.wait_for(lock, std::chrono::milliseconds(100));
    const bool failed = failed_;
    lock.unlock();
    clearAllCalls(voip::EndReason::LocalUser, true, std::chrono::seconds(5));
    return failed ? 1 : 0;
}

void CallManager::print(const std::string& line)
{
    std::lock_guard lock(mutex_);
    out_ << (options_.json ? eventAsJson(line) : line) << std::endl;
}

std::string eventAsJson(const std::string& line)
{
    // Events of two words; every other event is named by its first word.
    static const std::vector<std::string> twoWords{"media opened", "media closed", "user input",
                                                   "incoming call", "listening on"};
    std::string event;
    std::string rest = line;
    for (const auto& name : twoWords) {
        if (line.rfind(name, 0) == 0) {
            event = name;
            rest = line.substr(name.size());
            break;
        }
    }
    if (event.empty()) {
        const auto space = line.find(' ');
        event = line.substr(0, space);
        rest = space == std::string::npos ? std::string() : line.substr(space);
    }
    // Members in the order of the line, for a reader's eye.
    nlohmann::ordered_json object;
    object["event"] = event;
    std::string detail;
    std::istringstream words(rest);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals != std::string::npos && equals > 0 &&
            word.find_first_of("\"[]") == std::string::npos) {
            object[word.substr(0, equals)] = word.substr(equals + 1);
        } else {
            detail += (detail.empty() ? "" : " ") + word;
        }
    }
    if (!detail.empty())
        object["detail"] = detail;
    object["line"] = line;
    // Text from the far end (names, user input) need not be UTF-8: such bytes become
    // U+FFFD, so that every line stays valid JSON.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void CallManager::later(std::chrono::milliseconds delay, std::function<void()> job)
{
    jobs_->after(delay, std::move(job));
}

bool CallManager::OnIncomingConnection(voip::Connection& connection, unsigned options,
                                       const voip::StringOptions& stringOptions)
{
    if (connection.isNetworkConnection())
        print("incoming call from " + connection.remotePartyText() +
              " token=" + connection.callToken());
    return Manager::OnIncomingConnection(connection, options, stringOptions);
}

voip::AnswerCallResponse CallManager::OnAnswerCall(voip::Connection& connection,
                                                   const std::string& caller)
{
    if (!options_.redirectTo.empty()) {
        auto network = std::dynamic_pointer_cast<voip::h323::Connection>(
            connection.call() ? connection.call()->networkConnection() : nullptr);
        if (network && network->forwardCallTo(options_.redirectTo)) {
            print("redirected token=" + connection.callToken() + " to " + options_.redirectTo);
            return voip::AnswerCallResponse::Pending;
        }
        print("error cannot redirect to " + options_.redirectTo);
    }
    if (options_.releaseCause != 0) {
        if (auto call = connection.call()) {
            print("refusing token=" + connection.callToken() +
                  " cause=" + std::to_string(options_.releaseCause));
            call->clear(voip::EndReason::Q931Cause, options_.releaseCause);
            return voip::AnswerCallResponse::Pending;
        }
    }
    switch (options_.answer) {
    case Options::Answer::Auto:
        return voip::AnswerCallResponse::AnswerNow;
    case Options::Answer::Reject:
        return voip::AnswerCallResponse::Deny;
    case Options::Answer::Delayed: {
        const std::string token = connection.callToken();
        later(options_.answerDelay, [this, token] { local_->acceptIncomingCall(token); });
        break;
    }
    case Options::Answer::Never:
        break;
    }
    return Manager::OnAnswerCall(connection, caller);
}

void CallManager::OnEstablishedCall(voip::Call& call)
{
    {
        std::lock_guard lock(mutex_);
        establishedAt_ = std::chrono::steady_clock::now();
    }
    print("established token=" + call.token() + " " + call.partyA() + " -> " + call.partyB());
    const std::string token = call.token();
    if (!options_.userInput.empty()) {
        if (auto network = call.networkConnection()) {
            if (!network->sendUserInputString(options_.userInput))
                print("error cannot send user input");
        }
    }
    if (options_.hangUpAfter)
        later(*options_.hangUpAfter,
              [this, token] { clearCall(token, voip::EndReason::LocalUser, false); });
    if (options_.present)
        schedulePresentation(token);
    Manager::OnEstablishedCall(call);
}

std::shared_ptr<voip::h323::Connection> CallManager::networkLeg(const std::string& token)
{
    auto call = findCall(token);
    return std::dynamic_pointer_cast<voip::h323::Connection>(call ? call->networkConnection()
                                                                  : nullptr);
}

void CallManager::schedulePresentation(const std::string& token)
{
    for (unsigned time = 0; time < options_.presentTimes; ++time) {
        const auto start = options_.presentDelay +
                           2 * time * options_.presentFor.value_or(std::chrono::milliseconds(0));
        later(start, [this, token] {
            auto network = networkLeg(token);
            if (!network || !network->startPresentation())
                print("error cannot present token=" + token);
        });
        if (options_.presentFor)
            later(start + *options_.presentFor, [this, token] {
                auto network = networkLeg(token);
                // The far end may have taken the token over meanwhile: that ended ours
                // already, which is how a presentation hands over.
                if (network && !network->isPresentationWanted()) {
                    print("presentation already ended token=" + token);
                } else if (network && options_.presentEndByClose) {
                    for (const auto& channel : network->logicalChannels())
                        if (!channel.fromRemote && channel.sessionId == voip::ContentSessionId)
                            network->closeLogicalChannel(channel.number);
                } else if (!network || !network->stopPresentation()) {
                    print("error cannot stop presenting token=" + token);
                }
            });
    }
}

void CallManager::OnPresentation(voip::Connection& connection, voip::PresentationEvent event)
{
    print("presentation " + std::string(voip::presentationEventName(event)) +
          " token=" + connection.callToken());
    Manager::OnPresentation(connection, event);
}

void CallManager::OnClearedCall(voip::Call& call)
{
    const auto reason = call.endReason();
    print("cleared token=" + call.token() + " reason=" + std::to_string(voip::toNumber(reason)) +
          " " + std::string(voip::endReasonText(reason)));
    {
        std::lock_guard lock(mutex_);
        ++cleared_;
        failed_ = failed_ || !call.isEstablished();
    }
    changed_.notify_all();
    Manager::OnClearedCall(call);
}

bool CallManager::OnOpenMediaStream(voip::Connection& connection, voip::MediaStream& stream)
{
    // The local partners the join opens are not reported: one line per channel.
    if (!connection.isNetworkConnection())
        return Manager::OnOpenMediaStream(connection, stream);
    // What we send of video: the picture, rate and level the far end's capabilities left.
    std::string sent;
    const voip::MediaFormat& format = stream.mediaFormat();
    if (stream.isSink() && format.mediaType() == voip::MediaType::Video) {
        const auto frameTime =
            std::max<std::int64_t>(1, format.integerOption(voip::option::FrameTime, 3600));
        sent = " size=" + std::to_string(format.integerOption(voip::option::FrameWidth, 0)) + "x" +
               std::to_string(format.integerOption(voip::option::FrameHeight, 0)) +
               " rate=" + twoDecimals(double(format.clockRate()) / double(frameTime)) +
               " level=" + format.stringOption(voip::option::Level, "");
    } else if (stream.isSink() && format.mediaType() == voip::MediaType::H224) {
        sent = " framing=" + format.stringOption(voip::option::H224Framing, "HDLC");
    }
    print("media opened " + format.displayName() + " session " +
          std::to_string(stream.sessionId()) + (stream.isSource() ? " receive" : " transmit") +
          sent);
    if (stream.encrypted())
        print("media encrypted AES-128 session " + std::to_string(stream.sessionId()) +
              (stream.isSource() ? " receive" : " transmit"));
    const bool opened = Manager::OnOpenMediaStream(connection, stream);
    // Once the local camera control stream is joined to the channel, the sequence can go.
    if (opened && options_.fecc && stream.isSink() &&
        stream.mediaFormat().mediaType() == voip::MediaType::H224)
        startCameraSequence(connection);
    return opened;
}

void CallManager::startCameraSequence(voip::Connection& network)
{
    auto local = std::dynamic_pointer_cast<voip::pcss::PcssConnection>(network.otherParty());
    if (!local)
        return;
    std::weak_ptr<voip::h224::FeccHandler> weak = local->feccHandler();
    using voip::h224::ActionType;
    struct Step
    {
        ActionType type;
        int direction;
    };
    // Every direction of every action, 150 ms each, then a preset stored and recalled.
    static constexpr Step steps[] = {
        {ActionType::Pan, +1},   {ActionType::Pan, -1},   {ActionType::Tilt, +1},
        {ActionType::Tilt, -1},  {ActionType::Zoom, +1},  {ActionType::Zoom, -1},
        {ActionType::Focus, +1}, {ActionType::Focus, -1},
    };
    constexpr std::chrono::milliseconds first{500};
    constexpr std::chrono::milliseconds step{300};
    constexpr std::chrono::milliseconds length{150};
    auto at = first;
    for (const auto& [type, direction] : steps) {
        later(at, [this, weak, type = type, direction = direction, length] {
            auto fecc = weak.lock();
            voip::h224::CameraMove move;
            move[type] = int8_t(direction);
            if (fecc && fecc->action(type, direction, length))
                print("fecc sent " + move.describe() + " ms=" + std::to_string(length.count()));
            else
                print("error cannot send camera action " + move.describe());
        });
        at += step;
    }
    later(at, [this, weak] {
        auto fecc = weak.lock();
        if (fecc && fecc->storePreset(3) && fecc->activatePreset(3))
            print("fecc sent store-preset preset=3 activate-preset preset=3");
        else
            print("error cannot send camera presets");
    });
}

void CallManager::OnClosedMediaStream(voip::Connection& connection, voip::MediaStream& stream)
{
    if (connection.isNetworkConnection()) {
        printStatistics(stream);
        print("media closed " + stream.mediaFormat().displayName() + " session " +
              std::to_string(stream.sessionId()) + (stream.isSource() ? " receive" : " transmit"));
    }
    Manager::OnClosedMediaStream(connection, stream);
}

void CallManager::printStatistics(voip::MediaStream& stream)
{
    auto* rtp = dynamic_cast<voip::RtpMediaStream*>(&stream);
    if (!rtp || !rtp->session())
        return;
    const auto all = rtp->session()->statistics();
    const auto& figures = stream.isSource() ? all.receive : all.transmit;
    std::ostringstream line;
    line << "stats " << stream.mediaFormat().displayName() << " session " << stream.sessionId()
         << (stream.isSource() ? " receive" : " transmit") << " packets=" << figures.packets
         << " bytes=" << figures.totalBytes << " lost=" << figures.packetsLost
         << " jitter_ms=" << figures.jitterMs << " rtt_ms=" << all.roundTripMs;
    if (stream.isSource())
        line << " dropped=" << all.drops.total()
             << " jitter_buffer_ms=" << all.jitterBuffer.meanAddedDelayMs;
    else if (figures.allowedBitRate)
        line << " allowed_kbps=" << figures.allowedBitRate / 1000
             << " rate=" << voip::rtp::rateReasonName(figures.rateReason);
    print(line.str());
}

void CallManager::OnUserInputString(voip::Connection& connection, const std::string& value)
{
    print("user input \"" + value + "\"");
    Manager::OnUserInputString(connection, value);
}

} // namespace kxcall
