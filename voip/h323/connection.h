#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "voip/asn/value.h"
#include "voip/core/connection.h"
#include "voip/h225/identity.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/channels.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"
#include "voip/h323/bandwidthcontrol.h"
#include "voip/h323/capabilityexchange.h"
#include "voip/h323/controllink.h"
#include "voip/h323/dialaddress.h"
#include "voip/h323/h245transport.h"
#include "voip/h323/logicalchannels.h"
#include "voip/h323/endpoint.h"
#include "voip/h323/masterslave.h"
#include "voip/h323/presentationcontrol.h"
#include "voip/h323/roundtrip.h"
#include "voip/h323/userinput.h"
#include "voip/q931/elements.h"
#include "voip/q931/message.h"

namespace voip::h323 {

class CallTraversal;
class TpktChannel;

/// One H.323 call leg: Q.931/H.225.0 call signalling over TCP, H.245 control (tunnelled
/// in H.225.0 or on its own TCP connection), fastStart, capability exchange,
/// master/slave determination, logical channels, user input and indications.
///
/// The connection keeps the call leg and hands each H.245 message to the procedure it
/// belongs to.  Master/slave determination, capability exchange, the round trip, user
/// input, logical channels, fastStart, presentation control and bandwidth control are
/// objects of their own (masterslave.h, capabilityexchange.h, roundtrip.h, userinput.h,
/// logicalchannels.h, faststart.h, presentationcontrol.h, bandwidthcontrol.h) that reach
/// the call only through a ControlLink (the channels and fastStart through ChannelMedia
/// as well, the last two through ContentChannels and CallRates).  The H.245 transport is
/// the connection's own; the labels of the private section below say which file holds
/// what.
///
/// Threads: the protocol runs on the endpoint's network thread; the call model's entry
/// points (setUpConnection, setAlerting, setConnected, onRelease) and the send operations
/// post their work there and return at once.  The `On...` hooks run on the network
/// thread.  `channelMutex_` guards `channelView_`, the copy of the channel list that other
/// threads read; everything else is network-thread only.
class Connection : public voip::Connection
{
public:
    /// An outgoing leg (`setup` null) or an incoming one made from a received Setup.
    Connection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
               StringOptions options, bool incoming);
    ~Connection() override;

    EndPoint& h323Endpoint() const { return endpoint_; }
    bool isNetworkConnection() const override { return true; }

    bool setUpConnection() override;
    void setAlerting() override;
    bool setConnected() override;
    void onRelease(EndReason reason) override;

    // --- operations for the application (any thread) ---

    /// Sends user input, in the endpoint's mode unless the far end's capabilities say it
    /// receives only the other kind.  Input given before capability exchange and
    /// master/slave determination are over is held and sent then, in order.  False when
    /// the text is empty or longer than 256 characters, the call is released, or too many
    /// requests are already held.
    bool sendUserInputString(const std::string& value) override;
    /// Sends the caller elsewhere: an incoming leg not yet answered sends a Facility
    /// (callForwarded) naming `destination` ("host[:port]", "alias@host[:port]" or an
    /// alias), and the call clears with CallForwarded.  False for an outgoing or
    /// answered leg, or a destination that names nothing.
    bool forwardCallTo(const std::string& destination);
    /// Sends an H.245 message (tunnelled or on the H.245 channel), held like user input
    /// until capability exchange is over.  False when the message is empty, the call is
    /// released or too many requests are held.
    bool sendH245(const asn::Value& message);
    /// MiscellaneousIndication of `type` ("logicalChannelActive", ...) for a channel.
    bool sendMiscellaneousIndication(std::uint16_t channel, std::string_view type);
    /// Tells the far end that our audio is muted (logicalChannelInactive on the audio
    /// channel we transmit on) or live again.  Held until that channel is open and
    /// capability exchange is over; only the last wish is sent.  False once released.
    bool indicateAudioMuted(bool muted);
    /// Asks the far end for a new intra picture on its video channel to us.
    bool sendVideoFastUpdatePicture(unsigned sessionId);
    bool requestVideoUpdate(unsigned sessionId) override
    {
        return sendVideoFastUpdatePicture(sessionId);
    }
    /// Closes one of our transmit channels (CloseLogicalChannel).
    bool closeLogicalChannel(std::uint16_t channel);

    /// Starts presenting (H.239): asks the far end for the presentation token, then opens
    /// a content channel whose stream the local leg fills from its content source, and
    /// says the channel is active.  The outcome comes as PresentationEvent LocalStarted
    /// or LocalRefused through OnPresentation: refused when the far end takes no H.239
    /// content, no content format is offered, the far end rejects the token or its
    /// channel, or does not answer in time.  Held until capability exchange is over.
    /// False when a presentation of ours is already under way or the call is released.
    bool startPresentation();
    /// Stops our presentation: the channel is said inactive, the token released and the
    /// channel closed (LocalStopped).  False when we are not presenting or asking to.
    bool stopPresentation();
    /// True from startPresentation until our presentation ends or is refused.
    bool isPresentationWanted() const { return presentation_->wanted(); }
    /// True while we send content with the token held.
    bool isPresenting() const { return presentation_->presenting(); }
    /// True while the far end presents.
    bool isRemotePresenting() const { return presentation_->remotePresenting(); }
    /// Sends a RoundTripDelayRequest; the result arrives through roundTripDelay().
    bool measureRoundTripDelay();
    /// The last measured round-trip delay; nothing before the first answer.
    std::optional<std::chrono::microseconds> roundTripDelay() const;

    /// The logical channel of `sessionId` in one direction, if any.
    std::optional<LogicalChannelInfo> findLogicalChannel(unsigned sessionId, bool fromRemote) const;
    std::vector<LogicalChannelInfo> logicalChannels() const;

    /// Bandwidth of this call, bit/s: the endpoint's initial figure, and what is left
    /// after the open channels of that direction.
    std::uint64_t initialBandwidth(Direction direction) const;
    std::uint64_t bandwidthAvailable(Direction direction) const;

    /// True when H.245 messages can be sent (tunnelled, or the H.245 channel is up).
    bool isH245Ready() const { return h245Ready_.load(); }
    /// Negotiated facts, for tests and logs.
    bool isTunnelling() const { return tunnellingActive_.load(); }
    bool isFastStartActive() const { return fastStartActive_.load(); }
    bool isMaster() const { return masterSlave_->master(); }
    /// True once capabilities went both ways and master/slave determination ended.
    bool isH245Complete() const { return h245Complete_.load(); }
    /// The call's media encryption: the policy, whether keys were agreed, renewals.  Its
    /// accessors marked "any thread" may be read from here.
    const CallEncryption& encryption() const { return *encryption_; }
    /// Asks for a new key of the far end's encrypted channel `number` (one we receive):
    /// made at once as master, asked of the master otherwise.  False once released.
    bool renewMediaKey(std::uint16_t number);
    /// The peer's product ("name version") from its EndpointType.
    std::string remoteProduct() const;
    /// The bearer capability of an incoming call's Setup.
    std::optional<q931::BearerCapability> incomingBearerCapability() const;

    // --- hooks (network thread; overrides end with the base handling) ---

    /// A Facility arrived.  Default: when its reason forwards the call
    /// (routeCallToGatekeeper, callForwarded, routeCallToMC, forwardedElements) and it
    /// names an alias or an address, asks the endpoint's OnConnectionForwarded and, unless
    /// that took care of it, forwards the call.  False ends this leg (the call clears
    /// with CallForwarded).
    virtual bool OnReceivedFacility(const q931::Message& message, const asn::Value& facility);
    /// The far end asks for the H.239 presentation token for `channel`.  Default:
    /// acknowledges it, unless our own request is under way and wins (the higher
    /// symmetry-breaking number, or the master on a tie); a presentation of ours gives way
    /// to the far end's.  Returns whether it was acknowledged.
    virtual bool OnH239PresentationRequest(unsigned channel, unsigned symmetryBreaking,
                                           unsigned terminalLabel);
    /// A MiscellaneousIndication arrived.  Default: logicalChannelActive or Inactive for
    /// a content channel of the far end starts or stops its presentation (true).
    virtual bool OnMiscellaneousIndication(const h245::ChannelEvent& indication);
    /// Our presentation or the far end's started or stopped.  Default: the manager's
    /// OnPresentation.
    virtual void OnPresentation(PresentationEvent event);
    /// The far end asks for a new intra picture on our channel `channel`.  Default: counts
    /// it (videoUpdateRequests()) for the media side to pick up.
    virtual void OnVideoFastUpdatePicture(std::uint16_t channel);
    /// Reads the bearer capability of an incoming Setup.  Default: keeps it.
    virtual void OnIncomingBearerCapability(const q931::Message& setup);

    unsigned videoUpdateRequests() const { return videoUpdates_.load(); }
    /// Whether the caller runs on the endpoint's network thread.
    bool onNetworkThread() const { return io_.get_executor().running_in_this_thread(); }

protected:
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override;

private:
    friend class EndPoint;

    class Link;
    class LinkTimer;
    class Content;
    class Rates;
    class Streams;

    std::shared_ptr<Connection> self();
    void onNetwork(std::function<void()> work);
    void failCall(EndReason reason, unsigned cause = 0);

    // call signalling: set-up, answer, the messages sent (signalling.cpp)
    void startOutgoing(DialAddress address);
    void connectTo(const std::vector<asio::ip::tcp::endpoint>& targets, std::size_t index);
    void attachSignalling(const std::shared_ptr<TpktChannel>& channel);
    void acceptIncomingSetup(const std::shared_ptr<TpktChannel>& channel,
                             const q931::Message& setup, asn::Value userInformation);
    void sendSetup();
    void sendAlerting();
    void sendConnect();
    bool sendSignal(q931::MessageType type, asn::Value& userInformation,
                    const std::vector<q931::InformationElement>& extra = {});
    asn::Value newBody(std::string_view body);
    /// The address this call's peer is given for our socket on `local`: the public
    /// address of an active NAT method when the peer is outside the local network,
    /// `local` otherwise.  Every address we announce (call signalling, H.245, RTP and
    /// RTCP) goes through here.  May block while a NAT method asks its server.
    asio::ip::address addressToAnnounce(const asio::ip::address& local) const;
    asio::ip::tcp::endpoint endpointToAnnounce(const asio::ip::tcp::endpoint& local) const;
    /// Opens the H.245 listener and puts its announced address in `body`'s h245Address;
    /// leaves the field out when no listener could be opened.
    void offerH245Address(asn::Value& body);

    // call signalling received, failures and release (signalreceive.cpp)
    void sendReleaseComplete(EndReason reason, unsigned cause);
    void handleSignalPdu(const std::vector<std::uint8_t>& pdu);
    void handleUserInformation(const q931::Message& message, const asn::Value& userInformation);
    void handleReleaseComplete(const q931::Message& message, const asn::Value& userInformation);
    void handleFacility(const q931::Message& message, const asn::Value& userInformation);
    void handleSignalFailure(bool malformed, const std::string& detail);
    void protocolFailure(unsigned cause, const std::string& detail);
    void transportFailure(const std::string& detail);
    void releaseNetwork();
    void cancelTimers();
    /// The call crosses a NAT through its gatekeeper: H.245 is tunnelled where it can be,
    /// and the signalling connection kept open (the traversal object holds the rest).
    void crossNatThroughGatekeeper();
    /// The far end asks for an H.245 connection of its own while we tunnel (Facility
    /// startH245 with tunnelling off): our messages go there from now on.
    void leaveTunnellingFor(const asio::ip::tcp::endpoint& target);

    // the gatekeeper: admission, information reports, disengage (admission.cpp)
    /// Asks the gatekeeper to admit the call (without waiting), then dials what it
    /// says, or `direct` when the address named a host.
    void admitOutgoing(const std::shared_ptr<RasClient>& gatekeeper, const std::string& alias,
                       std::optional<DialAddress> direct);
    /// An incoming call: offered to `call` once the gatekeeper admits it.
    void admitIncoming(const std::shared_ptr<RasClient>& gatekeeper,
                       const std::shared_ptr<Call>& call);
    RasCall rasCall(bool answer) const;
    /// The gatekeeper's answer, which comes once on its client's thread, brought to the
    /// network thread, where `work` runs.  The connection is kept until then (a late
    /// confirmation of an ended call is disengaged), but not by the client's thread, which
    /// hands its reference over: neither the connection nor what it holds ends there.  `work`
    /// holds only weak references to the client and the call, for the same reason.
    template <typename Answer>
    std::function<void(const Answer&)>
    fromGatekeeper(std::function<void(const std::shared_ptr<Connection>&, const Answer&)> work)
    {
        return [keep = self(), &io = io_, work = std::move(work)](const Answer& answer) mutable {
            asio::post(io, [keep = std::move(keep), work = std::move(work), answer] {
                if (keep)
                    work(keep, answer);
            });
        };
    }
    /// Keeps the gatekeeper's answer for the call (network thread); false when the call
    /// ended meanwhile (then disengaged at once when admitted).
    bool takeAdmission(const std::shared_ptr<RasClient>& gatekeeper, const RasCall& ras,
                       const Admission& admission);
    /// Tells the gatekeeper that admitted the call that it is over (once).
    void disengage();
    /// The gatekeeper ended the call itself (its DRQ, confirmed by the RAS client).
    void disengagedByGatekeeper(const std::string& reason);
    /// How the call stands, for the gatekeeper's information responses.
    CallReport callReport() const;
    /// The next unsolicited information response, at the gatekeeper's irrFrequency.
    void scheduleInfoReport();

    // the H.245 transport and the requests held for it (h245transport.cpp)
    void startH245();
    void resetH245();
    void queueH245(const asn::Value& message);
    void flushTunnelled();
    void openH245Listener();
    void connectH245(const asio::ip::tcp::endpoint& target);
    void attachH245(asio::ip::tcp::socket socket);
    /// Runs `request` on the network thread once capability exchange and master/slave
    /// determination are over (at once when they are).  `userInput`: the request sends
    /// this input, which goes by Q.931 instead if the call gets no H.245.  Any thread.
    bool holdUntilH245Complete(std::function<void()> request,
                               std::optional<std::string> userInput = std::nullopt);
    void sendHeldRequests();
    /// After Connect without tunnelling: makes sure a separate H.245 connection comes up.
    /// When the far end neither named an address nor connects to ours, we ask it to
    /// connect (Facility startH245); a call that still gets none goes on with its fastStart
    /// media and sends user input in Q.931 Keypad facility elements.
    void ensureH245Transport();
    void sendStartH245();
    void h245TransportMissing();
    /// User input in a Q.931 Information message (Keypad facility), for calls without H.245.
    void sendKeypad(const std::string& value);

    // H.245 messages received and the procedures' readiness (control.cpp)
    void handleH245Pdu(std::span<const std::uint8_t> pdu);
    void handleH245(const asn::Value& message);
    void handleEndSession();
    void sendCapabilitySet();
    /// The peer's capability set arrived (`changed`: it differs from its last one).
    void capabilitiesReceived(bool changed);
    void checkReadyForChannels();
    /// Runs `job` on the network thread once `after` has passed, unless `timer` is started
    /// again or cancelled, or the call is released, first (nothing for a zero or negative
    /// time).
    void runAfter(asio::steady_timer& timer, std::chrono::milliseconds after,
                  std::function<void(Connection&)> job);
    /// Fails the call for `reason` when `what` has not come after `after` (runAfter).
    void startTimer(asio::steady_timer& timer, std::chrono::milliseconds after, EndReason reason,
                    const char* what);
    void restartH245Timers();

    // what the logical channels need of the call, and the view other threads read
    // (channels.cpp)
    /// Binds the RTP and RTCP ports of a media session on the signalling address.
    std::unique_ptr<MediaSessionPorts> bindSession(unsigned sessionId);
    void publishChannels();

    // our fastStart answer, which makes fastStart active or not (signalling.cpp)
    std::vector<std::string> answerFastStart();

    // H.239 presentation: the content channels presentation_ works on (presentation.cpp)
    void handleH239(const asn::Value& message);
    /// The first content format offered that the far end receives, with its capability.
    std::optional<std::pair<MediaFormat, const h245::Capability*>> contentToTransmit() const;
    bool isRemoteContentChannel(std::uint16_t number) const;

    // user input, indications, and the channels' rates bandwidth_ works on (indications.cpp)
    /// What one direction of the call will carry with the formats we offer, bit/s: the
    /// admission asks for this each way.
    std::uint64_t plannedRate() const;
    void sendUserInputNow(const std::string& value);
    void sendWantedMuteIndication();

    EndPoint& endpoint_;
    const bool incoming_;
    asio::io_context& io_;
    const Timers timers_;
    const bool fastStartWanted_;
    const bool tunnellingWanted_;
    const bool h245InSetupWanted_;
    const h225::ProductIdentity identity_;
    const std::uint64_t receiveBandwidth_;
    const std::uint64_t transmitBandwidth_;

    // network thread only
    std::shared_ptr<TpktChannel> signal_;
    std::shared_ptr<TpktChannel> h245Channel_;
    std::unique_ptr<asio::ip::tcp::socket> connecting_;
    std::unique_ptr<asio::ip::tcp::resolver> resolver_;
    std::unique_ptr<asio::ip::tcp::acceptor> h245Listener_;
    std::unique_ptr<asio::ip::tcp::socket> h245Connecting_;
    std::optional<DialAddress> dialled_;
    std::shared_ptr<RasClient> admittedBy_; ///< the gatekeeper that admitted the call
    RasCall admittedAs_;
    bool admittedRouted_ = false;
    std::optional<std::chrono::seconds> irrInterval_;
    std::uint16_t callReference_ = 0;
    h225::Guid callIdentifier_{};
    h225::Guid conferenceId_{};
    bool signallingUp_ = false;
    bool connectSent_ = false;
    bool connectReceived_ = false;
    bool alertingSent_ = false;
    bool released_ = false;       // our side is done with the network
    bool remoteReleased_ = false; // the far end released or the transport is gone
    bool endSessionReceived_ = false;
    std::optional<asio::ip::tcp::endpoint> remoteH245Address_;
    asio::steady_timer signalTimer_;

    // The H.245 procedures, each reaching the call through link_ (control.cpp).
    std::unique_ptr<H245Transport> h245_; // where the procedures' messages go
    std::unique_ptr<Link> link_;
    std::vector<LinkTimer*> linkTimers_; // the procedures' timers, cancelled on release
    std::unique_ptr<MasterSlave> masterSlave_;
    std::unique_ptr<CapabilityExchange> capabilities_;
    std::unique_ptr<RoundTrip> roundTrip_;
    std::unique_ptr<UserInput> userInput_;
    std::unique_ptr<Content> content_;
    std::unique_ptr<PresentationControl> presentation_;
    std::unique_ptr<Rates> rates_;
    std::unique_ptr<BandwidthControl> bandwidth_;
    std::unique_ptr<Streams> streams_;
    std::unique_ptr<LogicalChannels> channels_;
    std::unique_ptr<FastStart> fastStart_;
    /// How the call crosses a NAT with a traversal gatekeeper's help.
    std::unique_ptr<CallTraversal> traversal_;
    /// The media encryption: key agreement, channel keys and their renewal.
    std::unique_ptr<CallEncryption> encryption_;

    bool h245Started_ = false;
    std::optional<q931::BearerCapability> bearer_;
    struct HeldRequest
    {
        std::function<void()> run;
        std::optional<std::string> userInput;
    };
    std::vector<HeldRequest> heldRequests_; // until h245Complete_
    bool keypadInput_ = false;              // no H.245 came: user input goes by Q.931
    bool startH245Sent_ = false;
    asio::steady_timer h245TransportTimer_;
    asio::steady_timer infoReportTimer_;
    std::optional<bool> muteWanted_; // a mute indication not sent yet

    std::atomic<bool> h245Ready_{false};
    std::atomic<bool> tunnellingActive_{false};
    std::atomic<bool> fastStartActive_{false};
    std::atomic<bool> h245Complete_{false};
    std::atomic<unsigned> videoUpdates_{0};
    std::atomic<std::size_t> heldCount_{0}; // requests posted or held, not yet sent

    mutable std::mutex channelMutex_; // guards channelView_, remoteProduct_, bearerView_
    std::vector<LogicalChannelInfo> channelView_;
    std::string remoteProduct_;
    std::optional<q931::BearerCapability> bearerView_;
};

} // namespace voip::h323
