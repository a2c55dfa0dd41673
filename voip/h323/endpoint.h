#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "voip/core/endpoint.h"
#include "voip/h225/identity.h"
#include "voip/h225/traversal.h"
#include "voip/h245/capabilities.h"
#include "voip/h323/callencryption.h"
#include "voip/h323/faststart.h"
#include "voip/q931/message.h"
#include "voip/h323/rasclient.h"
#include "voip/status.h"

namespace voip::h323 {

class Connection;
class TpktChannel;

/// How user input goes to the far end.
enum class UserInputMode
{
    Alphanumeric, ///< one UserInputIndication alphanumeric string per send
    Signal,       ///< one UserInputIndication signal per character (DTMF-like)
};

/// A direction of media, for bandwidth figures.
enum class Direction
{
    Receive,
    Transmit,
};

/// The time limits of the signalling and control procedures.  A procedure that gets no
/// answer within its limit ends the call with a reason instead of waiting for ever.
struct Timers
{
    std::chrono::milliseconds connect{10000};            ///< TCP connect to the far end
    std::chrono::milliseconds firstMessage{10000};       ///< Setup after a TCP accept
    std::chrono::milliseconds alerting{180000};          ///< answer of the called party
    std::chrono::milliseconds capabilityExchange{30000}; ///< TerminalCapabilitySet (T101)
    std::chrono::milliseconds masterSlave{30000};        ///< MasterSlaveDetermination (T106)
    std::chrono::milliseconds logicalChannel{30000};     ///< OpenLogicalChannel (T103)
    std::chrono::milliseconds roundTripDelay{10000};     ///< RoundTripDelayResponse (T105)
    /// Interval of round-trip checks during a call; 0 switches them off.
    std::chrono::milliseconds roundTripInterval{0};
    /// Between the empty TPKTs that keep a call's signalling connection open across a NAT
    /// (calls through a traversal gatekeeper).
    std::chrono::milliseconds signallingKeepAlive{19000};
};

/// The H.323 endpoint: listens for calls on TCP (H.225.0 call signalling), makes the H.323
/// connections of incoming and outgoing calls and holds the settings they follow
/// (fastStart, H.245 tunnelling, H.245 in Setup, user-input mode, timers, bandwidth).
///
/// Threads: the endpoint runs one network thread; every socket, timer and protocol
/// handler of its connections runs there, and so does the gatekeeper client it makes
/// (newGatekeeperClient).  Settings may be changed from any thread and
/// apply to calls set up afterwards: the switches and the connection counts are atomic,
/// `mutex_` guards the other settings.
class EndPoint : public voip::EndPoint
{
public:
    explicit EndPoint(Manager& manager, std::string prefix = "h323");
    ~EndPoint() override;

    /// Starts listening on `address` ("" or "*": every interface, IPv6 and IPv4) and
    /// `port` (0: any free port).  Replaces a running listener.  Fails (and then does not
    /// listen) when the address is not an IP address or the port cannot be bound.  Waits
    /// for the network thread: call it from any thread but that one (not from a hook).
    Status startListener(std::string_view address = {}, std::uint16_t port = 1720);
    void stopListener();
    bool isListening() const;
    /// The port the listener is bound to; 0 when not listening.
    std::uint16_t listenerPort() const;

    // --- settings: read when a call starts ---

    void setFastStart(bool on) { fastStart_ = on; }
    bool fastStart() const { return fastStart_; }
    void setH245Tunnelling(bool on) { tunnelling_ = on; }
    bool h245Tunnelling() const { return tunnelling_; }
    void setH245InSetup(bool on) { h245InSetup_ = on; }
    bool h245InSetup() const { return h245InSetup_; }
    void setFastStartNumbering(FastStartNumbering numbering) { fastStartNumbering_ = numbering; }
    FastStartNumbering fastStartNumbering() const { return fastStartNumbering_; }
    /// Media encryption of calls (off unless set).
    void setMediaEncryption(MediaEncryption policy) { mediaEncryption_ = policy; }
    MediaEncryption mediaEncryption() const { return mediaEncryption_; }
    void setUserInputMode(UserInputMode mode) { userInputMode_ = mode; }
    UserInputMode userInputMode() const { return userInputMode_; }
    void setTimers(const Timers& timers);
    Timers timers() const;
    void setProductIdentity(const h225::ProductIdentity& identity);
    h225::ProductIdentity productIdentity() const;

    /// The gatekeeper the endpoint works with (null: none).  While it has us registered,
    /// every call in and out is admitted by it first (and disengaged at its end), and an
    /// alias or number dialled without a host is found through it.
    void setGatekeeper(std::shared_ptr<RasClient> gatekeeper);
    std::shared_ptr<RasClient> gatekeeper() const;
    /// The gatekeeper when it has us registered; null otherwise.
    std::shared_ptr<RasClient> registeredGatekeeper() const;
    /// A gatekeeper client on the endpoint's network thread, not started.  The endpoint
    /// keeps it until it is closed, and closes it at its shutdown: it takes leave of the
    /// gatekeeper there (waiting a few seconds at most) before the thread stops.
    std::shared_ptr<RasClient> newGatekeeperClient(RasConfig config);

    /// The H.264 decoding we announce (profiles, level, H.241 custom limits); by default
    /// what the engine's decoder takes.  A lower announcement stands in for a far end with
    /// a smaller decoder (tests, diagnostics).
    void setH264Receive(const h245::H264Parameters& parameters);
    h245::H264Parameters h264Receive() const;

    /// Initial bandwidth of a call, bit/s, per direction.
    void setInitialBandwidth(Direction direction, std::uint64_t bitsPerSecond);
    std::uint64_t initialBandwidth(Direction direction) const;

    // --- the call model ---

    /// An outgoing H.323 leg to `address` ("host", "host:port", "alias@host[:port]",
    /// "[v6]:port"; an "h323:" prefix is dropped); null for an address that cannot be dialled.
    std::shared_ptr<voip::Connection> makeConnection(const std::shared_ptr<Call>& call,
                                                     const std::string& address,
                                                     const StringOptions& options) override;

    /// Connection factory: every H.323 connection, incoming and outgoing, is made here.
    /// `setup` is the received Setup of an incoming call, null for an outgoing one.  A
    /// derived endpoint returns its own connection class.  Any thread.
    virtual std::shared_ptr<Connection> createConnection(const std::shared_ptr<Call>& call,
                                                         const std::string& address,
                                                         const StringOptions& options,
                                                         const q931::Message* setup);

    /// A connection is asked by a Facility to go to `forwardParty`.  True: the
    /// application took care of it, nothing more happens; false (the default): the engine
    /// forwards the call itself.  Network thread.
    virtual bool OnConnectionForwarded(Connection& connection, const std::string& forwardParty,
                                       const q931::Message& message);

    /// A traversal gatekeeper announced a call: connects to where it says, tells it which
    /// call the connection is for (a Facility), and takes the Setup that comes on it like
    /// any incoming call.  The gatekeeper client of setGatekeeper() calls it.  Any thread.
    void answerIndicatedCall(const h225::IncomingCallIndication& indication);
    /// Announced calls whose gatekeeper could not be reached.
    std::size_t unreachedIndications() const { return unreachedIndications_.load(); }

    /// Stops the listener and the network thread (after the manager has cleared every
    /// call).
    void shutDown() override;

    /// Caps the TCP connections that have not sent a Setup yet: per source address and
    /// in total (defaults 8 and 64); one more is closed at once.
    void setSetupWaitLimits(std::size_t perAddress, std::size_t total);
    /// Connections closed because the caps were reached.
    std::size_t refusedIdleCount() const { return refusedIdle_.load(); }

    /// H.323 connection objects alive: for tests that check nothing is left behind.
    std::size_t connectionCount() const { return connections_.load(); }
    /// Malformed messages that ended a call or a signalling connection.
    std::size_t malformedCount() const { return malformed_.load(); }

    /// The endpoint's network loop (for its connections).
    asio::io_context& ioContext() { return io_; }

private:
    friend class Connection;
    void accept();
    void handleAccepted(asio::ip::tcp::socket socket);
    /// Waits for the Setup on a connection (in time, or it is closed), then makes the call.
    /// `doneWaiting` runs once when the wait ends.
    void awaitSetup(const std::shared_ptr<TpktChannel>& channel,
                    std::function<void()> doneWaiting, bool throughGatekeeper);
    void handleFirstPdu(const std::shared_ptr<TpktChannel>& channel,
                        const std::vector<std::uint8_t>& pdu, bool throughGatekeeper);
    /// Closes the gatekeeper clients on our thread (shutdown).
    void closeGatekeeperClients();
    /// Answers a bad first message with ReleaseComplete where a call reference was read.
    void refuse(const std::shared_ptr<TpktChannel>& channel, const q931::Message* received,
                unsigned cause);

    // Declared before the network loop, so that handlers the loop destroys last may
    // still count their connections down.
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::size_t> malformed_{0};
    std::atomic<std::size_t> refusedIdle_{0};
    std::atomic<std::size_t> unreachedIndications_{0};
    std::atomic<std::size_t> waitPerAddress_{8};
    std::atomic<std::size_t> waitTotal_{64};
    // Network thread only: connections waiting for their Setup, by source address.
    std::map<asio::ip::address, std::size_t> waitingByAddress_;
    std::size_t waitingTotal_ = 0;

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_; // network thread only
    std::atomic<std::uint16_t> listenerPort_{0};
    std::atomic<bool> stopped_{false};

    std::atomic<bool> fastStart_{false};
    std::atomic<bool> tunnelling_{true};
    std::atomic<bool> h245InSetup_{false};
    std::atomic<FastStartNumbering> fastStartNumbering_{FastStartNumbering::Proposal};
    std::atomic<UserInputMode> userInputMode_{UserInputMode::Alphanumeric};
    std::atomic<MediaEncryption> mediaEncryption_{MediaEncryption::Off};

    mutable std::mutex mutex_; // guards the settings below
    std::shared_ptr<RasClient> gatekeeper_;
    /// The clients on our thread not known to be closed yet.
    std::vector<std::shared_ptr<RasClient>> rasClients_;
    Timers timers_;
    h225::ProductIdentity identity_;
    h245::H264Parameters h264Receive_;
    std::uint64_t receiveBandwidth_ = 4'000'000;
    std::uint64_t transmitBandwidth_ = 4'000'000;
};

} // namespace voip::h323
