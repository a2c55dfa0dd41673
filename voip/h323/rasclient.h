#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "voip/asn/value.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/traversal.h"
#include "voip/h323/rastraversal.h"

namespace voip::h323 {

/// Where an endpoint stands with its gatekeeper.
enum class RasState
{
    Unregistered, ///< not registered, and not trying (no gatekeeper, or unregistered)
    Registering,  ///< a registration is under way
    Registered,
    Rejected,    ///< the gatekeeper refused us (GRJ or RRJ): lastReason() says why
    Unreachable, ///< the gatekeeper does not answer; tried again with back-off
};

const char* toString(RasState state);

/// What the endpoint tells its gatekeeper about itself, and how patient it is.
struct RasConfig
{
    /// "host" or "host:port" (port 1719 when not given); empty or "auto" to find one by
    /// a multicast GRQ to discoveryAddress.
    std::string gatekeeper;
    /// Where a gatekeeper is looked for: "group:port".
    std::string discoveryAddress = "224.0.1.41:1718";
    std::string alias; ///< our h323-ID; may be empty when an E.164 number is given
    std::string e164;  ///< our number, digits only; may be empty
    /// When set, every request from the registration on carries proof of it (an access
    /// token and a hashed password) for our alias.
    std::string password;
    /// Asked for in the registration; the gatekeeper's answer holds.
    std::chrono::seconds timeToLive{300};
    /// Our call signalling address, sent in the registration; an unspecified address
    /// (0.0.0.0) is replaced by the one this machine uses to reach the gatekeeper.
    h225::IpAddressPort callSignalAddress;
    /// The local address the RAS socket binds to (port 0: any free port).
    std::string bindAddress = "0.0.0.0";
    /// First wait for an answer; each retry waits twice as long.
    std::chrono::milliseconds timeout{1500};
    unsigned retries = 2;
    /// First pause before registering again after the gatekeeper went silent or
    /// unregistered us; doubled each time up to maxRetryPause.
    std::chrono::milliseconds retryPause{5000};
    std::chrono::milliseconds maxRetryPause{60000};
    h225::ProductIdentity identity;
    /// Offers to cross a NAT with the gatekeeper's help (H.460.18 and .19); used when the
    /// gatekeeper's registration takes it up.
    bool traversal = true;
};

/// One call as the gatekeeper knows it.
struct RasCall
{
    bool answer = false;          ///< we answer it (incoming)
    std::string destinationAlias; ///< outgoing: the alias or number dialled
    std::optional<h225::IpAddressPort> destinationAddress; ///< outgoing by address
    std::string sourceAlias; ///< incoming: the caller's alias, when known
    std::uint16_t callReference = 0;
    h225::Guid conferenceId{};
    h225::Guid callId{};
    std::uint32_t bandwidth = 7680; ///< units of 100 bit/s, both directions (768 kbit/s)
};

/// The gatekeeper's answer to an admission request.
struct Admission
{
    bool admitted = false;
    /// Where to send the Setup (outgoing); the gatekeeper's own address in the routed model.
    std::optional<h225::IpAddressPort> destination;
    bool gatekeeperRouted = false;
    std::uint32_t bandwidth = 0;
    /// Seconds between the information responses the gatekeeper wants during the call.
    std::optional<unsigned> irrFrequency;
    /// ARJ: the reason's name ("calledPartyNotRegistered"); "timeout" when nothing came.
    std::string rejectReason;

    /// What a request that no answer came to gives.
    static Admission unanswered()
    {
        Admission admission;
        admission.rejectReason = "timeout";
        return admission;
    }
};

/// One direction's addresses of a channel, as an information response gives them.
struct ChannelAddresses
{
    std::optional<h225::IpAddressPort> send;    ///< where we send
    std::optional<h225::IpAddressPort> receive; ///< where we receive
};

/// What the gatekeeper is told of one call in an information response (H.225.0 7.15):
/// its media sessions, its H.245 and signalling connections and its bandwidth.
struct CallReport
{
    struct Session
    {
        unsigned sessionId = 0;
        bool video = false; ///< video (or content); audio otherwise
        bool data = false;  ///< a data session (H.224): addresses only
        ChannelAddresses rtp;
        ChannelAddresses rtcp;
        std::uint32_t ssrc = 1;
    };
    bool originator = false;
    std::vector<Session> sessions;
    ChannelAddresses h245;
    ChannelAddresses signalling;
    std::uint32_t bandwidth = 0; ///< units of 100 bit/s, both directions
    bool gatekeeperRouted = false;
};

/// What the RAS client asks of a call the gatekeeper admitted.  Each runs on the client's
/// event loop and must not block long.
struct CallFollower
{
    /// The gatekeeper asks the call to use at most this (units of 100 bit/s): the rate the
    /// call then uses, or nothing when the call is gone.
    std::function<std::optional<std::uint32_t>(std::uint32_t)> bandwidth;
    /// The gatekeeper ended the call (its DisengageRequest, with the reason's name); it is
    /// confirmed already, and needs no DisengageRequest of ours.
    std::function<void(const std::string&)> disengaged;
    /// The call's state for an information response; nothing when the call is gone.
    std::function<std::optional<CallReport>()> report;
};

/// The endpoint's side of H.225.0 RAS with one gatekeeper: discovery and registration
/// with keep-alive, admission and disengage of calls, bandwidth changes, and the answers to
/// the gatekeeper's own unregistration and information requests.
///
/// Answers count only when they come from the gatekeeper's address with the sequence
/// number of a request we sent; anything else is dropped and counted.  Datagrams are read
/// into a bounded buffer; what does not decode is dropped.
///
/// Thread-safe.  Requests block the calling thread until answered or timed out (never call
/// them on a GUI thread, nor from the client's own callbacks); the variants that take a
/// callback do not.  One event loop reads the socket, sends the retries of the requests
/// nobody waits for and keeps the registration alive, each when its timer says, and runs
/// the callbacks: a thread of the client's own, or the loop it is given (an H.323
/// endpoint's, so that its calls and its gatekeeper share one thread).
class RasClient
{
public:
    /// A client with an event loop and thread of its own, started by start().
    explicit RasClient(RasConfig config);
    /// A client on `loop`, which must run until close() or closeLater() has finished: only
    /// then may the loop stop.  Once closed, the client holds nothing of the loop, and may
    /// be destroyed on any thread, after the loop too.
    RasClient(RasConfig config, asio::io_context& loop);
    /// On its own loop: close(), then stops the loop.  On a loop given, it must be closed
    /// (or never started) already.
    ~RasClient();
    RasClient(const RasClient&) = delete;
    RasClient& operator=(const RasClient&) = delete;

    /// Opens the socket and starts registering in the background; false (with
    /// lastReason()) when the socket cannot be opened or the gatekeeper's name does not
    /// resolve.
    bool start();
    /// Waits until the state is one of Registered, Rejected or Unreachable, at most `wait`.
    RasState waitForRegistration(std::chrono::milliseconds wait);

    RasState state() const;
    std::string lastReason() const;
    /// While the gatekeeper does not answer: when registering is tried next; nothing while
    /// a try is under way (or in any other state).
    std::optional<std::chrono::steady_clock::time_point> nextAttempt() const;
    std::string endpointIdentifier() const;
    std::string gatekeeperIdentifier() const;
    std::uint16_t localPort() const;
    /// Datagrams dropped: not decodable, from another address, or an unknown sequence number.
    std::uint64_t ignored() const { return ignored_.load(); }
    /// Called (on a thread of the client's) at each change of state.
    void setStateObserver(std::function<void(RasState)> observer);
    /// Whether the gatekeeper takes our calls across a NAT (its registration says).
    TraversalState traversal() const;
    /// Called on the event loop for each call a traversal gatekeeper announces (once per
    /// call): the endpoint connects to it for the call's Setup.
    void setIncomingCallHandler(std::function<void(const h225::IncomingCallIndication&)> handler);

    /// ARQ for a call: blocks until ACF, ARJ or time-out.  A time-out makes the client
    /// Unreachable (registering again with back-off).
    Admission admit(const RasCall& call);
    /// The same without waiting: `done` gets the outcome on the client's event loop.
    void admit(const RasCall& call, std::function<void(const Admission&)> done);
    /// DRQ at a call's end; `reason` "normalDrop", "forcedDrop" or "undefinedReason".
    bool disengage(const RasCall& call, const std::string& reason = "normalDrop");
    /// DRQ without waiting for it: sent from the client's event loop, in the order asked; what is
    /// still waiting when the client is destroyed is sent then (so that a program that ends right
    /// after a call still disengages it).
    void disengageLater(const RasCall& call, const std::string& reason = "normalDrop");
    /// BRQ as a call's rate changes: granted (BCF) or not, with the bandwidth the
    /// gatekeeper gives (BCF) or allows (BRJ); 0 when it did not answer.
    struct BandwidthAnswer
    {
        bool answered = false; ///< a BCF or BRJ came
        bool granted = false;
        std::uint32_t bandwidth = 0;
    };
    BandwidthAnswer changeBandwidth(const RasCall& call, std::uint32_t bandwidth);
    /// The same without waiting: `done` gets the answer on the client's event loop.
    void changeBandwidth(const RasCall& call, std::uint32_t bandwidth,
                         std::function<void(const BandwidthAnswer&)> done);
    /// Until the call is disengaged, the gatekeeper's requests about it are followed: its
    /// BRQ (a BCF when the rate the call then uses fits, a BRJ with that rate as the
    /// allowed figure when not), its DRQ (confirmed, and the call told), its IRQ (answered
    /// with the call's report).  A request for a call we do not follow gets the standard's
    /// refusal (BRJ invalidConferenceID, DRJ requestToDropOther, an IRR without the call).
    void followCall(const RasCall& call, CallFollower follower);
    /// An unsolicited information response about one call (the ACF's irrFrequency).
    bool reportCall(const RasCall& call, const CallReport& report);
    /// URQ; the client stays unregistered until start() again.
    bool unregister();
    /// Takes leave of the gatekeeper without waiting: the disengages still queued are sent,
    /// then a URQ when registered; once answered or given up, the socket and the timers
    /// are closed, every request still waiting ends without an answer, and `done` runs (on
    /// the event loop, or at once when the client is closed already).  With `now`, nothing
    /// more is sent or waited for.  Any thread; a second call joins the first.
    void closeLater(std::function<void()> done, bool now = false);
    /// closeLater() waited for (any thread but the event loop's).
    void close();
    /// Closed: nothing more is sent or received.
    bool closed() const;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds EndedCallMemory{30};
    static constexpr std::size_t MaxEndedCalls = 64;
    /// A request sent, until its answer comes or its last retry is over.
    struct Waiter
    {
        std::vector<std::string> answers;
        std::optional<asn::Value> answer;
        bool anySource = false;
        /// Discovery: a rejection, kept while a confirmation may still come from another.
        std::optional<asn::Value> rejection;

        /// A request that nobody waits for (transactLater): what to send again, when, and
        /// whom to tell the outcome.
        std::function<void(std::optional<asn::Value>)> done;
        /// Told once, when the first try went unanswered and the request is sent again.
        std::function<void()> late;
        asn::Value message;
        asio::ip::udp::endpoint to;
        unsigned attempt = 0;
        std::chrono::milliseconds wait{0};
        Clock::time_point deadline{};
    };

    /// Reads the next datagram (event loop).
    void receive();
    void onDatagram(std::size_t length, const asio::ip::udp::endpoint& from);
    /// The socket is closed: no more requests of transactLater are taken, and those
    /// waiting end without an answer.
    void endReading();
    /// Sets the retry timer for the earliest request of transactLater to wait out.
    void armRetry();
    /// Does what the registration and the disengages queued need now, or sets the keeper's
    /// timer for when they will (event loop).
    void keep();
    /// keep() on the event loop (any thread).
    void wakeKeeper();
    /// Queues `work` on the event loop unless the client is closed (so that nothing queued
    /// runs after the close has finished); false when closed.  Any thread.
    bool post(std::function<void()> work);
    /// closeLater's steps, on the event loop: the queued disengages, then the URQ, then
    /// closeNow().
    void sayGoodbye();
    void unregisterThenClose();
    /// Closes the socket and the timers and ends what waits; the closers are told once what
    /// the close queued has run.
    void closeNow();
    /// The URQ for our registration; nothing when not registered.
    std::optional<asn::Value> unregistrationRequest();
    /// After a URQ, answered or not: the registration is forgotten.
    void forgetRegistration();
    /// Whether a blocking request would wait for the event loop it runs on.
    bool onEventLoop() const;
    void handleRequest(const asn::Value& message, const asio::ip::udp::endpoint& from);
    void handleBandwidthRequest(const asn::Value& message, const asio::ip::udp::endpoint& from);
    void handleDisengageRequest(const asn::Value& message, const asio::ip::udp::endpoint& from);
    void handleInfoRequest(const asn::Value& message, const asio::ip::udp::endpoint& from);
    /// A ServiceControlIndication: answered, and an incoming call announced in it handed on.
    void handleServiceControl(const asn::Value& message, const asio::ip::udp::endpoint& from);
    /// Sends a disengage and counts it until answered or given up (event loop).
    void sendDisengage(const RasCall& call, const std::string& reason);
    /// Runs `then` once no disengage is waiting for its answer (event loop).
    void afterDisengages(std::function<void()> then);
    /// When the registration is next renewed, from now, for a granted time to live.
    static std::chrono::milliseconds renewalDelay(std::chrono::seconds timeToLive);
    /// The follower of the call a gatekeeper request names (by call identifier, or by
    /// conference for gatekeepers that give only that); null when we follow none.
    const CallFollower* findFollowed(const asn::Value& request, RasCall* call = nullptr) const;
    /// Whether the call a gatekeeper request names was disengaged lately (mutex_ held).
    bool endedLately(const asn::Value& request) const;
    /// Fills one perCallInfo entry.
    void fillCallInfo(asn::Value& info, const RasCall& call, const CallReport& report) const;
    /// An InfoRequestResponse with our identity, `requestSeqNum` and the calls' entries.
    asn::Value infoResponse(std::int64_t sequence,
                            const std::vector<std::pair<RasCall, CallReport>>& calls,
                            bool unsolicited);
    bool fromGatekeeper(const asio::ip::udp::endpoint& from) const;
    /// Where requests go now (the GCF's rasAddress once discovery is done).
    asio::ip::udp::endpoint gatekeeperEndpoint() const;
    /// Our RAS address as we announce it.
    h225::IpAddressPort rasAddress() const;
    /// Our call signalling address as we announce it.
    h225::IpAddressPort signalAddress() const;
    /// Takes `gatekeeper` as where requests go, and when no signalling address was given,
    /// the local address of the route to it as ours (asked with a socket on `probe`).
    void useGatekeeper(const asio::ip::udp::endpoint& gatekeeper, asio::io_context& probe);
    bool discovering() const;
    /// Sends `message` (whose requestSeqNum this sets) to `to`, with retries; the answer
    /// (one of the alternatives named), or nothing after the last retry.
    /// With `anySource` (discovery), answers come from whoever answers, and a rejection
    /// counts only when no confirmation came in the first wait.
    std::optional<asn::Value> transact(asn::Value message, const asio::ip::udp::endpoint& to,
                                       std::initializer_list<std::string_view> answers,
                                       bool anySource = false);
    /// The same without waiting: `done` gets the answer, or nothing after the last retry
    /// (or when the request cannot be sent, at once), on the event loop, which also sends
    /// the retries.  No thread waits for such a request.  `anySource` as for transact.
    void transactLater(asn::Value message, const asio::ip::udp::endpoint& to,
                       std::initializer_list<std::string_view> answers,
                       std::function<void(std::optional<asn::Value>)> done, bool anySource = false,
                       std::function<void()> late = {});
    /// A registration's request went unanswered once: the gatekeeper is said not to answer
    /// at once (the retries go on), rather than after the last of them.
    void registrationLate();
    /// Numbers `message` and makes the waiter for its answers (and requestInProgress), not
    /// yet listed as waiting.
    std::pair<std::uint16_t, std::shared_ptr<Waiter>>
    newRequest(asn::Value& message, std::initializer_list<std::string_view> answers);
    /// When a request the gatekeeper said is in progress gives up waiting again.
    static Clock::time_point inProgressUntil(const asn::Value& inProgress);
    /// Sends again the requests of transactLater whose wait is over, and ends those that
    /// had their last try or were refused with nobody else answering (all of them, with
    /// `giveUp`); event loop.
    void retryLater(bool giveUp);
    bool send(const asn::Value& message, const asio::ip::udp::endpoint& to);
    /// GRQ then RRQ (or a lightweight RRQ when `keepAlive`), without waiting: `done` gets
    /// the state it led to, on the event loop.
    void registerOnce(bool keepAlive, std::function<void(RasState)> done);
    /// For a registration step's answer: when the client is leaving, or the gatekeeper did
    /// not answer, tells `done` (the latter as unreachable) and is true.
    bool registrationEnded(const std::optional<asn::Value>& answer,
                           const std::function<void(RasState)>& done);
    void requestRegistration(bool keepAlive, const asio::ip::udp::endpoint& gatekeeper,
                             std::function<void(RasState)> done);
    /// A DisengageRequest for `call`, which is no longer followed.
    asn::Value disengageRequest(const RasCall& call, const std::string& reason);
    void setState(RasState state, const std::string& reason = {});
    asn::Value newMessage(std::string_view alternative, asn::Value*& body);
    void fillAliases(asn::Value& sequence) const;
    void fillCallIdentity(asn::Value& body, const RasCall& call) const;
    /// Adds the password tokens to a request's body, when a password is set.
    void authenticate(asn::Value& body);
    std::uint16_t nextSequence();
    /// disengageLater's requests not sent yet, taken from the queue.
    std::vector<std::pair<RasCall, std::string>> takeDisengages();

    RasConfig config_;
    std::unique_ptr<asio::io_context> ownLoop_; ///< when the client has a loop of its own
    asio::io_context& io_;
    std::thread loop_; ///< runs io_ when it is the client's own
    // Made by start() and destroyed by the close, on the event loop (the socket also under
    // sendMutex_, as requests are sent from the threads that ask them).
    std::optional<asio::ip::udp::socket> socket_;
    std::optional<asio::steady_timer> retryTimer_;
    std::optional<asio::steady_timer> keepTimer_;
    std::mutex sendMutex_;
    asio::ip::udp::endpoint discovery_; ///< the multicast group and port
    bool signalAddressGiven_ = false;
    std::vector<std::uint8_t> datagram_;
    asio::ip::udp::endpoint datagramFrom_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> keeperStopping_{false}; ///< the registration is left alone (destruction)
    // event loop only
    bool registering_ = false;        ///< a registration is under way
    std::chrono::milliseconds pause_; ///< before the next try after no answer
    Clock::time_point retryAt_{};
    std::atomic<std::uint64_t> ignored_{0};

    bool goodbyeStarted_ = false; ///< closeLater's steps are under way (event loop)
    /// Disengages sent and not yet answered or given up, and what waits for none to be
    /// (the unregistration: a gatekeeper takes a URQ first as the call's end too).
    std::size_t disengagesWaiting_ = 0;
    std::vector<std::function<void()>> afterDisengages_;

    mutable std::mutex mutex_; ///< guards what follows
    bool closed_ = false;
    std::vector<std::function<void()>> closers_; ///< closeLater's callers, until closed
    asio::ip::udp::endpoint local_;              ///< the socket's address, once open
    asio::ip::udp::endpoint gatekeeper_;         ///< where requests go (the GCF's rasAddress)
    h225::IpAddressPort signalAddress_;          ///< ours, as announced
    std::condition_variable changed_;
    /// disengageLater's requests not sent yet, for the keeper.
    std::vector<std::pair<RasCall, std::string>> disengages_;
    RasState state_ = RasState::Unregistered;
    RasTraversal traversal_;
    std::function<void(const h225::IncomingCallIndication&)> incomingCall_;
    /// Calls disengaged lately, by call identifier with their conference: the gatekeeper's
    /// own disengage of one (crossing ours) is confirmed, not refused.
    std::map<h225::Guid, std::pair<h225::Guid, Clock::time_point>> ended_;
    std::string reason_;
    std::string endpointId_;
    std::string gatekeeperId_;
    std::chrono::seconds timeToLive_{0};
    Clock::time_point keepAliveAt_{};
    std::optional<Clock::time_point> nextAttempt_; ///< while unreachable and waiting
    bool reregister_ = false;                      ///< the keeper registers afresh at once
    std::uint16_t sequence_ = 0;
    std::map<std::uint16_t, std::shared_ptr<Waiter>> waiting_;
    bool reading_ = false; ///< the socket is read: requests of transactLater are taken
    std::function<void(RasState)> observer_;
    /// The calls the gatekeeper admitted and may ask about, by call identifier.
    struct Followed
    {
        RasCall call;
        CallFollower follower;
    };
    std::map<h225::Guid, Followed> followed_;
};

} // namespace voip::h323
