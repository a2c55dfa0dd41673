// The calls a traversal gatekeeper announces: we connect out to it (the NAT lets nothing
// in), say which call the connection is for, and take the Setup that follows.

#include "voip/h323/endpoint.h"

#include "voip/base/trace.h"
#include "voip/h225/message.h"
#include "voip/h323/fields.h"
#include "voip/h323/tpktchannel.h"
#include "voip/q931/elements.h"
#include "voip/q931/message.h"

namespace voip::h323 {

namespace {

/// The first message on a connection opened for an announced call: a Facility naming the
/// call, with the dummy-like call reference 0 of the originating side, as gatekeepers
/// expect it.
std::optional<std::vector<std::uint8_t>> announcedCallFacility(const h225::Guid& callId)
{
    asn::Value information = h225::newUserInformation(f225::facility);
    if (!information.present())
        return std::nullopt;
    asn::Value& body = h225::messageBody(information);
    body.field(f225::reason).choose(f225::undefinedReason);
    h225::setGuid(body.field(f225::callIdentifier).field(f225::guid), callId);
    body.field(f225::multipleCalls).setBoolean(false);
    body.field(f225::maintainConnection).setBoolean(false);
    h225::uuPdu(information).field(f225::h245Tunnelling).setBoolean(true);
    // Extension bit-maps end at their last addition present, as traversal endpoints
    // encode this message (both forms are valid PER; this is the one gatekeepers see).
    body.setDecodedAdditionCount(1);
    h225::uuPdu(information).setDecodedAdditionCount(1);
    auto encoded = h225::encodeUserInformation(information);
    if (!encoded)
        return std::nullopt;
    q931::Message message;
    message.callReference = 0;
    message.fromDestination = false;
    message.type = static_cast<std::uint8_t>(q931::MessageType::Facility);
    message.set(q931::ie::Facility, {});
    if (!q931::setUserUserPdu(message, *encoded))
        return std::nullopt;
    auto bytes = q931::encodeMessage(message);
    if (!bytes)
        return std::nullopt;
    return std::move(bytes.value());
}

} // namespace

void EndPoint::answerIndicatedCall(const h225::IncomingCallIndication& indication)
{
    if (stopped_)
        return;
    asio::post(io_, [this, indication] {
        asio::error_code error;
        const auto address =
            asio::ip::make_address(indication.callSignallingAddress.addressText(), error);
        if (error || stopped_) {
            ++unreachedIndications_;
            return;
        }
        const asio::ip::tcp::endpoint target(address, indication.callSignallingAddress.port);
        auto socket = std::make_shared<asio::ip::tcp::socket>(io_);
        auto timer = std::make_shared<asio::steady_timer>(io_, timers().connect);
        auto settled = std::make_shared<bool>(false);
        // A gatekeeper that never answers is given up like any far end.
        timer->async_wait([socket, settled](const asio::error_code& error) {
            if (error || *settled)
                return;
            *settled = true;
            asio::error_code ignored;
            socket->close(ignored);
        });
        socket->async_connect(target, [this, socket, timer, settled, target,
                                       callId = indication.callId](const asio::error_code& error) {
            const bool timedOut = *settled;
            *settled = true;
            timer->cancel();
            if (error || timedOut) {
                ++unreachedIndications_;
                VOIP_TRACE(1, "H323\tThe gatekeeper at "
                                  << target << " announced call " << h225::guidText(callId)
                                  << " but cannot be reached: "
                                  << (timedOut ? std::string("no answer") : error.message()));
                return;
            }
            auto channel = std::make_shared<TpktChannel>(std::move(*socket));
            auto facility = announcedCallFacility(callId);
            if (!facility || !channel->send(*facility)) {
                channel->close();
                return;
            }
            VOIP_TRACE(2, "H323\tConnected to " << target << " for announced call "
                                                << h225::guidText(callId));
            awaitSetup(channel, {}, true);
        });
    });
}

} // namespace voip::h323
