#include "voip/core/manager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "voip/base/trace.h"
#include "voip/media/mediaformatregistry.h"

namespace voip {

namespace {

// Longest time clearCall(..., wait) waits: a call whose far end never answers the release
// is cleared by its protocol's own timers well before this.
constexpr std::chrono::seconds ClearWaitLimit{60};

std::string randomTokenPrefix()
{
    std::random_device device;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(device()));
    return text;
}

std::string loginName()
{
    for (const char* variable : {"USER", "LOGNAME"}) {
        if (const char* value = std::getenv(variable); value && *value) {
            return value;
        }
    }
    return "kestrovia";
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

Manager::Manager()
    : userName_(loginName())
    , displayName_(userName_)
    , tokenPrefix_(randomTokenPrefix())
{
    collector_ = std::thread([this] { collectLoop(); });
}

Manager::~Manager()
{
    shutDown();
}

void Manager::shutDown(std::chrono::milliseconds timeout)
{
    {
        std::lock_guard lock(mutex_);
        if (shuttingDown_ && endpoints_.empty() && !collector_.joinable()) {
            return;
        }
        shuttingDown_ = true;
    }
    if (!clearAllCalls(EndReason::LocalUser, true, timeout)) {
        VOIP_TRACE(1, "Core\tCalls still clearing at shut-down: " << callCount());
    }
    std::map<std::string, std::unique_ptr<EndPoint>, std::less<>> endpoints;
    {
        std::lock_guard lock(mutex_);
        endpoints.swap(endpoints_);
    }
    for (auto& entry : endpoints) {
        entry.second->shutDown();
    }
    {
        std::lock_guard lock(mutex_);
        collectorStop_ = true;
    }
    collectChanged_.notify_all();
    if (collector_.joinable()) {
        collector_.join();
    }
    endpoints.clear();
}

EndPoint* Manager::attachEndPoint(std::unique_ptr<EndPoint> endpoint)
{
    if (!endpoint || endpoint->prefix().empty() || &endpoint->manager() != this) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (shuttingDown_ || endpoints_.count(endpoint->prefix()) != 0) {
        return nullptr;
    }
    EndPoint* attached = endpoint.get();
    endpoints_.emplace(endpoint->prefix(), std::move(endpoint));
    return attached;
}

EndPoint* Manager::findEndPoint(std::string_view prefix) const
{
    std::lock_guard lock(mutex_);
    auto found = endpoints_.find(prefix);
    return found == endpoints_.end() ? nullptr : found->second.get();
}

std::vector<std::string> Manager::endpointPrefixes() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> prefixes;
    for (const auto& entry : endpoints_) {
        prefixes.push_back(entry.first);
    }
    return prefixes;
}

std::string Manager::newToken()
{
    return tokenPrefix_ + "-" + std::to_string(++tokenCounter_);
}

std::shared_ptr<Call> Manager::createCall()
{
    if (isShuttingDown()) {
        return nullptr;
    }
    auto call = std::make_shared<Call>(*this, newToken());
    try {
        // Started before anyone else can see the call, so that its thread id is set.
        call->startThread();
    } catch (const std::system_error& error) {
        VOIP_TRACE(1, "Core\tNo thread for a new call: " << error.what());
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (shuttingDown_) {
        return nullptr; // nothing was posted: dropping the call stops its thread
    }
    calls_.emplace(call->token(), call);
    return call;
}

bool Manager::isShuttingDown() const
{
    std::lock_guard lock(mutex_);
    return shuttingDown_;
}

std::optional<std::string> Manager::setUpCall(std::string_view from, std::string_view to,
                                              const StringOptions& options)
{
    to = trimBlanks(to);
    if (to.empty() || to.size() > MaxAddressLength) {
        VOIP_TRACE(2, "Core\tRefused to call an empty or overlong address");
        return std::nullopt;
    }
    from = trimBlanks(from);
    const auto colon = from.find(':');
    const std::string prefix(from.substr(0, colon));
    const std::string address(colon == std::string_view::npos ? std::string_view()
                                                              : from.substr(colon + 1));
    EndPoint* endpoint = findEndPoint(prefix);
    if (!endpoint) {
        VOIP_TRACE(2, "Core\tNo endpoint \"" << prefix << "\" to call from");
        return std::nullopt;
    }
    auto call = createCall();
    if (!call) {
        return std::nullopt;
    }
    auto first = endpoint->makeConnection(call, address, options);
    if (!first) {
        // Nothing was posted to the call yet: dropping it stops its thread quietly.
        std::lock_guard lock(mutex_);
        calls_.erase(call->token());
        return std::nullopt;
    }
    call->addConnection(first);
    const std::string token = call->token();
    call->post([call, destination = std::string(to)] { call->setUpOutgoing(destination); });
    VOIP_TRACE(3, "Core\tSetting up " << call->describe() << " from " << from << " to " << to);
    return token;
}

std::shared_ptr<Call> Manager::findCall(const std::string& token) const
{
    std::lock_guard lock(mutex_);
    auto found = calls_.find(token);
    return found == calls_.end() ? nullptr : found->second;
}

LockedCall Manager::findCallWithLock(const std::string& token) const
{
    auto call = findCall(token);
    if (!call) {
        return {};
    }
    LockedCall locked(std::move(call));
    if (locked->isCleared()) {
        return {};
    }
    return locked;
}

bool Manager::clearCall(const std::string& token, EndReason reason, bool wait)
{
    auto call = findCall(token);
    if (!call) {
        return false;
    }
    call->clear(reason);
    if (wait && !call->isCallThread() && call->accessHolder_.load() != std::this_thread::get_id()) {
        call->waitForCleared(ClearWaitLimit);
    }
    return true;
}

bool Manager::clearAllCalls(EndReason reason, bool wait, std::chrono::milliseconds timeout)
{
    std::vector<std::shared_ptr<Call>> calls;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : calls_) {
            calls.push_back(entry.second);
        }
    }
    bool onCallThread = false;
    for (const auto& call : calls) {
        call->clear(reason);
        onCallThread = onCallThread || call->isCallThread();
    }
    calls.clear();
    if (!wait || onCallThread) {
        return true;
    }
    std::unique_lock lock(mutex_);
    return collectChanged_.wait_for(lock, timeout, [this] { return calls_.empty(); });
}

std::size_t Manager::callCount() const
{
    std::lock_guard lock(mutex_);
    return calls_.size();
}

std::vector<std::string> Manager::callTokens() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> tokens;
    for (const auto& entry : calls_) {
        tokens.push_back(entry.first);
    }
    return tokens;
}

void Manager::callFinished(const std::string& token)
{
    {
        std::lock_guard lock(mutex_);
        auto found = calls_.find(token);
        if (found == calls_.end()) {
            return;
        }
        finished_.push_back(std::move(found->second));
        calls_.erase(found);
    }
    collectChanged_.notify_all();
}

void Manager::collectLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        collectChanged_.wait(lock, [this] { return collectorStop_ || !finished_.empty(); });
        auto finished = std::move(finished_);
        finished_.clear();
        const bool stop = collectorStop_ && finished.empty();
        lock.unlock();
        for (auto& call : finished) {
            // The call's thread told us it finished as its very last step; joining here
            // keeps threads from piling up, and dropping our reference may free the call.
            if (call->thread_.joinable()) {
                call->thread_.join();
            }
            call.reset();
        }
        finished.clear();
        lock.lock();
        if (stop) {
            return;
        }
    }
}

bool Manager::OnIncomingConnection(Connection&, unsigned, const StringOptions&)
{
    return true;
}

AnswerCallResponse Manager::OnAnswerCall(Connection&, const std::string&)
{
    return AnswerCallResponse::Pending;
}

void Manager::OnAlerting(Connection&) {}

void Manager::OnEstablishedCall(Call&) {}

void Manager::OnClearedCall(Call&) {}

bool Manager::OnForwarded(Connection&, const std::string&)
{
    return true;
}

bool Manager::OnOpenMediaStream(Connection& connection, MediaStream& stream)
{
    // Only a network leg's streams are joined: the local partner the join opens comes
    // back through here and must not be joined again.
    if (!connection.isNetworkConnection()) {
        return true;
    }
    auto other = connection.otherParty();
    return other ? other->joinMediaStream(connection, stream) : true;
}

void Manager::OnClosedMediaStream(Connection& connection, MediaStream& stream)
{
    // Every leg hears of it, not only the other party: a join may outlive the leg list
    // that made it (a forwarded leg is no longer in the call when its streams close).
    auto owner = connection.call();
    if (!owner) {
        connection.unjoinMediaStream(connection, stream);
        return;
    }
    for (const auto& leg : owner->connections()) {
        leg->unjoinMediaStream(connection, stream);
    }
}

void Manager::OnUserInputString(Connection&, const std::string&) {}

void Manager::OnPresentation(Connection&, PresentationEvent) {}

std::string Manager::defaultUserName() const
{
    std::lock_guard lock(configMutex_);
    return userName_;
}

std::string Manager::defaultDisplayName() const
{
    std::lock_guard lock(configMutex_);
    return displayName_;
}

void Manager::setDefaultUserName(std::string name, bool updateAll)
{
    {
        std::lock_guard lock(configMutex_);
        userName_ = name;
    }
    if (updateAll) {
        std::lock_guard lock(mutex_);
        for (auto& entry : endpoints_) {
            entry.second->setUserName(name);
        }
    }
}

void Manager::setDefaultDisplayName(std::string name, bool updateAll)
{
    {
        std::lock_guard lock(configMutex_);
        displayName_ = name;
    }
    if (updateAll) {
        std::lock_guard lock(mutex_);
        for (auto& entry : endpoints_) {
            entry.second->setDisplayName(name);
        }
    }
}

Status Manager::setTcpPortRange(std::uint16_t base, std::uint16_t max)
{
    return tcpPorts_.setRange({base, max});
}

Status Manager::setUdpPortRange(std::uint16_t base, std::uint16_t max)
{
    return udpPorts_.setRange({base, max});
}

Status Manager::setRtpPortRange(std::uint16_t base, std::uint16_t max)
{
    return rtpPorts_.setRange({base, max});
}

bool Manager::addNatMethod(std::unique_ptr<nat::NatMethod> method)
{
    if (!method) {
        return false;
    }
    const auto name = method->name();
    std::lock_guard lock(configMutex_);
    for (const auto& entry : natMethods_) {
        if (entry.second->name() == name) {
            return false;
        }
    }
    // New methods come last: their priority is the count of methods before them.
    natMethods_.emplace_back(static_cast<unsigned>(natMethods_.size()), std::move(method));
    return true;
}

nat::NatMethod* Manager::natMethod(std::string_view name) const
{
    std::lock_guard lock(configMutex_);
    for (const auto& entry : natMethods_) {
        if (entry.second->name() == name) {
            return entry.second.get();
        }
    }
    return nullptr;
}

std::vector<nat::NatMethod*> Manager::natMethods() const
{
    std::lock_guard lock(configMutex_);
    std::vector<nat::NatMethod*> methods;
    for (const auto& entry : natMethods_) {
        methods.push_back(entry.second.get());
    }
    return methods;
}

bool Manager::setNatServer(std::string_view name, std::string_view server, bool active,
                           unsigned priority)
{
    auto* method = natMethod(name);
    if (!method || !method->setServer(std::string(server))) {
        return false;
    }
    method->activate(active);
    std::lock_guard lock(configMutex_);
    for (auto& entry : natMethods_) {
        if (entry.second.get() == method) {
            entry.first = priority;
        }
    }
    std::stable_sort(natMethods_.begin(), natMethods_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return true;
}

asio::ip::address Manager::translateAddress(const asio::ip::address& local,
                                            const asio::ip::address& peer,
                                            std::chrono::milliseconds maxAge) const
{
    // The methods are never removed, so their pointers outlive the lock; asking them
    // may block on the network and must not hold it.
    for (auto* method : natMethods()) {
        if (!method->isActive() || !method->isOutside(peer)) {
            continue;
        }
        if (auto external = method->externalAddress(maxAge)) {
            return *external;
        }
    }
    return local;
}

void Manager::setNatBindingRefresh(std::chrono::milliseconds interval)
{
    std::lock_guard lock(configMutex_);
    natBindingRefresh_ = interval;
}

std::chrono::milliseconds Manager::natBindingRefresh() const
{
    std::lock_guard lock(configMutex_);
    return natBindingRefresh_;
}

void Manager::setMediaFormatOrder(std::vector<std::string> order)
{
    std::lock_guard lock(configMutex_);
    formatOrder_ = std::move(order);
}

void Manager::setMediaFormatMask(std::vector<std::string> mask)
{
    std::lock_guard lock(configMutex_);
    formatMask_ = std::move(mask);
}

std::vector<std::string> Manager::mediaFormatOrder() const
{
    std::lock_guard lock(configMutex_);
    return formatOrder_;
}

std::vector<std::string> Manager::mediaFormatMask() const
{
    std::lock_guard lock(configMutex_);
    return formatMask_;
}

MediaFormatList Manager::mediaFormatsToOffer(const MediaFormatList& available) const
{
    std::vector<std::string> order;
    std::vector<std::string> mask;
    {
        std::lock_guard lock(configMutex_);
        order = formatOrder_;
        mask = formatMask_;
    }
    return applyOrderAndMask(available, order, mask);
}

MediaFormatList Manager::mediaFormatsToOffer() const
{
    return mediaFormatsToOffer(MediaFormatRegistry::global().all());
}

void Manager::setEchoCancelParameters(EchoCancelParameters parameters)
{
    std::lock_guard lock(configMutex_);
    echo_ = parameters;
}

EchoCancelParameters Manager::echoCancelParameters() const
{
    std::lock_guard lock(configMutex_);
    return echo_;
}

void Manager::setSilenceDetectParameters(SilenceDetectParameters parameters)
{
    std::lock_guard lock(configMutex_);
    silence_ = parameters;
}

SilenceDetectParameters Manager::silenceDetectParameters() const
{
    std::lock_guard lock(configMutex_);
    return silence_;
}

void Manager::setAudioJitterDelay(unsigned minDelayMs, unsigned maxDelayMs)
{
    std::lock_guard lock(configMutex_);
    jitter_ = {minDelayMs, std::max(minDelayMs, maxDelayMs)};
}

JitterParameters Manager::audioJitterDelay() const
{
    std::lock_guard lock(configMutex_);
    return jitter_;
}

} // namespace voip
