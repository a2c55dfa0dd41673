#pragma once

// A small RAS gatekeeper for tests, on 127.0.0.1: registers endpoints and their aliases,
// admits calls (direct model) by alias or address, disengages them, and can be told to
// reject registrations or admissions, to stop answering, or to unregister or question an
// endpoint.  It keeps the name of every message it received, in order.  It can also
// answer discovery on a multicast group over loopback, and ask for a password: checking the
// access token or the hashed password with its own MD5 (OpenSSL) and its own encoding.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "tests/support/traversalserver.h"
#include "voip/asn/value.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/traversal.h"

namespace voip::testutil {

class TestGatekeeper : public TraversalServer::Directory
{
public:
    /// Listens on 127.0.0.1:`port` (0: any free port).
    explicit TestGatekeeper(std::uint16_t port = 0);
    /// Listens on `address`:`port`: an address of a network namespace the test made, when
    /// the constructing thread is in it.
    TestGatekeeper(const asio::ip::address& address, std::uint16_t port);
    /// Also answers GRQs sent to `group`:`discoveryPort` on the loopback interface
    /// (discoveryPort 0: a free one, see discoveryAddress()).
    TestGatekeeper(std::string group, std::uint16_t discoveryPort);
    ~TestGatekeeper();

    std::uint16_t port() const { return port_; }
    std::string address() const { return host_ + ":" + std::to_string(port_); }
    std::string discoveryAddress() const;

    /// Discovery is answered with a GRJ (this GatekeeperRejectReason) when set.
    void rejectDiscovery(std::optional<std::string> reason);
    /// Which proof of the password is taken.
    enum class Proof
    {
        Either,
        AccessToken,
        HashedPassword,
    };
    /// From now on every request but GRQ must prove the password of the alias it names
    /// (or the alias it registered with); those that do not get securityDenial.
    void requirePasswords(std::map<std::string, std::string> passwords,
                          Proof proof = Proof::Either);
    /// Requests whose proof was checked and found right, and found wrong or missing.
    std::atomic<int> proven{0};
    std::atomic<int> denied{0};
    /// Bandwidth asked for in the last BRQ (units of 100 bit/s), 0 before any.
    std::atomic<std::int64_t> lastBandwidth{0};
    /// When set (units of 100 bit/s), a BRQ for more is refused with this allowed.
    std::atomic<std::int64_t> bandwidthLimit{0};
    /// When set, a refused BRQ names this as allowed instead (what a zone has left, as one
    /// widely deployed gatekeeper puts it).
    std::atomic<std::int64_t> zoneLeft{0};
    /// When set (units of 100 bit/s), admissions and BRQs for more are confirmed with this
    /// much only, as that gatekeeper does with its per-call limit.
    std::atomic<std::int64_t> grantLimit{0};
    /// Bandwidth asked for in the last ARQ (units of 100 bit/s), 0 before any.
    std::atomic<std::int64_t> lastAdmissionBandwidth{0};
    /// When set, each ACF asks for an information response this often (seconds).
    std::atomic<int> irrFrequency{0};
    /// The time to live granted in each RCF (seconds).
    std::atomic<int> timeToLive{60};
    /// Registrations are rejected with this RegistrationRejectReason when set.
    void rejectRegistrations(std::optional<std::string> reason);
    /// Admissions are rejected with this AdmissionRejectReason when set.
    void rejectAdmissions(std::optional<std::string> reason);
    /// Admissions send the caller here instead of where the called party is, when set.
    void admitTo(std::optional<h225::IpAddressPort> address);
    /// While true, nothing is answered (requests are still counted).
    std::atomic<bool> silent{false};
    /// Forgets every registration, as a gatekeeper that restarted.
    void forgetAll();

    /// Sends an unregistration request (or an information request) to the endpoint
    /// registered as `alias`; false when there is none.
    bool unregister(const std::string& alias);
    bool question(const std::string& alias);
    /// Asks the endpoint registered as `alias` to use `bandwidth` (units of 100 bit/s) for
    /// the last call admitted to it, by a BRQ; false when there is none.  Its answer is in
    /// bandwidthAnswer().
    bool askBandwidth(const std::string& alias, std::uint32_t bandwidth);
    /// The last answer to askBandwidth: "BCF <bandWidth>" or "BRJ <reason> <allowed>";
    /// empty until it comes.
    std::string bandwidthAnswer() const;
    /// Ends the last call admitted to the endpoint registered as `alias` by a DRQ with this
    /// DisengageReason ("forcedDrop", ...); with `otherCall`, names a call it never had.
    /// False when there is no such endpoint.  Its answer is in disengageAnswer().
    bool dropCall(const std::string& alias, const std::string& reason = "forcedDrop",
                  bool otherCall = false);
    /// The last answer to dropCall: "DCF" or "DRJ <reason>"; empty until it comes.
    std::string disengageAnswer() const;
    /// The information responses received, in order.
    std::vector<asn::Value> infoResponses() const;

    /// From now on the gatekeeper is a traversal server (H.460.18/19): registrations that
    /// offer feature 18 get it back, with the time to live below; calls are routed through
    /// the server (traversalserver.h), which announces calls to such endpoints.  Called
    /// again, a new server with new options takes the place of the last (its calls end).
    void serveTraversal(TraversalOptions options = {});
    /// The server once serveTraversal() was called; null before.
    TraversalServer* traversalServer() { return traversal_.get(); }
    /// The time to live granted to endpoints that cross a NAT (seconds): their keep-alive.
    std::atomic<int> traversalTimeToLive{19};
    /// Announces `indication` to the endpoint registered as `alias` by a
    /// ServiceControlIndication; false when there is none.
    bool indicateCall(const std::string& alias, const h225::IncomingCallIndication& indication);
    /// Sends a ServiceControlIndication of these octets (a malformed one, say) to `alias`.
    bool sendServiceControl(const std::string& alias, const asn::Value& genericData);
    /// Where the endpoint registered as `alias` sends its RAS from (its NAT's mapping).
    std::optional<asio::ip::udp::endpoint> rasAddressOf(const std::string& alias) const;

    /// When on, admissions name the gatekeeper's own call signalling address (routed
    /// model), and each TCP connection made to it is relayed, as it is, to the called party
    /// of the last admission.
    void routeCalls(bool on);
    /// What came from callers on the routed connections, in order.
    std::string routedBytes() const;

    /// The names of the messages received, in order.
    std::vector<std::string> received() const;
    std::size_t count(const std::string& name) const;
    /// Every datagram received and sent, in order: its octets, whether the gatekeeper sent
    /// it, and the other side's port.
    struct Datagram
    {
        std::vector<std::uint8_t> bytes;
        bool sent;
        std::uint16_t peerPort;
    };
    std::vector<Datagram> datagrams() const;
    /// Writes every datagram to a pcap file as if the gatekeeper were on the standard port
    /// (127.0.0.2:1719), where tshark reads RAS; false when it cannot be written.
    bool saveCapture(const std::string& file) const;
    /// The registered endpoints' call signalling addresses, by alias.
    std::optional<h225::IpAddressPort> lookUp(const std::string& alias) const;

private:
    struct Endpoint
    {
        std::string id;
        std::vector<std::string> aliases;
        h225::IpAddressPort signalAddress;
        asio::ip::udp::endpoint rasAddress;
        bool traversal = false; ///< it asked for feature 18 and got it
    };

    std::optional<TraversalServer::Registration> find(const std::string& alias) override;
    bool announce(const std::string& alias, const h225::IncomingCallIndication& indication) override;

    /// Sends the request `name` to the endpoint registered as `alias`, its body filled by
    /// `fill`, and forgets the registration when `forget`; false when there is none.
    bool request(const std::string& alias, std::string_view name,
                 const std::function<void(asn::Value&, const Endpoint&)>& fill, bool forget);
    /// The registration holding `alias` (mutex_ held), or end().
    std::map<std::string, Endpoint>::const_iterator findByAlias(const std::string& alias) const;
    /// Reads and answers requests on `socket` until stopped; on the discovery group
    /// (`multicast`) only GRQs.
    void serve(asio::ip::udp::socket& socket, bool multicast);
    void answer(const asn::Value& message, const asio::ip::udp::endpoint& from,
                bool multicast = false);
    void send(const asn::Value& message, const asio::ip::udp::endpoint& to);
    /// Whether the request proves its sender's password (mutex_ held), counted in proven
    /// or denied; true when no password is asked for.
    bool proves(const asn::Value& request);
    bool checkProof(const asn::Value& request) const;
    /// Accepts routed calls and relays each to the last admitted destination.
    void relay();
    /// Copies each side's octets to the other until either closes or the gatekeeper stops.
    void pipe(asio::ip::tcp::socket& caller, asio::ip::tcp::socket& callee);
    asio::io_context io_;
    asio::ip::udp::socket socket_;
    std::optional<asio::ip::tcp::acceptor> router_;
    std::thread routerThread_;
    std::vector<std::thread> pipes_;
    std::optional<h225::IpAddressPort> routeTo_; // mutex_
    std::string routed_;                         // mutex_
    std::string bandwidthAnswer_;                // mutex_
    std::string disengageAnswer_;                // mutex_
    std::vector<asn::Value> infoResponses_;      // mutex_
    /// The last call admitted to each endpoint (by identifier): conference and call.
    std::map<std::string, std::pair<h225::Guid, h225::Guid>> lastCall_; // mutex_
    /// Its call reference and whether the endpoint answered it.
    std::map<std::string, std::pair<std::int64_t, bool>> lastCallReference_; // mutex_
    bool routing_ = false;                                              // mutex_
    std::uint16_t port_ = 0;
    std::string host_;
    std::unique_ptr<TraversalServer> traversal_;
    std::thread thread_;
    std::optional<asio::ip::udp::socket> discovery_;
    std::thread discoveryThread_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::vector<Datagram> datagrams_;
    std::map<std::string, Endpoint> endpoints_; // by identifier
    std::optional<std::string> registrationReject_;
    std::optional<std::string> admissionReject_;
    std::optional<h225::IpAddressPort> admitTo_;
    std::optional<std::string> discoveryReject_;
    std::map<std::string, std::string> passwords_;
    Proof proof_ = Proof::Either;
    int nextId_ = 1;
    std::uint16_t sequence_ = 1000;
};

} // namespace voip::testutil
