#include "tests/voip/h323/rawpeer.h"

#include <poll.h>
#include <sys/socket.h>

#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/q931/elements.h"
#include "voip/h245/message.h"
#include "voip/q931/tpkt.h"

namespace voip::h323::test {

RawPeer::RawPeer()
    : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
    , socket_(io_)
{
    port_ = acceptor_.local_endpoint().port();
}

bool RawPeer::accept(std::chrono::milliseconds timeout)
{
    acceptor_.non_blocking(true);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        asio::error_code error;
        acceptor_.accept(socket_, error);
        if (!error) {
            socket_.non_blocking(false);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

asio::ip::tcp::endpoint RawPeer::remoteEndpoint() const
{
    asio::error_code error;
    return socket_.remote_endpoint(error);
}

bool RawPeer::connect(std::uint16_t port)
{
    asio::error_code error;
    if (socket_.is_open())
        socket_.close(error);
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), error);
    return !error;
}

// Reads wait by polling up to a deadline: asio's blocking read would wait on past a
// receive timeout.
bool RawPeer::readableBy(Deadline deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 && waitReadable(left);
}

bool RawPeer::readAll(std::span<std::uint8_t> buffer, Deadline deadline)
{
    for (std::size_t done = 0; done < buffer.size();) {
        if (!readableBy(deadline))
            return false;
        asio::error_code error;
        done += socket_.read_some(asio::buffer(buffer.data() + done, buffer.size() - done), error);
        if (error)
            return false;
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> RawPeer::readPduBy(Deadline deadline)
{
    std::array<std::uint8_t, 4> header{};
    if (!readAll(header, deadline))
        return std::nullopt;
    const std::size_t length = (std::size_t{header[2]} << 8) | header[3];
    if (header[0] != 3 || length < 4)
        return std::nullopt;
    std::vector<std::uint8_t> pdu(length - 4);
    if (!readAll(pdu, deadline))
        return std::nullopt;
    return pdu;
}

std::optional<std::vector<std::uint8_t>> RawPeer::readPdu(std::chrono::milliseconds timeout)
{
    return readPduBy(std::chrono::steady_clock::now() + timeout);
}

bool RawPeer::waitReadable(std::chrono::milliseconds timeout)
{
    pollfd entry{};
    entry.fd = socket_.native_handle();
    entry.events = POLLIN;
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

std::optional<q931::Message> RawPeer::readUntil(q931::MessageType type,
                                                std::chrono::milliseconds timeout)
{
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    while (auto pdu = readPduBy(deadline)) {
        auto message = q931::decodeMessage(*pdu);
        if (message && message->messageType() == type)
            return *message;
    }
    return std::nullopt;
}

bool RawPeer::waitClosed(std::chrono::milliseconds timeout)
{
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    while (readableBy(deadline)) {
        std::array<std::uint8_t, 512> buffer{};
        asio::error_code error;
        socket_.read_some(asio::buffer(buffer), error);
        if (error)
            return true; // end of file, reset or worse: closed either way
    }
    return false;
}

bool RawPeer::sendRaw(const std::vector<std::uint8_t>& bytes)
{
    asio::error_code error;
    asio::write(socket_, asio::buffer(bytes), error);
    return !error;
}

bool RawPeer::sendPdu(const std::vector<std::uint8_t>& pdu)
{
    auto framed = q931::tpktFrame(pdu);
    return framed && sendRaw(*framed);
}

bool RawPeer::sendAnswer(const q931::Message& setup, q931::MessageType type,
                         const asn::Value& information)
{
    return sendMessage(setup.callReference, true, type, information);
}

bool RawPeer::sendMessage(std::uint16_t callReference, bool fromDestination,
                          q931::MessageType type, const asn::Value& information,
                          const std::vector<q931::InformationElement>& extra)
{
    q931::Message message;
    message.callReference = callReference;
    message.fromDestination = fromDestination;
    message.type = static_cast<std::uint8_t>(type);
    for (const auto& element : extra)
        message.set(element.id, element.contents);
    auto encoded = h225::encodeUserInformation(information);
    if (!encoded || !q931::setUserUserPdu(message, *encoded))
        return false;
    auto bytes = q931::encodeMessage(message);
    return bytes && sendPdu(*bytes);
}

bool RawPeer::sendTunnelled(std::uint16_t callReference, bool fromDestination,
                            const std::vector<asn::Value>& messages)
{
    asn::Value information = h225::newUserInformation("empty");
    h225::uuPdu(information).field("h245Tunnelling").setBoolean(true);
    asn::Value& control = h225::uuPdu(information).field("h245Control");
    for (const auto& message : messages) {
        auto encoded = h245::encodeMessage(message);
        if (!encoded)
            return false;
        control.append().setOctets(*encoded);
    }
    return sendMessage(callReference, fromDestination, q931::MessageType::Facility, information);
}

void RawPeer::reset()
{
    asio::error_code error;
    socket_.set_option(asio::socket_base::linger(true, 0), error);
    socket_.close(error);
}

void RawPeer::close()
{
    asio::error_code error;
    socket_.close(error);
}

asn::Value connectFor(const q931::Message& setup, bool tunnelling)
{
    asn::Value information = h225::newUserInformation("connect");
    auto received = q931::userUserPdu(setup);
    asn::Value setupBody;
    if (received) {
        if (auto decoded = h225::decodeUserInformation(*received))
            setupBody = h225::messageBody(*decoded);
    }
    asn::Value& body = h225::messageBody(information);
    h225::setEndpointType(body.field("destinationInfo"));
    h225::setGuid(body.field("conferenceID"), h225::guidOf(setupBody["conferenceID"]));
    h225::setGuid(body.field("callIdentifier").field("guid"),
                  h225::guidOf(setupBody["callIdentifier"]["guid"]));
    body.field("multipleCalls").setBoolean(false);
    body.field("maintainConnection").setBoolean(false);
    h225::uuPdu(information).field("h245Tunnelling").setBoolean(tunnelling);
    return information;
}

std::vector<std::uint8_t> sampleSetup(std::uint16_t callReference)
{
    asn::Value information = h225::newUserInformation("setup");
    asn::Value& setup = h225::messageBody(information);
    h225::setEndpointType(setup.field("sourceInfo"));
    h225::setAlias(setup.field("sourceAddress").append(), "fuzzer", h225::AliasKind::H323Id);
    setup.field("activeMC").setBoolean(false);
    h225::setGuid(setup.field("conferenceID"), h225::newGuid());
    setup.field("conferenceGoal").choose("create");
    setup.field("callType").choose("pointToPoint");
    h225::setGuid(setup.field("callIdentifier").field("guid"), h225::newGuid());
    setup.field("mediaWaitForConnect").setBoolean(false);
    setup.field("canOverlapSend").setBoolean(false);
    setup.field("multipleCalls").setBoolean(false);
    setup.field("maintainConnection").setBoolean(false);
    h225::uuPdu(information).field("h245Tunnelling").setBoolean(true);
    q931::Message message;
    message.callReference = callReference;
    message.type = static_cast<std::uint8_t>(q931::MessageType::Setup);
    q931::BearerCapability bearer;
    message.set(q931::ie::BearerCapability, q931::encodeBearerCapability(bearer));
    if (auto display = q931::encodeIa5Text("Fuzzer"))
        message.set(q931::ie::Display, *display);
    auto encoded = h225::encodeUserInformation(information);
    if (encoded)
        q931::setUserUserPdu(message, *encoded);
    auto bytes = q931::encodeMessage(message);
    return bytes ? *bytes : std::vector<std::uint8_t>{};
}

} // namespace voip::h323::test
