#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "voip/h224/h224frame.h"
#include "voip/h224/h281.h"
#include "voip/media/stream.h"

namespace voip {
class Scheduler;
}

namespace voip::h224 {

class FeccHandler;

/// What the far end's camera control did to this terminal's camera, or told it.
struct CameraEvent
{
    enum class Kind
    {
        Start,               ///< start moving as `move` says, for at most `timeout`
        Continue,            ///< keep moving for another `timeout`
        Stop,                ///< the far end stopped the move
        TimedOut,            ///< no CONTINUE came in time: stop moving
        StorePreset,         ///< `preset`
        ActivatePreset,      ///< `preset`
        SelectVideoSource,   ///< `videoSource`
        VideoSourceSwitched, ///< the far end now sends `videoSource`
    };
    Kind kind = Kind::Start;
    CameraMove move;
    std::chrono::milliseconds timeout{0};
    uint8_t preset = 0;
    uint8_t videoSource = 0;
};

/// "start", "continue", "stop", "timed-out", "store-preset", ...
const char* cameraEventName(CameraEvent::Kind kind);

/// Told of far-end camera control as it happens.  Called on the thread that received the
/// frame (a media patch) or on the camera control's timer thread, never with a lock of the
/// handlers held; it must not block.
class FeccObserver
{
public:
    virtual ~FeccObserver() = default;
    virtual void onCameraEvent(const CameraEvent&) {}
    /// The far end has a camera control client (its client list says so).
    virtual void onRemoteClient() {}
    virtual void onRemoteCapabilities(const FeccCapabilities&) {}
};

/// Counters of one H.224 handler.
struct H224Statistics
{
    uint64_t framesSent = 0;
    uint64_t framesReceived = 0; ///< taken and handed on
    uint64_t framesRefused = 0;  ///< did not decode, segmented, or over the rate limit
    std::string lastRefusal;
};

/// The H.224 layer of one call: frames to and from the far end over the call's H.224
/// RTP channel, the client management entity (client lists, extra capabilities), and the
/// far-end camera control client (FeccHandler) it carries.
///
/// The transmit side is a pipe: the handler writes frames into it, the media patch of the
/// channel reads them and sends them.  Received payloads come in through receive() (the
/// sink stream of openReceive()).  When the transmit side opens, the handler announces
/// its clients and asks for the far end's.
///
/// Thread use: every member may be called from any thread.  A far end may send at most
/// MaxFramesPerSecond frames; more are dropped, so that a flood of commands cannot make
/// this terminal answer at the same rate.
class H224Handler : public std::enable_shared_from_this<H224Handler>
{
public:
    static constexpr unsigned MaxFramesPerSecond = 50;

    /// `local`: what this terminal's camera can do, told to the far end; `observer` may
    /// be null.
    static std::shared_ptr<H224Handler> create(FeccCapabilities local,
                                               std::shared_ptr<FeccObserver> observer);
    ~H224Handler();
    H224Handler(const H224Handler&) = delete;
    H224Handler& operator=(const H224Handler&) = delete;

    /// The camera control client; lives as long as this handler.
    const std::shared_ptr<FeccHandler>& fecc() const { return fecc_; }

    /// The stream the channel's patch reads the frames to send from (not open yet).  A
    /// second call replaces the first (a reopened channel).  The format's "H.224 Framing"
    /// says how the frames go: "bare", or HDLC (the default).
    std::shared_ptr<FrameStream> openTransmit(const MediaFormat& format, unsigned sessionId);
    /// The stream the channel's patch writes the received payloads to (not open yet).
    std::shared_ptr<FrameStream> openReceive(const MediaFormat& format, unsigned sessionId);
    bool transmitOpen() const;

    /// Takes one received RTP payload, HDLC framed or bare, whatever the far end announced
    /// (some send the one while announcing the other); false when it is refused (counted
    /// and traced): a frame that fails its check, is aborted or cut off, does not decode,
    /// is segmented, or is for a client this terminal does not have.
    bool receive(std::span<const uint8_t> payload);

    /// Sends client data to a client of the far end; false when no transmit side is open.
    bool sendClientData(uint8_t clientId, std::vector<uint8_t> data);
    /// The CME commands that ask the far end for its client list, and for the extra
    /// capabilities of one of its clients.
    bool sendClientListCommand();
    bool sendExtraCapabilitiesCommand(uint8_t clientId = FeccClientId);

    /// True once the far end's client list or capabilities named a camera control client.
    bool remoteHasFecc() const;
    /// The far end's camera control capabilities, once received.
    std::optional<FeccCapabilities> remoteFeccCapabilities() const;
    const FeccCapabilities& localFeccCapabilities() const { return local_; }

    H224Statistics statistics() const;

private:
    H224Handler(FeccCapabilities local, std::shared_ptr<FeccObserver> observer);
    bool sendFrame(Frame frame);
    /// Acts on one frame's octets; false when refused.
    bool receiveFrame(std::span<const uint8_t> octets);
    void refuse(const std::string& reason);
    bool overRateLimit();
    void handleCme(std::span<const uint8_t> data);
    void announce();

    const FeccCapabilities local_;
    const std::shared_ptr<FeccObserver> observer_;
    std::shared_ptr<FeccHandler> fecc_;
    const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();

    mutable std::mutex mutex_; // guards the members below
    std::shared_ptr<FrameStream> transmit_;
    Framing framing_ = Framing::Hdlc;
    bool remoteFecc_ = false;
    std::optional<FeccCapabilities> remoteCapabilities_;
    H224Statistics statistics_;
    std::chrono::steady_clock::time_point windowStart_{};
    unsigned framesInWindow_ = 0;
};

/// The far-end camera control client (H.281) of one call, both ways: it moves the far
/// end's camera (action, startAction/stopAction, presets, source selection) and turns
/// what the far end sends into CameraEvents for the observer, stopping a started move
/// itself when no CONTINUE comes within its timeout.
///
/// A move of the far end's camera is sent as H.281 asks: START ACTION, a CONTINUE ACTION
/// every ContinueInterval while it lasts, then STOP ACTION.  Any thread.
class FeccHandler : public std::enable_shared_from_this<FeccHandler>
{
public:
    static constexpr std::chrono::milliseconds ContinueInterval{400};
    /// How much longer than an action() the far end is told to move if no STOP comes.
    static constexpr std::chrono::milliseconds StopMargin{100};
    /// The longest single action() move.
    static constexpr std::chrono::milliseconds MaxActionDuration{10000};

    FeccHandler(std::weak_ptr<H224Handler> h224, std::shared_ptr<FeccObserver> observer);
    ~FeccHandler();
    FeccHandler(const FeccHandler&) = delete;
    FeccHandler& operator=(const FeccHandler&) = delete;

    /// Moves the far end's camera one way (`direction` +1 or -1, see CameraMove) for
    /// `duration` (up to MaxActionDuration), then stops it.  False when there is no
    /// channel to send on or the direction is 0.
    bool action(ActionType type, int direction, std::chrono::milliseconds duration);
    /// Starts a move that goes on until stopAction() (a held button).  A move already
    /// going on is replaced.
    bool startAction(const CameraMove& move);
    bool stopAction();
    bool storePreset(unsigned preset);
    bool activatePreset(unsigned preset);
    bool selectVideoSource(unsigned source, bool motionVideo = true);

    /// Whether the far end's client is known, and its capabilities (through the H.224
    /// handler's CME).
    bool remoteClientSeen() const;
    bool remoteCapabilitiesReceived() const;

    /// The move the far end has this terminal's camera make now (none when still).
    CameraMove currentRemoteMove() const;
    /// Far-end messages taken and refused.
    uint64_t messagesReceived() const;
    uint64_t messagesRefused() const;

    /// Called by the H.224 handler with the client data of a camera control frame.
    void onClientData(std::span<const uint8_t> data);

private:
    bool send(const FeccMessage& message);
    void notify(const CameraEvent& event);
    void armExpiry(uint64_t generation, std::chrono::milliseconds timeout);
    void sendContinue(uint64_t generation);

    const std::weak_ptr<H224Handler> h224_;
    const std::shared_ptr<FeccObserver> observer_;
    const std::shared_ptr<Scheduler> scheduler_;

    mutable std::mutex mutex_; // guards the members below
    // Our move of the far end's camera: a generation number tells a scheduled CONTINUE or
    // STOP of an older move to do nothing.
    CameraMove localMove_;
    uint64_t localGeneration_ = 0;
    std::chrono::steady_clock::time_point localMoveEnd_{};
    // The far end's move of our camera.
    CameraMove remoteMove_;
    std::chrono::milliseconds remoteTimeout_{0};
    uint64_t remoteGeneration_ = 0;
    uint64_t received_ = 0;
    uint64_t refused_ = 0;
};

} // namespace voip::h224
