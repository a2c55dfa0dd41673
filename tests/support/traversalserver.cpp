#include "tests/support/traversalserver.h"

#include <fcntl.h>

#include "voip/h225/message.h"
#include "voip/h245/channels.h"
#include "voip/h245/message.h"
#include "voip/h245/traversal.h"
#include "voip/h323/tpktchannel.h"
#include "voip/q931/elements.h"
#include "voip/q931/message.h"

namespace voip::testutil {

namespace {

/// Sockets are not left to the programs the test starts (a listener they inherit would
/// outlive the server, a connection its close).
template <typename Socket> Socket& closeOnExec(Socket& socket)
{
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
    return socket;
}

using voip::h323::TpktChannel;
using udp = asio::ip::udp;

constexpr int Caller = 0;
constexpr int Callee = 1;
constexpr std::uint8_t KeepAlivePayloadType = 127;

h245::MediaAddress mediaAddressOf(const udp::endpoint& endpoint)
{
    h245::MediaAddress media;
    const auto bytes = endpoint.address().to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), media.ip.begin());
    media.port = endpoint.port();
    return media;
}

std::optional<udp::endpoint> endpointOf(const std::optional<h245::MediaAddress>& media)
{
    if (!media || media->ipv6 || media->port == 0)
        return std::nullopt;
    asio::ip::address_v4::bytes_type bytes;
    std::copy(media->ip.begin(), media->ip.begin() + 4, bytes.begin());
    return udp::endpoint(asio::ip::address_v4(bytes), media->port);
}

/// The decoded Q.931 message and its H.225.0 information, or nothing.
struct Signal
{
    q931::Message message;
    asn::Value information;
};

std::optional<Signal> decodeSignal(const std::vector<std::uint8_t>& pdu)
{
    auto message = q931::decodeMessage(pdu);
    if (!message)
        return std::nullopt;
    auto bytes = q931::userUserPdu(*message);
    if (!bytes)
        return std::nullopt;
    auto information = h225::decodeUserInformation(*bytes);
    if (!information)
        return std::nullopt;
    return Signal{std::move(*message), std::move(*information)};
}

std::optional<std::vector<std::uint8_t>> encodeSignal(Signal& signal)
{
    auto encoded = h225::encodeUserInformation(signal.information);
    if (!encoded || !q931::setUserUserPdu(signal.message, *encoded))
        return std::nullopt;
    auto bytes = q931::encodeMessage(signal.message);
    if (!bytes)
        return std::nullopt;
    return std::move(bytes.value());
}

void addMediaTraversalFeature(asn::Value& list, bool multiplexing)
{
    asn::Value& feature = list.append();
    feature.field("id").choose("standard").setInteger(h225::MediaTraversalFeature);
    asn::Value& parameters = feature.field("parameters");
    parameters.append().field("id").choose("standard").setInteger(h225::MediaTraversalServer);
    if (multiplexing)
        parameters.append()
            .field("id")
            .choose("standard")
            .setInteger(h225::SupportTransmitMultiplexedMedia);
}

} // namespace

class TraversalServer::Impl
{
public:
    Impl(Directory& directory, const asio::ip::address& address, TraversalOptions options);
    ~Impl();

    Directory& directory;
    const TraversalOptions options;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
    std::thread thread;

    mutable std::mutex mutex; // guards what the test reads
    std::size_t mediaKeepAlives = 0;
    std::size_t relayedPackets = 0;
    std::size_t startH245Sent = 0;
    std::size_t endedKeepAlives = 0; // of connections closed already
    std::vector<std::vector<std::uint8_t>> answers;
    std::map<std::uint16_t, std::vector<std::vector<std::uint8_t>>> rtpKeepAlives;
    std::vector<std::vector<std::uint8_t>> ackParameters;

    struct Side
    {
        explicit Side(asio::io_context& io)
            : rtp(io)
            , rtcp(io)
        {}
        udp::socket rtp;
        udp::socket rtcp;
        std::optional<udp::endpoint> rtpTo;
        std::optional<udp::endpoint> rtcpTo;
        bool learns = false; ///< an inside endpoint: where it is comes from what it sends
        std::array<std::uint8_t, 2048> rtpBuffer{};
        std::array<std::uint8_t, 2048> rtcpBuffer{};
        udp::endpoint rtpFrom;
        udp::endpoint rtcpFrom;
    };
    /// The relay of one session (or of one channel whose session the master names later).
    struct Proxy
    {
        std::array<std::unique_ptr<Side>, 2> sides;
    };
    struct Leg
    {
        std::shared_ptr<TpktChannel> signal;
        bool traversal = false;
        bool tunnels = true;
        std::shared_ptr<TpktChannel> h245;
        std::unique_ptr<asio::ip::tcp::acceptor> h245Listener;
        std::vector<std::vector<std::uint8_t>> h245Waiting;
    };
    struct Call
    {
        h225::Guid callId{};
        std::uint16_t callReference = 0;
        std::array<Leg, 2> legs;
        std::optional<Signal> setup; ///< until the called party's connection is there
        std::map<unsigned, std::shared_ptr<Proxy>> sessions;
        std::map<std::pair<int, std::int64_t>, std::shared_ptr<Proxy>> channels;
        std::vector<std::shared_ptr<Proxy>> proxies;
        bool connected = false;
        bool ended = false;
    };
    std::vector<std::shared_ptr<Call>> calls; // event loop
    std::map<h225::Guid, std::shared_ptr<Call>> announced;

    h225::IpAddressPort signalAddress() const;
    void accept();
    void firstMessage(const std::shared_ptr<TpktChannel>& channel, std::vector<std::uint8_t> pdu);
    void bind(const std::shared_ptr<Call>& call, int side,
              const std::shared_ptr<TpktChannel>& channel);
    void callOutside(const std::shared_ptr<Call>& call, const Registration& registration);
    void onSignal(const std::shared_ptr<Call>& call, int from, std::vector<std::uint8_t> pdu);
    void relay(const std::shared_ptr<Call>& call, int from, Signal signal);
    void sendH245(const std::shared_ptr<Call>& call, int to, std::vector<std::uint8_t> pdu);
    void startH245(const std::shared_ptr<Call>& call);
    void onH245(const std::shared_ptr<Call>& call, int from, std::vector<std::uint8_t> pdu);
    std::vector<std::uint8_t> rewriteH245(Call& call, int from, std::vector<std::uint8_t> pdu);
    std::shared_ptr<Proxy> proxyFor(Call& call, unsigned session, int from, std::int64_t channel);
    void receive(const std::weak_ptr<Proxy>& proxy, int side, bool rtcp);
    void end(const std::shared_ptr<Call>& call);
    void countKeepAlives(const Leg& leg);
};

TraversalServer::Impl::Impl(Directory& directory, const asio::ip::address& address,
                            TraversalOptions options)
    : directory(directory)
    , options(std::move(options))
    , acceptor(io, asio::ip::tcp::endpoint(address, this->options.port))
{
    closeOnExec(acceptor);
    accept();
    thread = std::thread([this] { io.run(); });
}

TraversalServer::Impl::~Impl()
{
    asio::post(io, [this] {
        for (const auto& call : std::vector(calls))
            end(call);
        acceptor.close();
        io.stop();
    });
    thread.join();
}

h225::IpAddressPort TraversalServer::Impl::signalAddress() const
{
    const auto local = acceptor.local_endpoint();
    return *h225::IpAddressPort::parse(local.address().to_string(), local.port());
}

void TraversalServer::Impl::accept()
{
    acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted)
            return;
        if (!error) {
            auto channel = std::make_shared<TpktChannel>(std::move(closeOnExec(socket)));
            std::weak_ptr<TpktChannel> weak = channel;
            channel->start(
                [this, weak](std::vector<std::uint8_t> pdu) {
                    if (auto channel = weak.lock())
                        firstMessage(channel, std::move(pdu));
                },
                [weak](TpktChannel::Failure, const std::string&) {
                    if (auto channel = weak.lock())
                        channel->close();
                });
        }
        accept();
    });
}

void TraversalServer::Impl::firstMessage(const std::shared_ptr<TpktChannel>& channel,
                                         std::vector<std::uint8_t> pdu)
{
    auto signal = decodeSignal(pdu);
    if (!signal) {
        channel->close();
        return;
    }
    const auto body = h225::bodyName(signal->information);
    const asn::Value& uuie = h225::messageBody(signal->information);
    if (body == "facility") {
        // An inside endpoint answering our announcement: the call's Setup goes to it.
        const auto found = announced.find(h225::guidOf(uuie["callIdentifier"]["guid"]));
        if (found == announced.end()) {
            channel->close();
            return;
        }
        auto call = found->second;
        announced.erase(found);
        {
            std::lock_guard lock(mutex);
            answers.push_back(pdu);
        }
        call->legs[Callee].traversal = true;
        bind(call, Callee, channel);
        relay(call, Caller, std::move(*call->setup));
        call->setup.reset();
        return;
    }
    if (body != "setup" || !uuie.has("destinationAddress") ||
        uuie["destinationAddress"].size() == 0) {
        channel->close();
        return;
    }
    auto call = std::make_shared<Call>();
    call->callId = h225::guidOf(uuie["callIdentifier"]["guid"]);
    call->callReference = signal->message.callReference;
    calls.push_back(call);
    std::string source;
    if (uuie.has("sourceAddress") && uuie["sourceAddress"].size() > 0)
        source = h225::aliasToText(uuie["sourceAddress"].at(0));
    if (const auto caller = directory.find(source))
        call->legs[Caller].traversal = caller->traversal;
    bind(call, Caller, channel);
    const std::string called = h225::aliasToText(uuie["destinationAddress"].at(0));
    const auto registration = directory.find(called);
    call->setup = std::move(*signal);
    if (!registration) {
        end(call);
        return;
    }
    if (!registration->traversal) {
        callOutside(call, *registration);
        return;
    }
    announced[call->callId] = call;
    if (!directory.announce(called, {signalAddress(), call->callId}))
        end(call);
}

void TraversalServer::Impl::bind(const std::shared_ptr<Call>& call, int side,
                                 const std::shared_ptr<TpktChannel>& channel)
{
    call->legs[side].signal = channel;
    std::weak_ptr<Call> weak = call;
    channel->start(
        [this, weak, side](std::vector<std::uint8_t> pdu) {
            if (auto call = weak.lock())
                onSignal(call, side, std::move(pdu));
        },
        [this, weak](TpktChannel::Failure, const std::string&) {
            if (auto call = weak.lock())
                end(call);
        });
}

void TraversalServer::Impl::callOutside(const std::shared_ptr<Call>& call,
                                        const Registration& registration)
{
    auto socket = std::make_shared<asio::ip::tcp::socket>(io);
    socket->open(asio::ip::tcp::v4());
    closeOnExec(*socket);
    const asio::ip::tcp::endpoint target(
        asio::ip::make_address(registration.signalAddress.addressText()),
        registration.signalAddress.port);
    socket->async_connect(target, [this, call, socket](const asio::error_code& error) {
        if (error || call->ended) {
            end(call);
            return;
        }
        bind(call, Callee, std::make_shared<TpktChannel>(std::move(*socket)));
        relay(call, Caller, std::move(*call->setup));
        call->setup.reset();
    });
}

void TraversalServer::Impl::onSignal(const std::shared_ptr<Call>& call, int from,
                                     std::vector<std::uint8_t> pdu)
{
    auto signal = decodeSignal(pdu);
    if (!signal) {
        end(call);
        return;
    }
    relay(call, from, std::move(*signal));
}

void TraversalServer::Impl::relay(const std::shared_ptr<Call>& call, int from, Signal signal)
{
    const int to = 1 - from;
    Leg& target = call->legs[to];
    if (call->ended || !target.signal)
        return;
    asn::Value& pdu = h225::uuPdu(signal.information);
    asn::Value& body = h225::messageBody(signal.information);
    const std::string name(h225::bodyName(signal.information));
    // Media and H.245 go through the server: no fastStart, no H.245 address of the far end.
    for (const char* field : {"fastStart", "h245Address"})
        if (body.type() && body.type()->indexOf(field) >= 0)
            body.remove(field);
    if (name == "setup") {
        h225::setTransportAddress(body.field("sourceCallSignalAddress"), signalAddress());
        if (target.traversal)
            addMediaTraversalFeature(body.field("supportedFeatures"), options.offerMultiplexing);
    } else if (name == "connect" && target.traversal) {
        asn::Value& features = body.field("featureSet");
        features.field("replacementFeatureSet").setBoolean(false);
        addMediaTraversalFeature(features.field("supportedFeatures"), options.offerMultiplexing);
    }
    if (name == "setup")
        call->legs[Caller].tunnels = pdu["h245Tunnelling"].boolean();
    std::vector<std::vector<std::uint8_t>> tunnelled;
    if (pdu.has("h245Control")) {
        for (const auto& element : pdu["h245Control"].elements())
            tunnelled.push_back(
                rewriteH245(*call, from, {element.octets().begin(), element.octets().end()}));
        pdu.remove("h245Control");
    }
    const bool inline245 = target.tunnels && !target.h245 && !target.h245Listener;
    if (inline245 && !tunnelled.empty()) {
        asn::Value& control = pdu.field("h245Control");
        for (const auto& message : tunnelled)
            control.append().setOctets(message);
        tunnelled.clear();
    }
    pdu.field("h245Tunnelling").setBoolean(target.tunnels);
    if (auto bytes = encodeSignal(signal))
        target.signal->send(*bytes);
    for (auto& message : tunnelled)
        sendH245(call, to, std::move(message));
    if (name == "connect") {
        call->connected = true;
        startH245(call);
    }
    if (name == "releaseComplete")
        end(call);
}

void TraversalServer::Impl::sendH245(const std::shared_ptr<Call>& call, int to,
                                     std::vector<std::uint8_t> pdu)
{
    Leg& leg = call->legs[to];
    if (leg.h245) {
        leg.h245->send(pdu);
        return;
    }
    if (!leg.tunnels) {
        leg.h245Waiting.push_back(std::move(pdu));
        return;
    }
    Signal facility;
    facility.message.callReference = call->callReference;
    facility.message.fromDestination = to == Caller;
    facility.message.type = static_cast<std::uint8_t>(q931::MessageType::Facility);
    facility.information = h225::newUserInformation("empty");
    h225::uuPdu(facility.information).field("h245Tunnelling").setBoolean(true);
    h225::uuPdu(facility.information).field("h245Control").append().setOctets(pdu);
    if (auto bytes = encodeSignal(facility))
        leg.signal->send(*bytes);
}

void TraversalServer::Impl::startH245(const std::shared_ptr<Call>& call)
{
    if (options.h245 != TraversalOptions::H245::StartH245)
        return;
    for (int side : {Caller, Callee}) {
        Leg& leg = call->legs[side];
        if (!leg.traversal || !leg.tunnels || leg.h245Listener || !leg.signal)
            continue;
        leg.h245Listener = std::make_unique<asio::ip::tcp::acceptor>(
            io, asio::ip::tcp::endpoint(acceptor.local_endpoint().address(), 0));
        closeOnExec(*leg.h245Listener);
        const auto local = leg.h245Listener->local_endpoint();
        Signal facility;
        facility.message.callReference = call->callReference;
        facility.message.fromDestination = side == Caller;
        facility.message.type = static_cast<std::uint8_t>(q931::MessageType::Facility);
        facility.information = h225::newUserInformation("facility");
        asn::Value& body = h225::messageBody(facility.information);
        body.field("reason").choose("startH245");
        h225::setTransportAddress(
            body.field("h245Address"),
            *h225::IpAddressPort::parse(local.address().to_string(), local.port()));
        h225::setGuid(body.field("callIdentifier").field("guid"), call->callId);
        body.field("multipleCalls").setBoolean(false);
        body.field("maintainConnection").setBoolean(false);
        asn::Value& features = body.field("featureSet");
        features.field("replacementFeatureSet").setBoolean(false);
        addMediaTraversalFeature(features.field("supportedFeatures"), options.offerMultiplexing);
        h225::uuPdu(facility.information).field("h245Tunnelling").setBoolean(false);
        leg.tunnels = false;
        if (auto bytes = encodeSignal(facility))
            leg.signal->send(*bytes);
        {
            std::lock_guard lock(mutex);
            ++startH245Sent;
        }
        std::weak_ptr<Call> weak = call;
        leg.h245Listener->async_accept(
            [this, weak, side](const asio::error_code& error, asio::ip::tcp::socket socket) {
                auto call = weak.lock();
                if (error || !call || call->ended)
                    return;
                Leg& leg = call->legs[side];
                leg.h245 = std::make_shared<TpktChannel>(std::move(closeOnExec(socket)));
                leg.h245->start(
                    [this, weak, side](std::vector<std::uint8_t> pdu) {
                        if (auto call = weak.lock())
                            onH245(call, side, std::move(pdu));
                    },
                    [](TpktChannel::Failure, const std::string&) {});
                for (auto& waiting : std::exchange(leg.h245Waiting, {}))
                    leg.h245->send(waiting);
            });
    }
}

void TraversalServer::Impl::onH245(const std::shared_ptr<Call>& call, int from,
                                   std::vector<std::uint8_t> pdu)
{
    if (!call->ended)
        sendH245(call, 1 - from, rewriteH245(*call, from, std::move(pdu)));
}

std::vector<std::uint8_t> TraversalServer::Impl::rewriteH245(Call& call, int from,
                                                             std::vector<std::uint8_t> pdu)
{
    auto decoded = h245::decodeMessage(pdu);
    if (!decoded)
        return pdu;
    asn::Value& message = *decoded;
    const int to = 1 - from;
    const auto kind = h245::kindOf(message);
    if (!kind)
        return pdu;
    if (kind->name == "openLogicalChannel") {
        asn::Value& olc = h245::messageBody(message);
        asn::Value& multiplex =
            olc.field("forwardLogicalChannelParameters").field("multiplexParameters");
        if (!multiplex.is("h2250LogicalChannelParameters"))
            return pdu;
        asn::Value& h2250 = multiplex.chosen();
        const auto channel = olc["forwardLogicalChannelNumber"].integer();
        auto proxy = proxyFor(call, unsigned(h2250["sessionID"].integer()), from, channel);
        Side& sender = *proxy->sides[from];
        Side& receiver = *proxy->sides[to];
        if (h2250.has("mediaControlChannel")) {
            if (!sender.learns)
                sender.rtcpTo =
                    endpointOf(h245::readTransportAddress(h2250["mediaControlChannel"]));
            h245::setTransportAddress(h2250.field("mediaControlChannel"),
                                      mediaAddressOf(receiver.rtcp.local_endpoint()));
        }
        olc.remove("genericInformation");
        if (call.legs[to].traversal) {
            h245::TraversalParameters parameters;
            if (options.keepAliveChannel)
                parameters.keepAliveChannel = mediaAddressOf(receiver.rtp.local_endpoint());
            parameters.keepAliveInterval = options.keepAliveInterval;
            h245::addMediaTraversal(olc.field("genericInformation"),
                                    h245::MediaTraversal{parameters, false});
        }
    } else if (kind->name == "openLogicalChannelAck") {
        asn::Value& ack = h245::messageBody(message);
        const auto found = call.channels.find({to, ack["forwardLogicalChannelNumber"].integer()});
        if (found == call.channels.end())
            return pdu;
        auto proxy = found->second;
        asn::Value& multiplex = ack.field("forwardMultiplexAckParameters");
        if (multiplex.is("h2250LogicalChannelAckParameters")) {
            asn::Value& h2250 = multiplex.chosen();
            Side& receiver = *proxy->sides[from];
            Side& sender = *proxy->sides[to];
            if (!receiver.learns) {
                if (h2250.has("mediaChannel"))
                    receiver.rtpTo = endpointOf(h245::readTransportAddress(h2250["mediaChannel"]));
                if (h2250.has("mediaControlChannel"))
                    receiver.rtcpTo =
                        endpointOf(h245::readTransportAddress(h2250["mediaControlChannel"]));
            }
            h245::setTransportAddress(h2250.field("mediaChannel"),
                                      mediaAddressOf(sender.rtp.local_endpoint()));
            h245::setTransportAddress(h2250.field("mediaControlChannel"),
                                      mediaAddressOf(sender.rtcp.local_endpoint()));
            if (h2250.has("sessionID"))
                call.sessions.try_emplace(unsigned(h2250["sessionID"].integer()), proxy);
        }
        if (ack.has("genericInformation")) {
            if (auto traversal = h245::readMediaTraversal(ack["genericInformation"]);
                traversal && traversal->parameters) {
                if (auto octets = h245::encodeTraversalParameters(*traversal->parameters)) {
                    std::lock_guard lock(mutex);
                    ackParameters.push_back(*octets);
                }
            }
            ack.remove("genericInformation");
        }
    } else {
        return pdu;
    }
    auto encoded = h245::encodeMessage(message);
    return encoded ? *encoded : pdu;
}

std::shared_ptr<TraversalServer::Impl::Proxy>
TraversalServer::Impl::proxyFor(Call& call, unsigned session, int from, std::int64_t channel)
{
    std::shared_ptr<Proxy> proxy;
    if (session != 0) {
        if (auto found = call.sessions.find(session); found != call.sessions.end())
            proxy = found->second;
    }
    if (!proxy) {
        proxy = std::make_shared<Proxy>();
        const auto address = acceptor.local_endpoint().address();
        for (int side : {Caller, Callee}) {
            auto made = std::make_unique<Side>(io);
            made->learns = call.legs[side].traversal;
            // An even RTP port with RTCP on the next one: keep-alives find RTCP at port + 1.
            for (int attempt = 0; attempt < 64; ++attempt) {
                asio::error_code error;
                made->rtp = udp::socket(io);
                made->rtcp = udp::socket(io);
                made->rtp.open(udp::v4());
                closeOnExec(made->rtp);
                made->rtp.bind({address, 0}, error);
                const auto port = made->rtp.local_endpoint().port();
                if (error || port % 2 != 0 || port == 65535)
                    continue;
                made->rtcp.open(udp::v4());
                closeOnExec(made->rtcp);
                made->rtcp.bind({address, std::uint16_t(port + 1)}, error);
                if (!error)
                    break;
            }
            proxy->sides[side] = std::move(made);
        }
        call.proxies.push_back(proxy);
        if (session != 0)
            call.sessions[session] = proxy;
        for (int side : {Caller, Callee}) {
            receive(proxy, side, false);
            receive(proxy, side, true);
        }
    }
    call.channels[{from, channel}] = proxy;
    return proxy;
}

void TraversalServer::Impl::receive(const std::weak_ptr<Proxy>& weak, int side, bool rtcp)
{
    auto proxy = weak.lock();
    if (!proxy)
        return;
    Side& here = *proxy->sides[side];
    auto& socket = rtcp ? here.rtcp : here.rtp;
    auto& buffer = rtcp ? here.rtcpBuffer : here.rtpBuffer;
    auto& from = rtcp ? here.rtcpFrom : here.rtpFrom;
    socket.async_receive_from(
        asio::buffer(buffer), from,
        [this, weak, side, rtcp](const asio::error_code& error, std::size_t size) {
            auto proxy = weak.lock();
            if (error == asio::error::operation_aborted || !proxy)
                return;
            Side& here = *proxy->sides[side];
            Side& there = *proxy->sides[1 - side];
            if (!error) {
                const auto& buffer = rtcp ? here.rtcpBuffer : here.rtpBuffer;
                const auto& from = rtcp ? here.rtcpFrom : here.rtpFrom;
                if (here.learns)
                    (rtcp ? here.rtcpTo : here.rtpTo) = from;
                const bool keepAlive =
                    rtcp ? size == 28 && buffer[1] == 200 &&
                               std::all_of(buffer.begin() + 4, buffer.begin() + 8,
                                           [](std::uint8_t octet) { return octet == 0; })
                         : size == 12 && (buffer[1] & 0x7F) == KeepAlivePayloadType;
                std::lock_guard lock(mutex);
                if (keepAlive) {
                    ++mediaKeepAlives;
                    if (!rtcp)
                        rtpKeepAlives[here.rtp.local_endpoint().port()].emplace_back(
                            buffer.begin(), buffer.begin() + long(size));
                } else if (const auto& to = rtcp ? there.rtcpTo : there.rtpTo) {
                    asio::error_code ignored;
                    (rtcp ? there.rtcp : there.rtp)
                        .send_to(asio::buffer(buffer.data(), size), *to, 0, ignored);
                    ++relayedPackets;
                }
            }
            receive(weak, side, rtcp);
        });
}

void TraversalServer::Impl::countKeepAlives(const Leg& leg)
{
    std::lock_guard lock(mutex);
    if (leg.signal)
        endedKeepAlives += leg.signal->keepAlivesReceived();
}

void TraversalServer::Impl::end(const std::shared_ptr<Call>& call)
{
    if (call->ended)
        return;
    call->ended = true;
    for (auto& leg : call->legs) {
        countKeepAlives(leg);
        if (leg.signal)
            leg.signal->closeAfterSending();
        if (leg.h245)
            leg.h245->closeAfterSending();
        leg.h245Listener.reset();
    }
    for (auto& proxy : call->proxies)
        for (auto& side : proxy->sides) {
            asio::error_code ignored;
            side->rtp.close(ignored);
            side->rtcp.close(ignored);
        }
    call->proxies.clear();
    call->sessions.clear();
    call->channels.clear();
    announced.erase(call->callId);
    std::erase(calls, call);
}

TraversalServer::TraversalServer(Directory& directory, const asio::ip::address& address,
                                 TraversalOptions options)
    : impl_(std::make_unique<Impl>(directory, address, std::move(options)))
{}

TraversalServer::~TraversalServer() = default;

h225::IpAddressPort TraversalServer::signalAddress() const
{
    return impl_->signalAddress();
}

std::size_t TraversalServer::mediaKeepAlives() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->mediaKeepAlives;
}

std::size_t TraversalServer::relayedPackets() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->relayedPackets;
}

std::size_t TraversalServer::startH245Sent() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->startH245Sent;
}

std::size_t TraversalServer::signallingKeepAlives() const
{
    std::promise<std::size_t> live;
    asio::post(impl_->io, [this, &live] {
        std::size_t count = 0;
        for (const auto& call : impl_->calls)
            for (const auto& leg : call->legs)
                if (leg.signal)
                    count += leg.signal->keepAlivesReceived();
        live.set_value(count);
    });
    const std::size_t now = live.get_future().get();
    std::lock_guard lock(impl_->mutex);
    return now + impl_->endedKeepAlives;
}

std::vector<std::vector<std::uint8_t>> TraversalServer::announcementAnswers() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->answers;
}

std::map<std::uint16_t, std::vector<std::vector<std::uint8_t>>>
TraversalServer::rtpKeepAlives() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->rtpKeepAlives;
}

std::vector<std::vector<std::uint8_t>> TraversalServer::ackParameters() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->ackParameters;
}

std::size_t TraversalServer::calls() const
{
    std::promise<std::size_t> count;
    asio::post(impl_->io, [this, &count] { count.set_value(impl_->calls.size()); });
    return count.get_future().get();
}

} // namespace voip::testutil
