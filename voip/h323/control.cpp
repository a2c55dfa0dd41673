// H.245 control of an H.323 connection: the messages received, handed to the procedure
// each belongs to (master/slave determination, capability exchange, round trip, logical
// channels, presentation, indications), and the procedures' link to the connection.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h245/h239.h"
#include "voip/h323/capabilitymap.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

namespace {

constexpr std::chrono::milliseconds EndSessionGrace{1000};

} // namespace

void Connection::runAfter(asio::steady_timer& timer, std::chrono::milliseconds after,
                          std::function<void(Connection&)> job)
{
    if (after.count() <= 0)
        return;
    timer.expires_after(after);
    std::weak_ptr<Connection> weak = self();
    timer.async_wait([weak, job = std::move(job)](const asio::error_code& error) {
        auto connection = weak.lock();
        if (error || !connection || connection->released_)
            return;
        job(*connection);
    });
}

void Connection::startTimer(asio::steady_timer& timer, std::chrono::milliseconds after,
                            EndReason reason, const char* what)
{
    runAfter(timer, after, [reason, what](Connection& connection) {
        VOIP_TRACE(1, "H323\tNo " << what << " in time on " << connection.describe());
        connection.failCall(reason);
    });
}

// --- received H.245 ---

void Connection::handleH245Pdu(std::span<const std::uint8_t> pdu)
{
    if (released_ || remoteReleased_)
        return;
    auto message = h245::decodeMessage(pdu);
    if (!message) {
        protocolFailure(CauseInvalidMessage, "bad H.245 message: " + message.error().toString());
        return;
    }
    // Answers to a tunnelled message go in the signalling message that flushes at the end
    // of the one being handled; on the H.245 connection they go at once.
    handleH245(*message);
}

void Connection::handleH245(const asn::Value& message)
{
    auto kind = h245::kindOf(message);
    if (!kind) {
        VOIP_TRACE(3, "H323\tIgnoring an H.245 message of a later version on " << describe());
        return;
    }
    VOIP_TRACE(3, "H323\tH.245 " << kind->name << " on " << describe());
    using h245::MessageId;
    switch (kind->id) {
    case MessageId::MasterSlaveDetermination:
        return masterSlave_->onRequest(message);
    case MessageId::MasterSlaveDeterminationAck:
        return masterSlave_->onAck(message);
    case MessageId::MasterSlaveDeterminationReject:
        return masterSlave_->onReject();
    case MessageId::TerminalCapabilitySet:
        return capabilities_->onSet(message);
    case MessageId::TerminalCapabilitySetAck:
        return capabilities_->onAck(message);
    case MessageId::TerminalCapabilitySetReject:
        return capabilities_->onReject();
    case MessageId::RoundTripDelayRequest:
        return roundTrip_->onRequest(message);
    case MessageId::RoundTripDelayResponse:
        return roundTrip_->onResponse(message);
    case MessageId::OpenLogicalChannel:
        return channels_->onOpen(message);
    case MessageId::OpenLogicalChannelAck:
        return channels_->onOpenAck(message);
    case MessageId::OpenLogicalChannelReject:
        return channels_->onOpenReject(message);
    case MessageId::CloseLogicalChannel:
        return channels_->onClose(message);
    case MessageId::CloseLogicalChannelAck:
        return; // the channel left our list when we sent the close
    case MessageId::RequestChannelClose:
        return channels_->onRequestClose(message);
    case MessageId::GenericRequest:
    case MessageId::GenericResponse:
    case MessageId::GenericCommand:
    case MessageId::GenericIndication:
        if (h245::isH239Message(message))
            return handleH239(message);
        break;
    case MessageId::EndSessionCommand:
        return handleEndSession();
    case MessageId::MiscellaneousCommand:
        if (auto command = h245::readMiscellaneousCommand(message);
            command && command->type == f245::videoFastUpdatePicture)
            OnVideoFastUpdatePicture(command->logicalChannel);
        else if (auto update = h245::readEncryptionUpdate(message))
            encryption_->onUpdate(*update, masterSlave_->master());
        return;
    case MessageId::FlowControlCommand:
        if (auto flow = h245::readFlowControlCommand(message))
            bandwidth_->onFlowControl(*flow);
        return;
    case MessageId::UserInput:
        return userInput_->onIndication(message);
    case MessageId::MiscellaneousIndication:
        if (auto indication = h245::readMiscellaneousIndication(message))
            OnMiscellaneousIndication(*indication);
        return;
    case MessageId::Other:
        break;
    }
    // A request we do not act on is answered as not understood; anything else is let be.
    if (kind->category == h245::MessageCategory::Request) {
        auto answer = h245::buildFunctionNotUnderstood(message);
        if (answer.present())
            queueH245(answer);
    }
}

void Connection::handleEndSession()
{
    endSessionReceived_ = true;
    // The ReleaseComplete normally follows at once and tells the cause; clear as a
    // normal end when it does not come.
    startTimer(signalTimer_, EndSessionGrace, EndReason::RemoteUser, "ReleaseComplete");
}

// --- capability exchange and master/slave determination ---

Connection::LinkTimer::LinkTimer(Connection& connection, std::function<void()> job)
    : connection_(connection)
    , timer_(connection.io_)
    , job_(std::make_shared<std::function<void()>>(std::move(job)))
{
    connection_.linkTimers_.push_back(this);
}

Connection::LinkTimer::~LinkTimer()
{
    std::erase(connection_.linkTimers_, this);
}

void Connection::LinkTimer::start(std::chrono::milliseconds after)
{
    // The job is only run for a connection not released, and a timer not destroyed.
    connection_.runAfter(timer_, after, [job = std::weak_ptr(job_)](Connection& connection) {
        if (auto run = job.lock()) {
            (*run)();
            connection.flushTunnelled();
        }
    });
}

std::unique_ptr<ControlTimer> Connection::Link::timer(std::function<void()> job)
{
    return std::make_unique<LinkTimer>(connection_, std::move(job));
}

void Connection::sendCapabilitySet()
{
    // A caller's security entries wait for the far end's half of the key agreement.
    if (encryption_->holdCapabilities())
        return;
    auto set = capabilitySetOfFormats(mediaFormatsToOffer(), 0, endpoint_.h264Receive());
    set.offerEncryption = encryption_->agreed();
    capabilities_->offer(set);
}

bool Connection::renewMediaKey(std::uint16_t number)
{
    if (isReleased())
        return false;
    onNetwork([this, number] {
        if (!released_ && encryption_->renewKey(number, masterSlave_->master()))
            flushTunnelled();
    });
    return true;
}

void Connection::capabilitiesReceived(bool changed)
{
    if (encryption_->refusesCapabilities(capabilities_->remote())) {
        VOIP_TRACE(2, "H323\tCleared: the far end encrypts none of our media on " << describe());
        failCall(EndReason::SecurityDenial);
        return;
    }
    if (changed && channels_->started())
        channels_->followNewCapabilities();
    checkReadyForChannels();
}

void Connection::restartH245Timers()
{
    if (!h245Started_)
        return;
    capabilities_->transportReady();
    masterSlave_->transportReady();
}

void Connection::checkReadyForChannels()
{
    if (channels_->started() || !capabilities_->acknowledged() || !capabilities_->received() ||
        !masterSlave_->decided())
        return;
    h245Complete_ = true;
    channels_->start();
    sendHeldRequests();
}

} // namespace voip::h323
