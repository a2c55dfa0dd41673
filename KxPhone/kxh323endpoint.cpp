#include "KxPhone/kxh323endpoint.h"

#include <iostream>

#include "KxPhone/kxmanager.h"
#include "voip/base/trace.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/h323/dialaddress.h"

using voip::h323::Direction;

KxH323EndPoint::KxH323EndPoint(KxManager& manager, const std::string& address, std::uint16_t port)
    : voip::h323::EndPoint(manager)
    , manager_(manager)
{
    // Digits, "." and "@" from the dialpad go as one string; calls start fast and keep
    // H.245 inside the call signalling unless the far end will not.
    setUserInputMode(voip::h323::UserInputMode::Alphanumeric);
    setFastStart(true);
    setH245Tunnelling(true);
    // A far end that stops answering mid-call is found by the round-trip check, and the
    // call ends by timer instead of hanging on.
    auto limits = timers();
    limits.roundTripInterval = std::chrono::seconds(30);
    setTimers(limits);
    if (!startListener(address, port))
        std::cerr << "H.323 failed to start!" << std::endl;
    resetBandwidth();
    std::cout << "Initial Bandwidth Rx: " << initialBandwidth(Direction::Receive) << std::endl;
    std::cout << "Initial Bandwidth Tx: " << initialBandwidth(Direction::Transmit) << std::endl;
}

void KxH323EndPoint::resetBandwidth()
{
    setInitialBandwidth(Direction::Transmit, InitialBandwidth);
    setInitialBandwidth(Direction::Receive, InitialBandwidth);
}

std::shared_ptr<voip::h323::Connection>
KxH323EndPoint::createConnection(const std::shared_ptr<voip::Call>& call, const std::string& address,
                                 const voip::StringOptions& options,
                                 const voip::q931::Message* setup)
{
    return std::make_shared<KxH323Connection>(call, *this, address, options, setup != nullptr);
}

bool KxH323EndPoint::OnConnectionForwarded(voip::h323::Connection&, const std::string& forwardParty,
                                           const voip::q931::Message&)
{
    VOIP_TRACE(1, "H323\tQueue forward to " << forwardParty);
    manager_.setForwardAddress(QString::fromStdString(forwardParty));
    // This leg ends; the manager dials the target once the call has cleared.
    return true;
}

KxH323Connection::KxH323Connection(const std::shared_ptr<voip::Call>& call,
                                   KxH323EndPoint& endpoint, std::string address,
                                   voip::StringOptions options, bool incoming)
    : voip::h323::Connection(call, endpoint, std::move(address), std::move(options), incoming)
    , kxEndpoint_(endpoint)
{
    std::cout << "Created H.323 Connection: " << describe() << std::endl;
    std::cout << "Available Rx: " << bandwidthAvailable(Direction::Receive) << std::endl;
    std::cout << "Available Tx: " << bandwidthAvailable(Direction::Transmit) << std::endl;
}

bool KxH323Connection::OnH239PresentationRequest(unsigned channel, unsigned symmetryBreaking,
                                                 unsigned terminalLabel)
{
    presentationChannel_ = channel;
    return voip::h323::Connection::OnH239PresentationRequest(channel, symmetryBreaking,
                                                             terminalLabel);
}

bool KxH323Connection::OnMiscellaneousIndication(const voip::h245::ChannelEvent& indication)
{
    if (indication.logicalChannel == presentationChannel_.load() && presentationChannel_ != 0) {
        if (indication.type == "logicalChannelActive")
            kxEndpoint_.kxManager().OnH239Active();
        else if (indication.type == "logicalChannelInactive")
            kxEndpoint_.kxManager().OnH239InActive();
    }
    return voip::h323::Connection::OnMiscellaneousIndication(indication);
}

void KxH323Connection::OnIncomingBearerCapability(const voip::q931::Message&)
{
    std::cout << "Set Incoming Bearer Caps!" << std::endl;
}
