#include "tests/support/testgatekeeper.h"

#include <ctime>

#include <openssl/evp.h>
#include <fcntl.h>
#include <poll.h>

#include "tools/common/pcapwriter.h"
#include "voip/asn/codec.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"

namespace voip::testutil {

namespace {

h225::IpAddressPort toAddress(const asio::ip::udp::endpoint& endpoint)
{
    return *h225::IpAddressPort::parse(endpoint.address().to_string() + ":" +
                                       std::to_string(endpoint.port()));
}

asn::Value reply(std::string_view alternative, std::int64_t sequence)
{
    asn::Value message(*h225::rasMessageType());
    message.choose(alternative).field("requestSeqNum").setInteger(sequence);
    return message;
}

std::string md5Of(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

} // namespace

TestGatekeeper::TestGatekeeper(std::string group, std::uint16_t discoveryPort)
    : TestGatekeeper()
{
    const auto address = asio::ip::make_address_v4(group);
    // Several test gatekeepers may answer on one group and port.
    discovery_.emplace(io_, asio::ip::udp::v4());
    discovery_->set_option(asio::ip::udp::socket::reuse_address(true));
    discovery_->bind(asio::ip::udp::endpoint(address, discoveryPort));
    discovery_->set_option(
        asio::ip::multicast::join_group(address, asio::ip::make_address_v4("127.0.0.1")));
    discoveryThread_ = std::thread([this] { serve(*discovery_, true); });
}

std::string TestGatekeeper::discoveryAddress() const
{
    if (!discovery_)
        return {};
    const auto local = discovery_->local_endpoint();
    return local.address().to_string() + ":" + std::to_string(local.port());
}

void TestGatekeeper::rejectDiscovery(std::optional<std::string> reason)
{
    std::lock_guard lock(mutex_);
    discoveryReject_ = std::move(reason);
}

void TestGatekeeper::requirePasswords(std::map<std::string, std::string> passwords, Proof proof)
{
    std::lock_guard lock(mutex_);
    passwords_ = std::move(passwords);
    proof_ = proof;
}

bool TestGatekeeper::proves(const asn::Value& request)
{
    if (passwords_.empty())
        return true;
    if (checkProof(request)) {
        ++proven;
        return true;
    }
    ++denied;
    return false;
}

bool TestGatekeeper::checkProof(const asn::Value& request) const
{
    // As widely deployed gatekeepers check: every token of a kind it knows must hold, and
    // one at least must be there.  A wrong token of one kind sinks a right one of the other.
    const std::int64_t now = std::time(nullptr);
    const auto fresh = [&](std::int64_t stamp) { return std::abs(now - stamp) <= 300; };
    const auto passwordOf = [&](const std::string& alias) -> const std::string* {
        const auto found = passwords_.find(alias);
        return found == passwords_.end() ? nullptr : &found->second;
    };
    bool valid = false;
    bool invalid = false;
    auto verdict = [&](bool holds) { (holds ? valid : invalid) = true; };
    if (proof_ != Proof::HashedPassword && request.has("tokens")) {
        for (const auto& token : request["tokens"].elements()) {
            if (token["tokenOID"].oidText() != "1.2.840.113548.10.1.2.1" ||
                !token.has("generalID") || !token.has("random") || !token.has("timeStamp") ||
                !token.has("challenge"))
                continue;
            const std::string* password = passwordOf(std::string(token["generalID"].text()));
            const std::int64_t stamp = token["timeStamp"].integer();
            if (!password || !fresh(stamp)) {
                verdict(false);
                continue;
            }
            std::string input(1, char(token["random"].integer() & 0xFF));
            input += *password;
            for (int shift = 24; shift >= 0; shift -= 8)
                input += char((stamp >> shift) & 0xFF);
            verdict(md5Of(input) == token["challenge"].bytes());
        }
    }
    if (proof_ != Proof::AccessToken && request.has("cryptoTokens")) {
        for (const auto& crypto : request["cryptoTokens"].elements()) {
            if (!crypto.is("cryptoEPPwdHash"))
                continue;
            const auto& hashed = crypto.chosen();
            const std::string alias = h225::aliasToText(hashed["alias"]);
            const std::string* password = passwordOf(alias);
            const std::int64_t stamp = hashed["timeStamp"].integer();
            if (!password || !fresh(stamp) ||
                hashed["token"]["algorithmOID"].oidText() != "1.2.840.113549.2.5" ||
                hashed["token"]["hash"].bitCount() != 128) {
                verdict(false);
                continue;
            }
            // The ClearToken hashed holds both texts with a UCS-2 NUL after each, as
            // H.323 equipment computes it.
            asn::Value clear(*h225::schema()->find("h235", "ClearToken"));
            clear.field("tokenOID").setOid({0, 0});
            clear.field("timeStamp").setInteger(stamp);
            clear.field("password").setText(*password + std::string(1, '\0'));
            clear.field("generalID").setText(alias + std::string(1, '\0'));
            const auto encoded = asn::encode(clear);
            verdict(encoded.ok() &&
                    md5Of(std::string_view(reinterpret_cast<const char*>(encoded->data()),
                                           encoded->size())) == hashed["token"]["hash"].bytes());
        }
    }
    return valid && !invalid;
}

TestGatekeeper::TestGatekeeper(std::uint16_t port)
    : TestGatekeeper(asio::ip::make_address("127.0.0.1"), port)
{}

TestGatekeeper::TestGatekeeper(const asio::ip::address& address, std::uint16_t port)
    : socket_(io_, asio::ip::udp::endpoint(address, port))
{
    // Not left to the programs the test starts.
    ::fcntl(socket_.native_handle(), F_SETFD, FD_CLOEXEC);
    port_ = socket_.local_endpoint().port();
    host_ = address.to_string();
    thread_ = std::thread([this] { serve(socket_, false); });
}

TestGatekeeper::~TestGatekeeper()
{
    std::unique_ptr<TraversalServer> server;
    {
        std::lock_guard lock(mutex_);
        server = std::move(traversal_);
    }
    server.reset(); // it asks the registrations until it stops
    stopping_ = true;
    thread_.join();
    if (discoveryThread_.joinable())
        discoveryThread_.join();
    if (routerThread_.joinable())
        routerThread_.join();
    for (auto& pipe : pipes_)
        pipe.join();
}

bool TestGatekeeper::saveCapture(const std::string& file) const
{
    kx::capture::PcapWriter pcap;
    kx::capture::Endpoint endpoint{kx::capture::Address::ipv4(127, 0, 0, 1), 0};
    const kx::capture::Endpoint ours{kx::capture::Address::ipv4(127, 0, 0, 2), 1719};
    for (const auto& datagram : datagrams()) {
        endpoint.port = datagram.peerPort;
        if (datagram.sent)
            pcap.addUdp(ours, endpoint, datagram.bytes);
        else
            pcap.addUdp(endpoint, ours, datagram.bytes);
    }
    return pcap.save(file);
}

void TestGatekeeper::serveTraversal(TraversalOptions options)
{
    std::unique_ptr<TraversalServer> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(traversal_);
    }
    old.reset(); // its calls end; it asks the registrations until then
    auto server = std::make_unique<TraversalServer>(
        *this, socket_.local_endpoint().address(), std::move(options));
    std::lock_guard lock(mutex_);
    traversal_ = std::move(server);
}

std::optional<TraversalServer::Registration> TestGatekeeper::find(const std::string& alias)
{
    std::lock_guard lock(mutex_);
    const auto found = findByAlias(alias);
    if (found == endpoints_.end())
        return std::nullopt;
    return TraversalServer::Registration{found->second.signalAddress, found->second.traversal};
}

bool TestGatekeeper::announce(const std::string& alias,
                              const h225::IncomingCallIndication& indication)
{
    return indicateCall(alias, indication);
}

bool TestGatekeeper::indicateCall(const std::string& alias,
                                  const h225::IncomingCallIndication& indication)
{
    asn::Value body(*h225::schema()->find("h225", "ServiceControlIndication"));
    h225::setIncomingCallIndication(body, indication);
    return sendServiceControl(alias, body["genericData"]);
}

bool TestGatekeeper::sendServiceControl(const std::string& alias, const asn::Value& genericData)
{
    return request(
        alias, "serviceControlIndication",
        [&](asn::Value& body, const Endpoint&) {
            auto& session = body.field("serviceControl").append();
            session.field("sessionId").setInteger(0);
            session.field("reason").choose("open");
            body.field("genericData") = genericData;
        },
        false);
}

std::optional<asio::ip::udp::endpoint> TestGatekeeper::rasAddressOf(const std::string& alias) const
{
    std::lock_guard lock(mutex_);
    const auto found = findByAlias(alias);
    if (found == endpoints_.end())
        return std::nullopt;
    return found->second.rasAddress;
}

void TestGatekeeper::routeCalls(bool on)
{
    std::lock_guard lock(mutex_);
    routing_ = on;
    if (on && !router_) {
        router_.emplace(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        routerThread_ = std::thread([this] { relay(); });
    }
}

std::string TestGatekeeper::routedBytes() const
{
    std::lock_guard lock(mutex_);
    return routed_;
}

void TestGatekeeper::relay()
{
    while (!stopping_) {
        pollfd ready{router_->native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        asio::error_code error;
        asio::ip::tcp::socket caller(io_);
        router_->accept(caller, error);
        if (error)
            continue;
        std::optional<h225::IpAddressPort> to;
        {
            std::lock_guard lock(mutex_);
            to = routeTo_;
        }
        if (!to)
            continue; // nobody admitted: the caller sees the connection close
        asio::ip::tcp::socket callee(io_);
        callee.connect(asio::ip::tcp::endpoint(asio::ip::make_address(to->addressText()), to->port),
                       error);
        if (error)
            continue;
        pipes_.emplace_back([this, caller = std::move(caller),
                             callee = std::move(callee)]() mutable { pipe(caller, callee); });
    }
}

void TestGatekeeper::pipe(asio::ip::tcp::socket& caller, asio::ip::tcp::socket& callee)
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
        pollfd ready[2] = {{caller.native_handle(), POLLIN, 0},
                           {callee.native_handle(), POLLIN, 0}};
        if (::poll(ready, 2, 100) <= 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            if (!(ready[side].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto& from = side == 0 ? caller : callee;
            auto& to = side == 0 ? callee : caller;
            asio::error_code error;
            const std::size_t length = from.read_some(asio::buffer(buffer), error);
            if (error || length == 0)
                return; // one side closed: so does the relay
            if (side == 0) {
                std::lock_guard lock(mutex_);
                routed_.append(buffer.begin(), buffer.begin() + long(length));
            }
            asio::write(to, asio::buffer(buffer.data(), length), error);
            if (error)
                return;
        }
    }
}

bool TestGatekeeper::askBandwidth(const std::string& alias, std::uint32_t bandwidth)
{
    return request(
        alias, "bandwidthRequest",
        [this, bandwidth](asn::Value& body, const Endpoint& endpoint) {
            const auto call = lastCall_.find(endpoint.id);
            const auto ids =
                call == lastCall_.end() ? std::pair<h225::Guid, h225::Guid>{} : call->second;
            bandwidthAnswer_.clear();
            body.field("endpointIdentifier").setText(endpoint.id);
            h225::setGuid(body.field("conferenceID"), ids.first);
            body.field("callReferenceValue").setInteger(0);
            body.field("bandWidth").setInteger(bandwidth);
            h225::setGuid(body.field("callIdentifier").field("guid"), ids.second);
        },
        false);
}

std::string TestGatekeeper::bandwidthAnswer() const
{
    std::lock_guard lock(mutex_);
    return bandwidthAnswer_;
}

bool TestGatekeeper::dropCall(const std::string& alias, const std::string& reason, bool otherCall)
{
    return request(
        alias, "disengageRequest",
        [this, reason, otherCall](asn::Value& body, const Endpoint& endpoint) {
            const auto call = lastCall_.find(endpoint.id);
            auto ids = call == lastCall_.end() ? std::pair<h225::Guid, h225::Guid>{} : call->second;
            const auto reference = lastCallReference_[endpoint.id];
            if (otherCall)
                ids = {h225::newGuid(), h225::newGuid()};
            disengageAnswer_.clear();
            body.field("endpointIdentifier").setText(endpoint.id);
            h225::setGuid(body.field("conferenceID"), ids.first);
            body.field("callReferenceValue").setInteger(reference.first);
            body.field("disengageReason").choose(reason);
            h225::setGuid(body.field("callIdentifier").field("guid"), ids.second);
            body.field("gatekeeperIdentifier").setText("KxTestGK");
            // As one widely deployed gatekeeper sends it to both ends alike.
            body.field("answeredCall").setBoolean(false);
        },
        false);
}

std::string TestGatekeeper::disengageAnswer() const
{
    std::lock_guard lock(mutex_);
    return disengageAnswer_;
}

std::vector<asn::Value> TestGatekeeper::infoResponses() const
{
    std::lock_guard lock(mutex_);
    return infoResponses_;
}

void TestGatekeeper::rejectRegistrations(std::optional<std::string> reason)
{
    std::lock_guard lock(mutex_);
    registrationReject_ = std::move(reason);
}

void TestGatekeeper::rejectAdmissions(std::optional<std::string> reason)
{
    std::lock_guard lock(mutex_);
    admissionReject_ = std::move(reason);
}

void TestGatekeeper::admitTo(std::optional<h225::IpAddressPort> address)
{
    std::lock_guard lock(mutex_);
    admitTo_ = address;
}

void TestGatekeeper::forgetAll()
{
    std::lock_guard lock(mutex_);
    endpoints_.clear();
}

std::vector<std::string> TestGatekeeper::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<TestGatekeeper::Datagram> TestGatekeeper::datagrams() const
{
    std::lock_guard lock(mutex_);
    return datagrams_;
}

std::size_t TestGatekeeper::count(const std::string& name) const
{
    std::lock_guard lock(mutex_);
    return std::size_t(std::count(received_.begin(), received_.end(), name));
}

std::optional<h225::IpAddressPort> TestGatekeeper::lookUp(const std::string& alias) const
{
    std::lock_guard lock(mutex_);
    const auto found = findByAlias(alias);
    if (found == endpoints_.end())
        return std::nullopt;
    return found->second.signalAddress;
}

std::map<std::string, TestGatekeeper::Endpoint>::const_iterator
TestGatekeeper::findByAlias(const std::string& alias) const
{
    return std::find_if(endpoints_.begin(), endpoints_.end(), [&](const auto& entry) {
        const auto& aliases = entry.second.aliases;
        return std::find(aliases.begin(), aliases.end(), alias) != aliases.end();
    });
}

bool TestGatekeeper::request(const std::string& alias, std::string_view name,
                             const std::function<void(asn::Value&, const Endpoint&)>& fill,
                             bool forget)
{
    asio::ip::udp::endpoint to;
    asn::Value message(*h225::rasMessageType());
    {
        std::lock_guard lock(mutex_);
        auto found = findByAlias(alias);
        if (found == endpoints_.end())
            return false;
        auto& body = message.choose(name);
        body.field("requestSeqNum").setInteger(++sequence_);
        fill(body, found->second);
        to = found->second.rasAddress;
        if (forget)
            endpoints_.erase(found);
    }
    send(message, to);
    return true;
}

bool TestGatekeeper::unregister(const std::string& alias)
{
    return request(
        alias, "unregistrationRequest",
        [](asn::Value& body, const Endpoint& endpoint) {
            h225::setTransportAddress(body.field("callSignalAddress").append(),
                                      endpoint.signalAddress);
            body.field("endpointIdentifier").setText(endpoint.id);
            body.field("reason").choose("reregistrationRequired");
        },
        true);
}

bool TestGatekeeper::question(const std::string& alias)
{
    return request(
        alias, "infoRequest",
        [](asn::Value& body, const Endpoint&) {
            body.field("callReferenceValue").setInteger(0);
            h225::setGuid(body.field("callIdentifier").field("guid"), h225::Guid{});
        },
        false);
}

void TestGatekeeper::send(const asn::Value& message, const asio::ip::udp::endpoint& to)
{
    auto bytes = h225::encodeRasMessage(message);
    if (!bytes.ok())
        return;
    {
        // Kept before it goes: the endpoint may read it, and the test look, at once.
        std::lock_guard lock(mutex_);
        datagrams_.push_back({*bytes, true, to.port()});
    }
    asio::error_code ignored;
    socket_.send_to(asio::buffer(*bytes), to, 0, ignored);
}

void TestGatekeeper::serve(asio::ip::udp::socket& socket, bool multicast)
{
    std::vector<std::uint8_t> buffer(8192);
    while (!stopping_) {
        // Woken this often to see whether to stop.
        pollfd ready{socket.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        asio::ip::udp::endpoint from;
        asio::error_code error;
        const std::size_t length = socket.receive_from(asio::buffer(buffer), from, 0, error);
        if (error)
            continue;
        auto decoded = h225::decodeRasMessage(std::span(buffer.data(), length));
        if (!decoded.ok() || (multicast && !decoded->is("gatekeeperRequest")))
            continue;
        {
            std::lock_guard lock(mutex_);
            received_.emplace_back(multicast ? "gatekeeperRequest (multicast)"
                                             : std::string(decoded->choiceName()));
            datagrams_.push_back(
                {{buffer.begin(), buffer.begin() + long(length)}, false, from.port()});
        }
        if (!silent)
            answer(*decoded, from, multicast);
    }
}

void TestGatekeeper::answer(const asn::Value& message, const asio::ip::udp::endpoint& from,
                            bool multicast)
{
    const asn::Value& request = message.chosen();
    const std::int64_t sequence =
        request.has("requestSeqNum") ? request["requestSeqNum"].integer() : 0;
    std::unique_lock lock(mutex_);
    if (message.is("gatekeeperRequest") && multicast && discoveryReject_) {
        auto reject = reply("gatekeeperReject", sequence);
        h225::setProtocolIdentifier(reject.chosen().field("protocolIdentifier"));
        reject.chosen().field("rejectReason").choose(*discoveryReject_);
        lock.unlock();
        send(reject, from);
    } else if (message.is("gatekeeperRequest")) {
        auto confirm = reply("gatekeeperConfirm", sequence);
        auto& body = confirm.chosen();
        h225::setProtocolIdentifier(body.field("protocolIdentifier"));
        body.field("gatekeeperIdentifier").setText("KxTestGK");
        h225::setTransportAddress(body.field("rasAddress"), toAddress(socket_.local_endpoint()));
        if (traversal_ && request.has("featureSet") &&
            h225::findFeature(request["featureSet"], h225::SignallingTraversalFeature))
            h225::addSupportedFeature(body.field("featureSet"), h225::SignallingTraversalFeature);
        lock.unlock();
        send(confirm, from);
    } else if (message.is("registrationRequest")) {
        const bool keepAlive = request.has("keepAlive") && request["keepAlive"].boolean();
        if (!proves(request)) {
            auto reject = reply("registrationReject", sequence);
            h225::setProtocolIdentifier(reject.chosen().field("protocolIdentifier"));
            reject.chosen().field("rejectReason").choose("securityDenial");
            lock.unlock();
            send(reject, from);
            return;
        }
        if (registrationReject_ ||
            (keepAlive && (!request.has("endpointIdentifier") ||
                           !endpoints_.count(std::string(request["endpointIdentifier"].text()))))) {
            auto reject = reply("registrationReject", sequence);
            h225::setProtocolIdentifier(reject.chosen().field("protocolIdentifier"));
            reject.chosen()
                .field("rejectReason")
                .choose(registrationReject_ ? *registrationReject_
                                            : std::string("fullRegistrationRequired"));
            lock.unlock();
            send(reject, from);
            return;
        }
        std::string id;
        const bool traversal =
            traversal_ && request.has("featureSet") &&
            h225::findFeature(request["featureSet"], h225::SignallingTraversalFeature);
        if (keepAlive) {
            id = std::string(request["endpointIdentifier"].text());
            // A NAT may map the endpoint anew: announcements go where it is now.
            endpoints_[id].rasAddress = from;
        } else {
            Endpoint endpoint;
            endpoint.id = id = "EP" + std::to_string(nextId_++);
            for (const auto& alias : request["terminalAlias"].elements())
                endpoint.aliases.push_back(h225::aliasToText(alias));
            if (request["callSignalAddress"].size() > 0)
                if (auto address = h225::transportAddressOf(request["callSignalAddress"].at(0)))
                    endpoint.signalAddress = *address;
            endpoint.rasAddress = from;
            endpoint.traversal = traversal;
            // One registration an alias: an endpoint that registers again replaces itself.
            std::erase_if(endpoints_,
                          [&](const auto& entry) { return entry.second.rasAddress == from; });
            endpoints_[id] = endpoint;
        }
        auto confirm = reply("registrationConfirm", sequence);
        auto& body = confirm.chosen();
        h225::setProtocolIdentifier(body.field("protocolIdentifier"));
        h225::setTransportAddress(body.field("callSignalAddress").append(),
                                  endpoints_[id].signalAddress);
        body.field("gatekeeperIdentifier").setText("KxTestGK");
        body.field("endpointIdentifier").setText(id);
        // As traversal gatekeepers do: the endpoint's keep-alive is its time to live.
        body.field("timeToLive").setInteger(traversal ? traversalTimeToLive.load()
                                                      : timeToLive.load());
        body.field("willRespondToIRR").setBoolean(false);
        body.field("maintainConnection").setBoolean(false);
        if (traversal)
            h225::addSupportedFeature(body.field("featureSet"), h225::SignallingTraversalFeature);
        lock.unlock();
        send(confirm, from);
    } else if ((message.is("unregistrationRequest") || message.is("disengageRequest") ||
                message.is("bandwidthRequest")) &&
               !proves(request)) {
        // What follows needs the password too.
        const std::string rejection = message.is("unregistrationRequest") ? "unregistrationReject"
                                      : message.is("disengageRequest")    ? "disengageReject"
                                      : message.is("bandwidthRequest")    ? "bandwidthReject"
                                                                          : "";
        auto reject = reply(rejection, sequence);
        reject.chosen().field("rejectReason").choose("securityDenial");
        if (rejection == "bandwidthReject")
            reject.chosen().field("allowedBandWidth").setInteger(0);
        lock.unlock();
        send(reject, from);
    } else if (message.is("unregistrationRequest")) {
        if (request.has("endpointIdentifier"))
            endpoints_.erase(std::string(request["endpointIdentifier"].text()));
        lock.unlock();
        send(reply("unregistrationConfirm", sequence), from);
    } else if (message.is("admissionRequest")) {
        std::optional<h225::IpAddressPort> destination;
        std::string reason;
        if (!proves(request)) {
            reason = "securityDenial";
        } else if (admissionReject_) {
            reason = *admissionReject_;
        } else if (!endpoints_.count(std::string(request["endpointIdentifier"].text()))) {
            reason = "callerNotRegistered";
        } else if (request["answerCall"].boolean()) {
            destination =
                endpoints_[std::string(request["endpointIdentifier"].text())].signalAddress;
        } else if (request.has("destinationInfo") && request["destinationInfo"].size() > 0) {
            const auto found = findByAlias(h225::aliasToText(request["destinationInfo"].at(0)));
            if (found != endpoints_.end())
                destination = found->second.signalAddress;
            else
                reason = "calledPartyNotRegistered";
        } else if (request.has("destCallSignalAddress")) {
            destination = h225::transportAddressOf(request["destCallSignalAddress"]);
        } else {
            reason = "incompleteAddress";
        }
        if (reason.empty() && admitTo_ && !request["answerCall"].boolean())
            destination = admitTo_;
        lastAdmissionBandwidth = request["bandWidth"].integer();
        if (reason.empty()) {
            lastCall_[std::string(request["endpointIdentifier"].text())] = {
                h225::guidOf(request["conferenceID"]),
                h225::guidOf(request["callIdentifier"]["guid"])};
            lastCallReference_[std::string(request["endpointIdentifier"].text())] = {
                request["callReferenceValue"].integer(), request["answerCall"].boolean()};
            if (traversal_ && !request["answerCall"].boolean()) {
                destination = traversal_->signalAddress();
            } else if (routing_ && !request["answerCall"].boolean()) {
                routeTo_ = destination;
                const auto router = router_->local_endpoint();
                destination =
                    h225::IpAddressPort::parse(router.address().to_string(), router.port());
            }
        }
        asn::Value answerMessage;
        if (!reason.empty()) {
            answerMessage = reply("admissionReject", sequence);
            answerMessage.chosen().field("rejectReason").choose(reason);
        } else {
            answerMessage = reply("admissionConfirm", sequence);
            auto& body = answerMessage.chosen();
            const std::int64_t asked = request["bandWidth"].integer();
            body.field("bandWidth").setInteger(grantLimit > 0 ? std::min<std::int64_t>(asked, grantLimit)
                                                              : asked);
            body.field("callModel").choose(routing_ || traversal_ ? "gatekeeperRouted" : "direct");
            h225::setTransportAddress(body.field("destCallSignalAddress"), *destination);
            if (irrFrequency > 0)
                body.field("irrFrequency").setInteger(irrFrequency.load());
            body.field("willRespondToIRR").setBoolean(false);
            auto& uuies = body.field("uuiesRequested");
            for (const char* name :
                 {"setup", "callProceeding", "connect", "alerting", "information",
                  "releaseComplete", "facility", "progress", "empty"})
                uuies.field(name).setBoolean(false);
        }
        lock.unlock();
        send(answerMessage, from);
    } else if (message.is("disengageRequest")) {
        lock.unlock();
        send(reply("disengageConfirm", sequence), from);
    } else if (message.is("disengageConfirm")) {
        disengageAnswer_ = "DCF";
    } else if (message.is("disengageReject")) {
        disengageAnswer_ = "DRJ " + std::string(request["rejectReason"].choiceName());
    } else if (message.is("infoRequestResponse")) {
        infoResponses_.push_back(message);
    } else if (message.is("bandwidthConfirm")) {
        bandwidthAnswer_ = "BCF " + std::to_string(request["bandWidth"].integer());
    } else if (message.is("bandwidthReject")) {
        bandwidthAnswer_ = "BRJ " + std::string(request["rejectReason"].choiceName()) + " " +
                           std::to_string(request["allowedBandWidth"].integer());
    } else if (message.is("bandwidthRequest")) {
        lastBandwidth = request["bandWidth"].integer();
        if (bandwidthLimit > 0 && lastBandwidth > bandwidthLimit) {
            auto reject = reply("bandwidthReject", sequence);
            reject.chosen().field("rejectReason").choose("insufficientResources");
            reject.chosen().field("allowedBandWidth").setInteger(zoneLeft > 0 ? zoneLeft.load()
                                                                              : bandwidthLimit.load());
            lock.unlock();
            send(reject, from);
            return;
        }
        auto confirm = reply("bandwidthConfirm", sequence);
        confirm.chosen().field("bandWidth").setInteger(
            grantLimit > 0 ? std::min<std::int64_t>(lastBandwidth, grantLimit) : lastBandwidth.load());
        lock.unlock();
        send(confirm, from);
    }
}

} // namespace voip::testutil
