#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "voip/core/call.h"
#include "voip/core/connection.h"
#include "voip/core/endpoint.h"
#include "voip/core/endreason.h"
#include "voip/media/mediaformat.h"
#include "voip/nat/natmethod.h"
#include "voip/core/portallocator.h"
#include "voip/core/route.h"
#include "voip/status.h"

namespace voip {

/// Echo canceller parameters of the media path.
struct EchoCancelParameters
{
    bool enabled = false;
    unsigned tailLengthMs = 0;
    bool operator==(const EchoCancelParameters&) const = default;
};

enum class SilenceDetectMode
{
    None,
    Fixed,
    Adaptive,
};

/// Silence detection of sent audio.  Deadbands and the adaptive period count audio
/// frames of the codec's frame time (e.g. 10 frames = 200 ms of 20 ms frames).
struct SilenceDetectParameters
{
    SilenceDetectMode mode = SilenceDetectMode::None;
    unsigned threshold = 0; ///< 0: found by itself (adaptive)
    unsigned signalDeadband = 10;
    unsigned silenceDeadband = 400;
    unsigned adaptivePeriod = 600;
    bool operator==(const SilenceDetectParameters&) const = default;
};

/// Delay of the received-audio jitter buffer.
struct JitterParameters
{
    unsigned minDelayMs = 50;
    unsigned maxDelayMs = 250;
    bool operator==(const JitterParameters&) const = default;
};

/// The engine's centre: owns the endpoints (by prefix), the calls (by token), the routes,
/// the port ranges, the NAT methods, the media-format order and mask and the audio
/// parameters, and runs the callbacks an application overrides.
///
/// Callbacks (the `On...` members) run on the engine's threads: a call's own thread for
/// the call-level callbacks, protocol threads for media streams and user input; never on
/// the thread that called setUpCall or clearCall.  An override ends by calling the base
/// handling.  Configuration members may be called from any thread.
///
/// Locks: `mutex_` guards endpoints_ and calls_; `configMutex_` guards names, NAT,
/// format lists and audio parameters.  Neither is held while a callback runs or while a
/// call's lock is taken.
class Manager
{
public:
    Manager();
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    /// Clears every call, waits for them (up to `timeout`), then shuts the endpoints down
    /// and destroys them.  A derived manager calls it in its destructor, so that no
    /// callback reaches a half-destroyed object.  Idempotent.
    void shutDown(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // --- endpoints ---

    /// Takes an endpoint; returns it, or null (and drops it) when its prefix is empty or
    /// already taken.
    EndPoint* attachEndPoint(std::unique_ptr<EndPoint> endpoint);
    EndPoint* findEndPoint(std::string_view prefix) const;
    std::vector<std::string> endpointPrefixes() const;

    // --- routes ---

    RouteTable& routes() { return routes_; }
    const RouteTable& routes() const { return routes_; }
    /// Adds a "pattern = destination" route; see RouteTable.
    Status addRoute(std::string_view rule) { return routes_.add(rule); }

    // --- calls ---

    /// Longest dialled address accepted.
    static constexpr std::size_t MaxAddressLength = 512;

    /// Places a call from `from` ("prefix:address", e.g. "pc:*") to `to` (e.g.
    /// "h323:10.0.0.5", or "10.0.0.5" to be routed).  Returns the new call's token, or
    /// nothing when the originating endpoint is unknown, the destination is empty or too
    /// long, or the first leg cannot be made.  The rest happens on the call's thread.
    std::optional<std::string> setUpCall(std::string_view from, std::string_view to,
                                         const StringOptions& options = {});
    /// Makes a new, empty call with a fresh token and registers it (endpoints use it for
    /// incoming calls; see Call::startIncoming).  Null once the manager shuts down.
    std::shared_ptr<Call> createCall();
    /// The call with this token, held with its access lock; empty when there is none.
    LockedCall findCallWithLock(const std::string& token) const;
    /// The call with this token without lock, or null.
    std::shared_ptr<Call> findCall(const std::string& token) const;
    /// Clears the call `token` with `reason`; with `wait`, returns after OnClearedCall
    /// (not when called on that call's thread or while holding its lock).  False when
    /// there is no such call.
    bool clearCall(const std::string& token, EndReason reason, bool wait = false);
    /// Clears every call and waits for them up to `timeout`; false on time-out.
    bool clearAllCalls(EndReason reason, bool wait, std::chrono::milliseconds timeout);
    std::size_t callCount() const;
    std::vector<std::string> callTokens() const;

    // --- callbacks (engine threads; overrides end with the base handling) ---

    /// A connection arrives (the originating leg of an incoming call).  False refuses it:
    /// the call clears with NoAccept.  Default: true.
    virtual bool OnIncomingConnection(Connection& connection, unsigned options,
                                      const StringOptions& stringOptions);
    /// An incoming call asks to be answered.  Default: Pending (the local side decides).
    virtual AnswerCallResponse OnAnswerCall(Connection& connection, const std::string& caller);
    /// The far end rings.  Default: nothing.
    virtual void OnAlerting(Connection& connection);
    /// Every leg of the call is connected.  Default: nothing.
    virtual void OnEstablishedCall(Call& call);
    /// The call has cleared; its end reason is final.  Default: nothing.
    virtual void OnClearedCall(Call& call);
    /// The far end asks to forward `connection` to `remoteParty`.  True lets the engine
    /// follow it.  Default: true.
    virtual bool OnForwarded(Connection& connection, const std::string& remoteParty);
    /// A media stream of `connection` has opened; false closes it again.  Default: a
    /// network connection's stream is joined with the other leg's media (the other
    /// leg's joinMediaStream: the PC sound leg plays and records it), and its answer is
    /// returned; any other stream is accepted as it is.  An override that returns false
    /// before calling this keeps the stream from being joined.
    virtual bool OnOpenMediaStream(Connection& connection, MediaStream& stream);
    /// A media stream of `connection` has closed.  Default: every leg of the call stops
    /// what it joined to the stream (unjoinMediaStream), which closes the partner stream.
    virtual void OnClosedMediaStream(Connection& connection, MediaStream& stream);
    /// User input arrived on `connection`.  Default: nothing.
    virtual void OnUserInputString(Connection& connection, const std::string& value);
    /// Presentation (content video) started or stopped on `connection`, ours or the far
    /// end's.  Called on the connection's network thread.  Default: nothing.
    virtual void OnPresentation(Connection& connection, PresentationEvent event);

    // --- names ---

    std::string defaultUserName() const;
    std::string defaultDisplayName() const;
    /// With `updateAll`, the endpoints take the name too.
    void setDefaultUserName(std::string name, bool updateAll = true);
    void setDefaultDisplayName(std::string name, bool updateAll = true);

    // --- ports ---

    Status setTcpPortRange(std::uint16_t base, std::uint16_t max);
    Status setUdpPortRange(std::uint16_t base, std::uint16_t max);
    Status setRtpPortRange(std::uint16_t base, std::uint16_t max);
    PortAllocator& tcpPorts() { return tcpPorts_; }
    PortAllocator& udpPorts() { return udpPorts_; }
    PortAllocator& rtpPorts() { return rtpPorts_; }

    // --- NAT ---

    /// Adds a NAT method ("STUN", "Fixed"); false (and dropped) when it is null or one of
    /// that name exists.  Methods live as long as the manager.
    bool addNatMethod(std::unique_ptr<nat::NatMethod> method);
    /// The method of that name, or null.
    nat::NatMethod* natMethod(std::string_view name) const;
    /// The methods, highest priority (lowest number) first; equal priorities keep the
    /// order they were added in.
    std::vector<nat::NatMethod*> natMethods() const;
    /// Gives the method `name` its server, switches it on or off and sets its priority.
    /// False when there is no such method or it refuses the server.
    bool setNatServer(std::string_view name, std::string_view server, bool active = true,
                      unsigned priority = 0);
    /// The address to announce to `peer` for a socket on `local`: the external address
    /// of the first active method (by priority) that knows one, when the peer is outside
    /// the local network; `local` otherwise.  May block while a method asks its server.
    asio::ip::address
    translateAddress(const asio::ip::address& local, const asio::ip::address& peer,
                     std::chrono::milliseconds maxAge = std::chrono::seconds(60)) const;
    /// How often NAT bindings are refreshed (keep-alives through the NAT).
    void setNatBindingRefresh(std::chrono::milliseconds interval);
    std::chrono::milliseconds natBindingRefresh() const;

    // --- media formats ---

    void setMediaFormatOrder(std::vector<std::string> order);
    void setMediaFormatMask(std::vector<std::string> mask);
    std::vector<std::string> mediaFormatOrder() const;
    std::vector<std::string> mediaFormatMask() const;
    /// `available` ordered and masked: the formats an endpoint offers, best first.
    MediaFormatList mediaFormatsToOffer(const MediaFormatList& available) const;
    /// The same for every registered format.
    MediaFormatList mediaFormatsToOffer() const;

    // --- audio parameters ---

    void setEchoCancelParameters(EchoCancelParameters parameters);
    EchoCancelParameters echoCancelParameters() const;
    void setSilenceDetectParameters(SilenceDetectParameters parameters);
    SilenceDetectParameters silenceDetectParameters() const;
    /// A maximum below the minimum is raised to the minimum.
    void setAudioJitterDelay(unsigned minDelayMs, unsigned maxDelayMs);
    JitterParameters audioJitterDelay() const;

private:
    friend class Call;
    /// The call's thread has finished: forget the call and join its thread.
    void callFinished(const std::string& token);
    void collectLoop();
    std::string newToken();
    bool isShuttingDown() const;

    mutable std::mutex mutex_; // guards endpoints_, calls_, finished_, shuttingDown_
    std::map<std::string, std::unique_ptr<EndPoint>, std::less<>> endpoints_;
    std::map<std::string, std::shared_ptr<Call>, std::less<>> calls_;
    std::vector<std::shared_ptr<Call>> finished_;
    bool shuttingDown_ = false;
    bool collectorStop_ = false;
    std::condition_variable collectChanged_;
    std::thread collector_;

    RouteTable routes_;
    PortAllocator tcpPorts_;
    PortAllocator udpPorts_;
    PortAllocator rtpPorts_;

    mutable std::mutex configMutex_; // guards the members below
    std::string userName_;
    std::string displayName_;
    std::vector<std::pair<unsigned, std::unique_ptr<nat::NatMethod>>> natMethods_;
    std::chrono::milliseconds natBindingRefresh_{0};
    std::vector<std::string> formatOrder_;
    std::vector<std::string> formatMask_;
    EchoCancelParameters echo_;
    SilenceDetectParameters silence_;
    JitterParameters jitter_;

    std::atomic<unsigned> tokenCounter_{0};
    const std::string tokenPrefix_;
};

} // namespace voip
