#include "voip/h224/h224handler.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <thread>

#include "voip/base/scheduler.h"
#include "voip/base/trace.h"

namespace voip::h224 {

using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned H224ClockRate = 4800;
constexpr std::size_t TransmitQueueFrames = 32;

/// The sink of the received H.224 channel: every payload goes to the handler.
class ReceiveStream final : public FrameStream
{
public:
    ReceiveStream(std::weak_ptr<H224Handler> handler, const MediaFormat& format,
                  unsigned sessionId)
        : FrameStream(format, sessionId, false)
        , handler_(std::move(handler))
    {}

    MediaStatus writeFrame(const StreamFrame& frame) override
    {
        if (auto handler = handler_.lock())
            handler->receive(frame.payload);
        return MediaStatus();
    }

private:
    const std::weak_ptr<H224Handler> handler_;
};

CameraEvent eventOf(CameraEvent::Kind kind, const FeccMessage& message)
{
    CameraEvent event;
    event.kind = kind;
    event.move = message.move;
    event.timeout = message.type == FeccMessageType::StartAction ? message.timeout()
                                                                 : std::chrono::milliseconds(0);
    event.preset = message.preset;
    event.videoSource = message.videoSource;
    return event;
}

} // namespace

const char* cameraEventName(CameraEvent::Kind kind)
{
    switch (kind) {
    case CameraEvent::Kind::Start:
        return "start";
    case CameraEvent::Kind::Continue:
        return "continue";
    case CameraEvent::Kind::Stop:
        return "stop";
    case CameraEvent::Kind::TimedOut:
        return "timed-out";
    case CameraEvent::Kind::StorePreset:
        return "store-preset";
    case CameraEvent::Kind::ActivatePreset:
        return "activate-preset";
    case CameraEvent::Kind::SelectVideoSource:
        return "select-source";
    case CameraEvent::Kind::VideoSourceSwitched:
        return "source-switched";
    }
    return "?";
}

// --- H224Handler ---

std::shared_ptr<H224Handler> H224Handler::create(FeccCapabilities local,
                                                 std::shared_ptr<FeccObserver> observer)
{
    std::shared_ptr<H224Handler> handler(new H224Handler(std::move(local), observer));
    handler->fecc_ = std::make_shared<FeccHandler>(handler, std::move(observer));
    return handler;
}

H224Handler::H224Handler(FeccCapabilities local, std::shared_ptr<FeccObserver> observer)
    : local_(std::move(local))
    , observer_(std::move(observer))
{}

H224Handler::~H224Handler() = default;

std::shared_ptr<FrameStream> H224Handler::openTransmit(const MediaFormat& format,
                                                       unsigned sessionId)
{
    auto [writer, reader] = makeStreamPipe(format, sessionId, TransmitQueueFrames);
    writer->open();
    const Framing framing =
        format.stringOption(option::H224Framing, "HDLC") == "bare" ? Framing::Bare : Framing::Hdlc;
    std::shared_ptr<FrameStream> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(transmit_, writer);
        framing_ = framing;
    }
    if (old)
        old->close();
    announce();
    return reader;
}

std::shared_ptr<FrameStream> H224Handler::openReceive(const MediaFormat& format,
                                                      unsigned sessionId)
{
    return std::make_shared<ReceiveStream>(weak_from_this(), format, sessionId);
}

bool H224Handler::transmitOpen() const
{
    std::lock_guard lock(mutex_);
    return transmit_ != nullptr;
}

void H224Handler::announce()
{
    // Tell the far end which clients we have, and ask for its own: its answer brings the
    // command for our camera's capabilities, or the reason to send ours.
    CmeMessage list;
    list.type = CmeMessageType::ClientList;
    list.clients.push_back(ClientEntry{FeccClientId, {}, true});
    sendClientData(CmeClientId, encodeCmeMessage(list));
    sendClientListCommand();
}

bool H224Handler::sendFrame(Frame frame)
{
    std::shared_ptr<FrameStream> transmit;
    Framing framing = Framing::Hdlc;
    {
        std::lock_guard lock(mutex_);
        transmit = transmit_;
        framing = framing_;
    }
    if (!transmit)
        return false;
    StreamFrame out;
    out.payload = encodeFrame(frame);
    if (framing == Framing::Hdlc)
        out.payload = encodeHdlc(out.payload);
    // Each payload holds one whole frame.
    out.marker = true;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - created_);
    out.timestamp = uint32_t(uint64_t(elapsed.count()) * H224ClockRate / 1000000);
    if (!transmit->writeFrame(out)) {
        // The channel's patch is gone (the channel closed): nothing more goes out on it.
        std::lock_guard lock(mutex_);
        if (transmit_ == transmit)
            transmit_.reset();
        return false;
    }
    std::lock_guard lock(mutex_);
    ++statistics_.framesSent;
    return true;
}

bool H224Handler::sendClientData(uint8_t clientId, std::vector<uint8_t> data)
{
    Frame frame;
    frame.clientId = clientId;
    frame.data = std::move(data);
    return sendFrame(std::move(frame));
}

bool H224Handler::sendClientListCommand()
{
    CmeMessage command;
    command.type = CmeMessageType::ClientListCommand;
    return sendClientData(CmeClientId, encodeCmeMessage(command));
}

bool H224Handler::sendExtraCapabilitiesCommand(uint8_t clientId)
{
    CmeMessage command;
    command.type = CmeMessageType::ExtraCapabilitiesCommand;
    command.client.clientId = clientId;
    return sendClientData(CmeClientId, encodeCmeMessage(command));
}

bool H224Handler::remoteHasFecc() const
{
    std::lock_guard lock(mutex_);
    return remoteFecc_;
}

std::optional<FeccCapabilities> H224Handler::remoteFeccCapabilities() const
{
    std::lock_guard lock(mutex_);
    return remoteCapabilities_;
}

H224Statistics H224Handler::statistics() const
{
    std::lock_guard lock(mutex_);
    return statistics_;
}

void H224Handler::refuse(const std::string& reason)
{
    {
        std::lock_guard lock(mutex_);
        ++statistics_.framesRefused;
        statistics_.lastRefusal = reason;
    }
    VOIP_TRACE(4, "H224\tRefused a frame: " << reason);
}

bool H224Handler::overRateLimit()
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        framesInWindow_ = 0;
    }
    return ++framesInWindow_ > MaxFramesPerSecond;
}

bool H224Handler::receive(std::span<const uint8_t> payload)
{
    if (overRateLimit()) {
        refuse("more frames a second than a camera control needs");
        return false;
    }
    // A bare frame starts with its Q.922 address, which no HDLC stream does (flags come
    // first): what does not decode bare is read as HDLC.
    std::string bareError;
    if (decodeFrame(payload, &bareError))
        return receiveFrame(payload);
    std::string error;
    auto frames = decodeHdlc(payload, &error);
    if (!frames) {
        // Without a single flag the payload was meant as a bare frame: say what is wrong
        // with that.
        refuse(std::find(payload.begin(), payload.end(), 0x7E) == payload.end() &&
                       error == "no HDLC frame in the payload"
                   ? bareError
                   : error);
        return false;
    }
    bool taken = true;
    for (const auto& octets : *frames)
        taken = receiveFrame(octets) && taken;
    return taken;
}

bool H224Handler::receiveFrame(std::span<const uint8_t> octets)
{
    std::string error;
    auto frame = decodeFrame(octets, &error);
    if (!frame) {
        refuse(error);
        return false;
    }
    // Camera control and CME messages fit in one segment; a segmented frame is for a
    // client this terminal does not have.
    if (!frame->beginningSegment || !frame->endingSegment) {
        refuse("segmented frame");
        return false;
    }
    if (frame->clientId != CmeClientId && frame->clientId != FeccClientId) {
        refuse("frame for client " + std::to_string(frame->clientId) +
               ", which this terminal does not have");
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        ++statistics_.framesReceived;
    }
    if (frame->clientId == CmeClientId)
        handleCme(frame->data);
    else
        fecc_->onClientData(frame->data);
    return true;
}

void H224Handler::handleCme(std::span<const uint8_t> data)
{
    std::string error;
    auto message = decodeCmeMessage(data, &error);
    if (!message) {
        refuse(error);
        return;
    }
    switch (message->type) {
    case CmeMessageType::ClientListCommand: {
        CmeMessage list;
        list.type = CmeMessageType::ClientList;
        list.clients.push_back(ClientEntry{FeccClientId, {}, true});
        sendClientData(CmeClientId, encodeCmeMessage(list));
        break;
    }
    case CmeMessageType::ClientList: {
        auto fecc = std::find_if(message->clients.begin(), message->clients.end(),
                                 [](const ClientEntry& c) { return c.clientId == FeccClientId; });
        if (fecc == message->clients.end())
            break;
        bool first = false;
        bool askCapabilities = false;
        {
            std::lock_guard lock(mutex_);
            first = !remoteFecc_;
            remoteFecc_ = true;
            askCapabilities = fecc->extraCapabilities && !remoteCapabilities_;
        }
        if (first && observer_)
            observer_->onRemoteClient();
        if (askCapabilities)
            sendExtraCapabilitiesCommand(FeccClientId);
        break;
    }
    case CmeMessageType::ExtraCapabilitiesCommand:
        if (message->client.clientId == FeccClientId) {
            CmeMessage answer;
            answer.type = CmeMessageType::ExtraCapabilities;
            answer.client.clientId = FeccClientId;
            answer.capabilities = encodeFeccCapabilities(local_);
            sendClientData(CmeClientId, encodeCmeMessage(answer));
        }
        break;
    case CmeMessageType::ExtraCapabilities: {
        if (message->client.clientId != FeccClientId)
            break;
        auto capabilities = decodeFeccCapabilities(message->capabilities, &error);
        if (!capabilities) {
            refuse(error);
            break;
        }
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = !remoteFecc_;
            remoteFecc_ = true;
            remoteCapabilities_ = *capabilities;
        }
        if (observer_) {
            if (first)
                observer_->onRemoteClient();
            observer_->onRemoteCapabilities(*capabilities);
        }
        break;
    }
    }
}

// --- FeccHandler ---

FeccHandler::FeccHandler(std::weak_ptr<H224Handler> h224, std::shared_ptr<FeccObserver> observer)
    : h224_(std::move(h224))
    , observer_(std::move(observer))
    , scheduler_(std::make_shared<Scheduler>())
{}

FeccHandler::~FeccHandler()
{
    scheduler_->stop();
}

bool FeccHandler::send(const FeccMessage& message)
{
    auto h224 = h224_.lock();
    return h224 && h224->sendClientData(FeccClientId, encodeFeccMessage(message));
}

bool FeccHandler::action(ActionType type, int direction, std::chrono::milliseconds duration)
{
    if (direction == 0)
        return false;
    duration = std::clamp(duration, std::chrono::milliseconds(0), MaxActionDuration);
    CameraMove move;
    move[type] = direction > 0 ? 1 : -1;
    stopAction();

    FeccMessage start;
    start.type = FeccMessageType::StartAction;
    start.move = move;
    // A short move says about its own length, so that the far end stops soon even when
    // our STOP is lost; the margin lets the STOP come first.  A longer one runs on
    // CONTINUEs.
    const auto announced = duration + StopMargin;
    if (announced <= FeccTimeoutUnit * 15)
        start.timeoutUnits = uint8_t(std::clamp<long>(
            (announced.count() + FeccTimeoutUnit.count() - 1) / FeccTimeoutUnit.count(), 1, 15));
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++localGeneration_;
        localMove_ = move;
        localMoveEnd_ = Clock::now() + duration;
    }
    if (!send(start)) {
        std::lock_guard lock(mutex_);
        if (localGeneration_ == generation)
            localMove_ = {};
        return false;
    }
    if (duration > ContinueInterval)
        scheduler_->after(ContinueInterval, [weak = weak_from_this(), generation] {
            if (auto self = weak.lock())
                self->sendContinue(generation);
        });
    scheduler_->after(duration, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->mutex_);
            if (self->localGeneration_ != generation)
                return;
        }
        self->stopAction();
    });
    return true;
}

bool FeccHandler::startAction(const CameraMove& move)
{
    if (!move.any())
        return false;
    stopAction();
    FeccMessage start;
    start.type = FeccMessageType::StartAction;
    start.move = move;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++localGeneration_;
        localMove_ = move;
        localMoveEnd_ = Clock::time_point::max();
    }
    if (!send(start)) {
        std::lock_guard lock(mutex_);
        if (localGeneration_ == generation)
            localMove_ = {};
        return false;
    }
    scheduler_->after(ContinueInterval, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock())
            self->sendContinue(generation);
    });
    return true;
}

void FeccHandler::sendContinue(uint64_t generation)
{
    FeccMessage message;
    message.type = FeccMessageType::ContinueAction;
    bool again = false;
    {
        std::lock_guard lock(mutex_);
        if (localGeneration_ != generation || !localMove_.any())
            return;
        message.move = localMove_;
        again = localMoveEnd_ - Clock::now() > ContinueInterval;
    }
    send(message);
    if (again)
        scheduler_->after(ContinueInterval, [weak = weak_from_this(), generation] {
            if (auto self = weak.lock())
                self->sendContinue(generation);
        });
}

bool FeccHandler::stopAction()
{
    FeccMessage stop;
    stop.type = FeccMessageType::StopAction;
    {
        std::lock_guard lock(mutex_);
        if (!localMove_.any())
            return false;
        ++localGeneration_;
        stop.move = std::exchange(localMove_, CameraMove{});
    }
    return send(stop);
}

bool FeccHandler::storePreset(unsigned preset)
{
    if (preset > MaxPresetNumber)
        return false;
    FeccMessage message;
    message.type = FeccMessageType::StoreAsPreset;
    message.preset = uint8_t(preset);
    return send(message);
}

bool FeccHandler::activatePreset(unsigned preset)
{
    if (preset > MaxPresetNumber)
        return false;
    FeccMessage message;
    message.type = FeccMessageType::ActivatePreset;
    message.preset = uint8_t(preset);
    return send(message);
}

bool FeccHandler::selectVideoSource(unsigned source, bool motionVideo)
{
    if (source == 0 || source > MaxVideoSource)
        return false;
    FeccMessage message;
    message.type = FeccMessageType::SelectVideoSource;
    message.videoSource = uint8_t(source);
    message.motionVideo = motionVideo;
    message.stillImage = !motionVideo;
    return send(message);
}

bool FeccHandler::remoteClientSeen() const
{
    auto h224 = h224_.lock();
    return h224 && h224->remoteHasFecc();
}

bool FeccHandler::remoteCapabilitiesReceived() const
{
    auto h224 = h224_.lock();
    return h224 && h224->remoteFeccCapabilities().has_value();
}

CameraMove FeccHandler::currentRemoteMove() const
{
    std::lock_guard lock(mutex_);
    return remoteMove_;
}

uint64_t FeccHandler::messagesReceived() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

uint64_t FeccHandler::messagesRefused() const
{
    std::lock_guard lock(mutex_);
    return refused_;
}

void FeccHandler::notify(const CameraEvent& event)
{
    if (observer_)
        observer_->onCameraEvent(event);
}

void FeccHandler::armExpiry(uint64_t generation, std::chrono::milliseconds timeout)
{
    scheduler_->after(timeout, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self)
            return;
        CameraEvent event;
        event.kind = CameraEvent::Kind::TimedOut;
        {
            std::lock_guard lock(self->mutex_);
            if (self->remoteGeneration_ != generation || !self->remoteMove_.any())
                return;
            ++self->remoteGeneration_;
            event.move = std::exchange(self->remoteMove_, CameraMove{});
        }
        self->notify(event);
    });
}

void FeccHandler::onClientData(std::span<const uint8_t> data)
{
    std::string error;
    auto message = decodeFeccMessage(data, &error);
    if (!message) {
        {
            std::lock_guard lock(mutex_);
            ++refused_;
        }
        VOIP_TRACE(4, "H281\tRefused a message: " << error);
        return;
    }
    uint64_t generation = 0;
    std::chrono::milliseconds timeout{0};
    CameraEvent event;
    {
        std::lock_guard lock(mutex_);
        ++received_;
        switch (message->type) {
        case FeccMessageType::StartAction:
            remoteMove_ = message->move;
            remoteTimeout_ = message->timeout();
            timeout = remoteTimeout_;
            generation = ++remoteGeneration_;
            event = eventOf(CameraEvent::Kind::Start, *message);
            break;
        case FeccMessageType::ContinueAction:
            // A CONTINUE keeps a started move going; one with no move started is stale.
            if (!remoteMove_.any())
                return;
            timeout = remoteTimeout_;
            generation = ++remoteGeneration_;
            event = eventOf(CameraEvent::Kind::Continue, *message);
            event.move = remoteMove_;
            event.timeout = timeout;
            break;
        case FeccMessageType::StopAction:
            ++remoteGeneration_;
            remoteMove_ = {};
            event = eventOf(CameraEvent::Kind::Stop, *message);
            break;
        case FeccMessageType::SelectVideoSource:
            event = eventOf(CameraEvent::Kind::SelectVideoSource, *message);
            break;
        case FeccMessageType::VideoSourceSwitched:
            event = eventOf(CameraEvent::Kind::VideoSourceSwitched, *message);
            break;
        case FeccMessageType::StoreAsPreset:
            event = eventOf(CameraEvent::Kind::StorePreset, *message);
            break;
        case FeccMessageType::ActivatePreset:
            event = eventOf(CameraEvent::Kind::ActivatePreset, *message);
            break;
        }
    }
    notify(event);
    if (generation != 0)
        armExpiry(generation, timeout);
}

} // namespace voip::h224
