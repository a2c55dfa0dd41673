#pragma once

// Endpoints for exercising the call model without a real protocol: a "pc"-like local
// endpoint, and a "test" endpoint whose connections reach another manager's "test"
// endpoint in the same process, passing alerting, answer, release causes and user input
// across as a network would.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "voip/core/call.h"
#include "voip/core/connection.h"
#include "voip/core/endpoint.h"
#include "voip/core/manager.h"

namespace voip::test {

/// A stream that counts its opens and closes.
class CountingStream : public MediaStream
{
public:
    using MediaStream::MediaStream;
    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    bool failOpen = false;

protected:
    bool onOpen() override;
    void onClose() override;
};

class LocalConnection : public Connection
{
public:
    using Connection::Connection;
    bool isNetworkConnection() const override { return false; }
    bool setUpConnection() override { return true; }
    void onRelease(EndReason reason) override;
    std::atomic<int> releases{0};
    std::atomic<bool> failStreamOpen{false};

protected:
    std::shared_ptr<MediaStream> createMediaStream(const MediaFormat& format, unsigned sessionId,
                                                   bool isSource) override;
};

class LocalEndpoint : public EndPoint
{
public:
    explicit LocalEndpoint(Manager& manager, std::string prefix = "pc");
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                               const std::string& address,
                                               const StringOptions& options) override;
};

class LinkEndpoint;

/// Names to endpoints: the "network" the link endpoints dial into.
class LinkNetwork
{
public:
    void attach(const std::string& name, LinkEndpoint* endpoint);
    void detach(const std::string& name);
    LinkEndpoint* find(const std::string& name) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, LinkEndpoint*> endpoints_;
};

class LinkConnection : public Connection
{
public:
    LinkConnection(const std::shared_ptr<Call>& call, LinkEndpoint& endpoint, std::string address);
    bool isNetworkConnection() const override { return true; }
    bool setUpConnection() override;
    void setAlerting() override;
    bool setConnected() override;
    void onRelease(EndReason reason) override;
    bool sendUserInputString(const std::string& value) override;

    void link(const std::shared_ptr<LinkConnection>& peer);
    std::shared_ptr<LinkConnection> peer();
    /// The far end released with this Q.931 cause.
    void remoteReleased(unsigned cause);
    std::atomic<unsigned> causeSent{0};

private:
    LinkEndpoint& link_;
    std::mutex mutex_; // guards peer_, remoteGone_
    std::weak_ptr<LinkConnection> peer_;
    bool remoteGone_ = false;
};

class LinkEndpoint : public EndPoint
{
public:
    LinkEndpoint(Manager& manager, LinkNetwork& network, std::string name,
                 std::string prefix = "test");
    ~LinkEndpoint() override;
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                               const std::string& address,
                                               const StringOptions& options) override;
    LinkNetwork& network() { return network_; }
    const std::string& name() const { return name_; }
    /// Accepts a call from `caller`; returns the new incoming connection, or null.
    std::shared_ptr<LinkConnection> incoming(const std::shared_ptr<LinkConnection>& caller,
                                             const std::string& callerName,
                                             const std::string& called);
    /// Called on the call's thread once a connection of this endpoint has sent Connect.
    std::function<void(LinkConnection&)> afterConnect;

protected:
    /// A new connection of this endpoint, incoming or outgoing.
    virtual std::shared_ptr<LinkConnection> newConnection(const std::shared_ptr<Call>& call,
                                                          const std::string& address);

private:
    LinkNetwork& network_;
    const std::string name_;
};

/// What a manager saw, for the tests to wait on and check.
struct ClearedRecord
{
    std::string token;
    EndReason reason;
    bool networkOriginated;
    bool established;
    std::string partyA;
    std::string partyB;
    bool answered = false;
};

class RecordingManager : public Manager
{
public:
    RecordingManager();
    ~RecordingManager() override;

    /// How OnAnswerCall answers; the default defers to the local endpoint (Pending).
    std::function<AnswerCallResponse(Connection&, const std::string&)> answerPolicy;
    /// Every call answered at once.
    void answerNow()
    {
        answerPolicy = [](Connection&, const std::string&) {
            return AnswerCallResponse::AnswerNow;
        };
    }
    std::function<bool(Connection&)> incomingPolicy;
    std::function<bool(Connection&, MediaStream&)> openPolicy;
    std::function<void(Call&)> onEstablished;

    bool OnIncomingConnection(Connection& connection, unsigned options,
                              const StringOptions& stringOptions) override;
    AnswerCallResponse OnAnswerCall(Connection& connection, const std::string& caller) override;
    void OnAlerting(Connection& connection) override;
    void OnEstablishedCall(Call& call) override;
    void OnClearedCall(Call& call) override;
    bool OnForwarded(Connection& connection, const std::string& remoteParty) override;
    bool OnOpenMediaStream(Connection& connection, MediaStream& stream) override;
    void OnClosedMediaStream(Connection& connection, MediaStream& stream) override;
    void OnUserInputString(Connection& connection, const std::string& value) override;
    void OnPresentation(Connection& connection, PresentationEvent event) override;

    /// Waits (up to 5 s) until `done` holds under the record lock.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

    mutable std::mutex mutex; // guards the records below
    std::condition_variable changed;
    std::vector<std::string> incoming;
    std::vector<std::string> answerCallers;
    std::vector<std::string> alerting;
    std::vector<std::string> established;
    std::vector<ClearedRecord> cleared;
    std::vector<std::string> forwarded;
    std::vector<std::string> openedStreams;
    std::vector<std::string> closedStreams;
    std::vector<std::string> userInput;
    std::vector<std::string> presentations; ///< presentationEventName of each event
    std::vector<std::string> callbackThreadProblems;
    std::thread::id testThread = std::this_thread::get_id();

private:
    void note(std::vector<std::string>& list, std::string value);
};

} // namespace voip::test
