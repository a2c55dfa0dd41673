#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "voip/core/connection.h"
#include "voip/core/endreason.h"
#include "voip/media/mediaformat.h"

namespace voip {

class Call;
class Manager;

/// One kind of call leg, registered with the manager under a prefix ("h323", "pc"):
/// makes the connections of its protocol or device.  Protocol endpoints derive from it.
/// Endpoints live as long as their manager.  Members may be called from any thread;
/// `mutex_` guards the names.
///
/// Outgoing legs are made through makeConnection() when a call is routed here.  A call
/// arriving from the network starts in the endpoint itself:
///
///     auto call = manager().createCall();             // null while shutting down
///     auto leg = std::make_shared<MyConnection>(call, *this, callerAddress);
///     leg->setRemoteParty(callerName, callerAddress);
///     leg->setCalledPartyAddress(dialledAlias);        // routed as "<prefix>:<alias>"
///     call->startIncoming(leg);                        // OnIncomingConnection, ...
///
/// after which the leg reports progress (release, user input) through Connection.
class EndPoint
{
public:
    /// Takes the manager's default user and display names.
    EndPoint(Manager& manager, std::string prefix);
    virtual ~EndPoint();
    EndPoint(const EndPoint&) = delete;
    EndPoint& operator=(const EndPoint&) = delete;

    Manager& manager() const { return manager_; }
    const std::string& prefix() const { return prefix_; }

    /// Makes a connection of this endpoint for `call` to `address` (the part after the
    /// prefix); null when the address cannot be handled.  Called on the call's thread
    /// (routing) or by the endpoint itself for an incoming call.
    virtual std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                                       const std::string& address,
                                                       const StringOptions& options) = 0;

    /// The media formats this endpoint can handle; default: every registered format.
    virtual MediaFormatList mediaFormats() const;
    /// mediaFormats(), ordered and masked by the manager: what a connection offers.
    MediaFormatList mediaFormatsToOffer() const;

    /// An incoming call asks to be answered; default: the manager's OnAnswerCall.
    virtual AnswerCallResponse OnAnswerCall(Connection& connection, const std::string& caller);

    /// Answers the call `token` through this endpoint's leg of it.  False when there is
    /// no such call, it has no leg of this endpoint, or the leg does not wait for an answer.
    bool acceptIncomingCall(const std::string& token);
    /// Refuses the call `token` through this endpoint's leg of it with `reason`.
    bool rejectIncomingCall(const std::string& token, EndReason reason = EndReason::AnswerDenied);

    std::string userName() const;
    std::string displayName() const;
    void setUserName(std::string name);
    void setDisplayName(std::string name);

    /// Called by the manager when it shuts down, after every call has cleared: stop
    /// listeners and threads.  Default: nothing.
    virtual void shutDown() {}

private:
    Manager& manager_;
    const std::string prefix_;
    mutable std::mutex mutex_; // guards userName_, displayName_
    std::string userName_;
    std::string displayName_;
};

} // namespace voip
