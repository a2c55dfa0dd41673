#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "voip/core/endreason.h"

namespace voip {

class Connection;
class Manager;

/// A call: two connections (legs) glued together, e.g. the H.323 leg to the far end and
/// the PC sound leg of this terminal.  Identified by a token unique in its manager.
///
/// Every call has its own thread, on which its progress and the manager's callbacks for
/// it run in order (set-up, answer, established, cleared).  The thread ends after
/// OnClearedCall; the manager then forgets the call.  The object itself lives as long as
/// someone holds a reference.
///
/// Locks: `accessMutex_` is the lock a LockedCall holds (Manager::findCallWithLock); the
/// call's thread takes it around structural changes (adding or replacing a leg, entering
/// established or cleared), never around a callback, so a holder sees a stable call.
/// Do not wait for the call's progress while holding it.  `mutex_` guards the members
/// below it and is only held briefly.  Order: accessMutex_, mutex_, Connection's mutex.
class Call : public std::enable_shared_from_this<Call>
{
public:
    /// Made by Manager::createCall.
    Call(Manager& manager, std::string token);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    const std::string& token() const { return token_; }
    Manager& manager() const { return manager_; }

    /// The legs in the order they joined: 0 started the call.
    std::vector<std::shared_ptr<Connection>> connections() const;
    std::shared_ptr<Connection> connection(std::size_t index) const;
    /// The first network leg, or null.
    std::shared_ptr<Connection> networkConnection() const;
    /// The first local leg, or null.
    std::shared_ptr<Connection> localConnection() const;
    /// The leg of the call that is not `connection`, or null.
    std::shared_ptr<Connection> otherParty(const Connection& connection) const;

    /// "name [address]" of the far party of leg 0 (for an incoming call: the caller).
    std::string partyA() const;
    /// The same for leg 1 (for an outgoing call: the called party).
    std::string partyB() const;

    std::chrono::system_clock::time_point startTime() const { return startTime_; }
    /// True when the call came in from the network (leg 0 is a network connection).
    bool isNetworkOriginated() const;
    bool isEstablished() const;
    /// True once the call was answered: our Connect went out, or the far end's came in.
    /// A call cleared at that very moment may never have been established, yet it was
    /// answered.
    bool wasAnswered() const;
    bool isClearing() const;
    bool isCleared() const;
    EndReason endReason() const;
    /// The Q.931 cause that came with the end reason (0 when none).
    unsigned endCause() const;
    std::string endReasonText() const;
    /// "Call[<token>]", for logs.
    std::string describe() const;

    /// Clears the call with `reason` (and the Q.931 cause, if it came from one):
    /// asynchronous, any thread; the first reason wins.  Returns false when the call is
    /// already clearing.
    bool clear(EndReason reason, unsigned q931Cause = 0);
    /// Waits until OnClearedCall has returned; false on time-out.  Returns false at once
    /// when called on the call's own thread (it would wait for itself).
    bool waitForCleared(std::chrono::milliseconds timeout) const;

    /// Adds the originating leg of an incoming call and starts handling it on the
    /// call's thread: OnIncomingConnection, routing, the local leg, OnAnswerCall.
    void startIncoming(const std::shared_ptr<Connection>& connection);

    /// Runs `job` on the call's thread after the jobs already queued.  False when the
    /// thread has ended (the job is dropped).
    bool post(std::function<void()> job);
    bool isCallThread() const;

private:
    friend class Connection;
    friend class Manager;
    friend class LockedCall;

    void startThread();
    void run();
    void addConnection(const std::shared_ptr<Connection>& connection);

    // Call's thread only.
    void setUpOutgoing(const std::string& destination);
    void handleIncoming();
    std::shared_ptr<Connection> routeAndMake(const Connection& from, const std::string& dialled);
    /// Routes `dialled`, adds the leg it makes and starts it; null, with the call clearing,
    /// when no route takes it or it cannot start.
    std::shared_ptr<Connection> placeSecondLeg(const Connection& first, const std::string& dialled);
    void handleAlerting(const std::shared_ptr<Connection>& connection);
    void handleConnected(const std::shared_ptr<Connection>& connection);
    void answer();
    void checkEstablished();
    void handleForward(const std::shared_ptr<Connection>& connection,
                       const std::string& destination);
    void handleClear();

    Manager& manager_;
    const std::string token_;
    const std::chrono::system_clock::time_point startTime_;

    mutable std::mutex accessMutex_;              // the LockedCall lock; see the class comment
    std::atomic<std::thread::id> accessHolder_{}; // thread holding it through a LockedCall

    mutable std::mutex mutex_; // guards the members below
    std::vector<std::shared_ptr<Connection>> connections_;
    bool incoming_ = false; // started by startIncoming
    bool answerPending_ = false;
    bool answered_ = false;
    bool connectReceived_ = false;
    bool established_ = false;
    bool clearing_ = false;
    bool cleared_ = false;
    EndReason endReason_ = EndReason::LocalUser;
    unsigned endCause_ = 0;
    mutable std::condition_variable clearedChanged_;

    std::mutex queueMutex_; // guards queue_, stopping_
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadId_;
};

/// A call held with its access lock (the role of a locked safe pointer): the call cannot
/// go away while the handle exists, and the call's thread makes no structural change to
/// it.  Empty when the call was not found.  Movable, not copyable.
class LockedCall
{
public:
    LockedCall() = default;
    explicit LockedCall(std::shared_ptr<Call> call);
    ~LockedCall();
    LockedCall(LockedCall&& other) noexcept;
    LockedCall& operator=(LockedCall&& other) noexcept;

    explicit operator bool() const { return call_ != nullptr; }
    Call* operator->() const { return call_.get(); }
    Call& operator*() const { return *call_; }
    /// A plain reference to keep after the lock is given up.
    std::shared_ptr<Call> share() const { return call_; }
    /// Gives up the lock (the handle becomes empty).
    void reset();

private:
    std::shared_ptr<Call> call_;
    std::unique_lock<std::mutex> lock_;
};

} // namespace voip
