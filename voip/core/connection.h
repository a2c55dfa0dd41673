#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "voip/core/endreason.h"
#include "voip/media/mediaformat.h"
#include "voip/media/mediastream.h"

namespace voip {

class Call;
class EndPoint;
class Manager;

/// Options given with a connection or a call, by name (e.g. the dialled alias).
using StringOptions = std::map<std::string, std::string>;

/// What the application says to an incoming call.
enum class AnswerCallResponse
{
    AnswerNow, ///< answer at once
    Deny,      ///< clear the call with AnswerDenied
    Pending,   ///< the local side decides later (acceptIncoming / rejectIncoming)
};

/// What happens to presentation (content video: H.239 in H.323) in a call.
enum class PresentationEvent
{
    RemoteStarted, ///< the far end presents; its content arrives on a stream of its own
    RemoteStopped,
    LocalStarted, ///< we hold the token and send our content
    LocalRefused, ///< the far end refused the token, did not answer, or took it first
    LocalStopped, ///< we stopped presenting, or the far end took the token over
};

/// "remote-started", "remote-stopped", "local-started", "local-refused", "local-stopped".
std::string_view presentationEventName(PresentationEvent event);

/// One leg of a call: the signalling and media of one endpoint for this call.  A network
/// connection (H.323) talks to the far end; a local connection (the PC sound side)
/// stands for this terminal's user.  Protocol endpoints derive from this class.
///
/// Threads: derived protocol code reports events (onAlerting, onConnected, release, user
/// input) from its own threads; the base hands them to the call's thread, where the
/// call's progress and the manager's callbacks run.  `mutex_` guards the phase, the party
/// texts, the end reason and the stream list; it is never held while a callback or a
/// virtual of a derived class runs.  Lock order: Call::mutex_, then Connection::mutex_,
/// then a MediaStream's own lock.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    enum class Phase
    {
        Setup,       ///< created, signalling under way
        Alerting,    ///< the called side rings
        Connected,   ///< answered
        Established, ///< every leg of the call is connected
        Releasing,   ///< being cleared
        Released,    ///< cleared; nothing more happens
    };

    Connection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
               StringOptions options = {});
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// The call; null once the call object is gone.
    std::shared_ptr<Call> call() const { return call_.lock(); }
    EndPoint& endpoint() const { return endpoint_; }
    Manager& manager() const;
    const std::string& callToken() const { return callToken_; }

    /// True for a connection that talks to a far end over the network (H.323); false for
    /// the local side (the PC sound endpoint, test endpoints).
    virtual bool isNetworkConnection() const = 0;
    /// True when this leg started the call (the caller's side of this terminal).
    bool isOriginating() const;
    /// The other leg of the call, or null.
    std::shared_ptr<Connection> otherParty() const;

    /// The address this connection was made for (the dialled address, without prefix).
    const std::string& address() const { return address_; }
    const StringOptions& stringOptions() const { return options_; }

    std::string remotePartyName() const;
    std::string remotePartyAddress() const;
    void setRemoteParty(std::string name, std::string address);
    /// "name [address]"; the address stands for a missing name.
    std::string remotePartyText() const;
    /// The address the far end dialled to reach us (incoming calls).
    std::string calledPartyAddress() const;
    void setCalledPartyAddress(std::string address);

    Phase phase() const;
    bool isReleased() const;
    /// The reason this connection was released with (the call's until it is released).
    EndReason endReason() const;

    /// "h323:<token>/0", for logs.
    std::string describe() const;

    // --- driven by the call on the call's thread; derived classes implement ---

    /// Starts this leg towards `address()` (an outgoing leg) or lets it ring (the local
    /// leg of an incoming call).  False when it cannot start at all; the call then clears
    /// with ConnectFail unless the connection released itself with a better reason.
    virtual bool setUpConnection() = 0;
    /// The other leg rings: a network connection of an incoming call sends its alerting
    /// message.  Default: nothing.
    virtual void setAlerting() {}
    /// The call is answered: a network connection of an incoming call sends its connect
    /// message.  Default: nothing.  False clears the call with ConnectFail.
    virtual bool setConnected() { return true; }
    /// This leg is being released with `reason`: send what the protocol sends (a release
    /// message with the matching cause) unless the far end already released.
    virtual void onRelease(EndReason reason) = 0;

    /// The incoming call asks to be answered; called on the call's thread for the
    /// originating connection of an incoming call.  Default: the endpoint's OnAnswerCall.
    virtual AnswerCallResponse OnAnswerCall(const std::string& caller);

    // --- reported by derived classes from any thread ---

    /// The far end rings.
    void onAlerting();
    /// The far end answered.
    void onConnected();
    /// Clears the whole call with `reason` (asynchronous; the first reason wins).
    void release(EndReason reason);
    /// The far end asks to go elsewhere: if the manager's OnForwarded agrees, this leg is
    /// replaced by a new one of the same endpoint to `destination` (asynchronous).
    void forwardCall(const std::string& destination);

    /// A local connection of an incoming call: the user answers.  False when this is not
    /// a leg that waits for an answer.
    bool acceptIncoming();
    /// A local connection of an incoming call: the user refuses with `reason`.
    bool rejectIncoming(EndReason reason = EndReason::AnswerDenied);

    // --- media streams ---

    /// Creates a stream through createMediaStream(), opens it and offers it to the
    /// manager's OnOpenMediaStream; returns it, or null when any step refuses (the stream
    /// is then closed).  Any thread.
    std::shared_ptr<MediaStream> openMediaStream(const MediaFormat& format, unsigned sessionId,
                                                 bool isSource);
    /// Closes the stream and tells the manager (OnClosedMediaStream).  False when the
    /// stream is not one of this connection's.
    bool closeMediaStream(const std::shared_ptr<MediaStream>& stream);
    std::shared_ptr<MediaStream> findMediaStream(unsigned sessionId, bool isSource) const;
    std::shared_ptr<MediaStream> findMediaStream(MediaType type, bool isSource) const;
    std::vector<std::shared_ptr<MediaStream>> mediaStreams() const;

    /// The formats this connection may use, ordered and masked by the manager.
    MediaFormatList mediaFormatsToOffer() const;

    // --- joining the legs' media (the manager's default stream callbacks drive these) ---

    /// The other leg, a network connection, has opened `stream`: open this leg's stream
    /// of the opposite direction and move the media between the two.  False refuses
    /// `stream`.  Default: nothing to join (true), as for a leg without media of its own.
    virtual bool joinMediaStream(Connection& network, MediaStream& stream);
    /// `stream` of `owner` (this leg or another leg of the call) has closed: stop moving
    /// media through it and close its partner.  A stream this leg never joined is
    /// ignored.  Default: nothing.
    virtual void unjoinMediaStream(Connection& owner, MediaStream& stream);

    // --- user input ---

    /// Sends a user-input string (DTMF digits, "*", "#", ".", "@") to the far end.
    /// Default: not supported (false).
    virtual bool sendUserInputString(const std::string& value);
    /// User input arrived from the far end; default: the manager's OnUserInputString.
    virtual void OnUserInputString(const std::string& value);

    // --- video ---

    /// Asks the far end for a new picture of what it sends on `sessionId` (one was lost).
    /// Default: not supported (false).
    virtual bool requestVideoUpdate(unsigned sessionId);
    /// The far end asked for a new picture of what this call sends on `sessionId`.  The
    /// network leg passes it to the leg that makes the pictures; default: nothing.
    virtual void OnVideoUpdateRequested(unsigned sessionId);
    /// The far end limits what this call sends on `sessionId` to `bitsPerSecond` (a flow
    /// control command, or its release back to the channel's rate).  The network leg
    /// passes it to the leg that encodes; default: nothing.
    virtual void OnMediaFlowControl(unsigned sessionId, std::uint64_t bitsPerSecond);
    /// What the path carries now of what this call sends on `sessionId`, as the far end's
    /// reports tell: the encoder keeps under it, besides any flow control.  Passed on like
    /// a flow control command; default: nothing.
    virtual void OnMediaPathRate(unsigned sessionId, std::uint64_t bitsPerSecond);

protected:
    /// Makes the stream object for openMediaStream; null when this connection has no
    /// stream of that kind.  Default: null.
    virtual std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format,
                                                           unsigned sessionId, bool isSource);

private:
    friend class Call;
    void setPhase(Phase phase);
    /// Call's thread: releases this leg (onRelease, streams closed, phase Released).
    void releaseNow(EndReason reason);
    void closeAllMediaStreams();

    std::weak_ptr<Call> call_;
    EndPoint& endpoint_;
    const std::string callToken_;
    const std::string address_;
    const StringOptions options_;

    mutable std::mutex mutex_; // guards the members below
    Phase phase_ = Phase::Setup;
    EndReason endReason_ = EndReason::LocalUser;
    bool released_ = false;
    std::string remoteName_;
    std::string remoteAddress_;
    std::string calledAddress_;
    std::vector<std::shared_ptr<MediaStream>> streams_;
};

std::string_view phaseName(Connection::Phase phase);

} // namespace voip
