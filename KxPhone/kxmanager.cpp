#include "KxPhone/kxmanager.h"

#include <iostream>
#include <map>

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaObject>
#include <QObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "KxPhone/kxpcssendpoint.h"
#include "KxPhone/kxphrasebook.h"
#include "KxPhone/kxringer.h"
#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h323/dialaddress.h"
#include "voip/media/stream_rtp.h"
#include "voip/pcss/pcssconnection.h"
#include "voip/pcss/soundstream.h"

KxManager::KxManager(const Context& context)
    : context_(context)
    , settings_(context.settings)
    , dispatcher_(std::make_unique<QObject>())
    , events_(std::make_unique<KxManagerSignals>())
    , ringer_(std::make_unique<KxRinger>())
    , phrasebook_(std::make_unique<KxPhrasebook>())
{
    if (context_.listen)
        context_.listen(*events_);
    if (!settings_) {
        // No application: a private store keeps the manager usable (tools, tests).
        context_.settings = settings_ = new QSettings(QSettings::IniFormat, QSettings::UserScope,
                                                      "Kestrovia", "Kestrovia", dispatcher_.get());
    }
    auto screen = ScreenCapture::create();
    // A share the desktop allowed once resumes without asking again.
    screen->setRestoreToken(
        kxdefaults::read(*settings_, kxdefaults::ScreenShareToken).toStdString());
    screen->restoreTokenChanged = [this](const std::string& token) {
        kxdefaults::write(*settings_, kxdefaults::ScreenShareToken, QString::fromStdString(token));
    };
    source_ = std::make_unique<KxVideoSource>(std::move(screen), context_.cameraSystem);
    KxDisplay::Hooks hooks;
    hooks.callActive = [this] { return inCall(); };
    hooks.windowHidden = [this] { return !windowVisible_; };
    hooks.goingIdle = [this] { closeVideoInput(); };
    hooks.grabLocal = [this](std::vector<std::uint8_t>& picture, unsigned& width,
                             unsigned& height) { return grabLocalFrame(picture, width, height); };
    display_ = std::make_unique<KxDisplay>(std::move(hooks));
    configureNetwork();
    resetCallState();
    if (context_.startVideo) {
        openVideoInput();
        startDisplay();
    }
}

KxManager::~KxManager()
{
    ringer_->stop();
    // The display and the source call back into the manager: they go first.
    stopVideo();
    // The endpoint unregisters its gatekeeper's client at shutDown, and is gone with it:
    // h323EndPoint_ must not be touched after it.
    shutDown(std::chrono::seconds(5));
    gatekeeper_.reset();
    if (background_)
        background_->join();
}

// --- configuration (the network, the gatekeeper and NAT: kxmanagernetwork.cpp; the media
// formats and sound: kxmanagermedia.cpp) ---

void KxManager::refreshPolicy()
{
    Policy policy;
    policy.autoAnswer = kxdefaults::read(*settings_, kxdefaults::AutoAnswer);
    policy.dialledAddress = kxdefaults::read(*settings_, kxdefaults::Address);
    std::lock_guard lock(stateMutex_);
    policy_ = std::move(policy);
}

void KxManager::resetCallState()
{
    resetVideoFrames();
    applyMediaFormats();
    applyAudioSettings();
    refreshPolicy();
    {
        std::lock_guard lock(stateMutex_);
        // This reset runs on the GUI thread after the call was cleared: a call placed
        // since then is the current one, and its state is its own.
        if (currentCall_)
            return;
        forwardAddress_.clear();
        recordChannel_.reset();
        playChannel_.reset();
        localVideoSending_ = remoteVideoReceiving_ = false;
        h224SendOpen_ = h224ReceiveOpen_ = false;
        presentationActive_ = false;
    }
    // The presentation is over with the call: its layout is not kept (and not announced:
    // the call view is going).
    applyLayout();
    // The screen held back from an automatically answered call is the source again.
    auto held = SharePause::AnsweredAlone;
    if (sharePause_.compare_exchange_strong(held, SharePause::None) && !inputOpen_)
        openVideoInput();
}

// --- call control ---

QString KxManager::placeCall(const QString& address, bool userPlaced)
{
    const QString refusal = dial(address, userPlaced);
    if (!refusal.isEmpty() && !userPlaced)
        abandonReplacement(address.trimmed(), refusal);
    return refusal;
}

QString KxManager::addressProblem(const QString& address)
{
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty())
        return QCoreApplication::translate("KxManager", "no-address-given");
    const std::string text = trimmed.toStdString();
    if (text.size() > voip::Manager::MaxAddressLength)
        return QCoreApplication::translate("KxManager", "address-too-long");
    if (!voip::h323::parseDialAddress(text))
        return QCoreApplication::translate("KxManager", "address-not-callable")
            .arg(shortened(trimmed));
    return {};
}

QString KxManager::sayAgain(const QString& shown)
{
    return phrasebook_->sayAgain(shown);
}

QString KxManager::dial(const QString& address, bool userPlaced)
{
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty())
        return phrasebook_->say(
            [] { return QCoreApplication::translate("KxManager", "no-address-given"); });
    if (inCall())
        return phrasebook_->say(
            [] { return QCoreApplication::translate("KxManager", "call-in-progress"); });
    const std::string text = trimmed.toStdString();
    // A single word is an alias the gatekeeper knows, when we are registered; otherwise
    // it is a host name ("mcu" on a LAN), and a name that does not resolve is told when
    // the call ends.
    const bool viaGatekeeper =
        isBareName(trimmed) && text.size() <= voip::Manager::MaxAddressLength &&
        h323EndPoint_->registeredGatekeeper() && voip::h323::isGatekeeperAlias(text);
    if (!viaGatekeeper)
        if (const QString problem = addressProblem(trimmed); !problem.isEmpty())
            return phrasebook_->say([trimmed] { return addressProblem(trimmed); });
    std::cout << "Calling " << text << std::endl;
    if (userPlaced) {
        kxdefaults::write(*settings_, kxdefaults::Address, trimmed);
        std::lock_guard lock(stateMutex_);
        lastAddress_ = trimmed;
        retryCount_ = 0;
        forwardCount_ = 0;
        policy_.dialledAddress = trimmed;
    }
    std::shared_ptr<voip::Call> call;
    {
        // Held across the set-up, so that a call which fails at once is already the
        // current call when its OnClearedCall runs (on the call's own thread).
        std::lock_guard lock(stateMutex_);
        auto token = setUpCall("pc:*", "h323:" + text);
        call = token ? findCall(*token) : nullptr;
        currentCall_ = call;
        if (call) {
            currentTarget_ = trimmed;
            replacedLeg_.reset();
            establishedAt_.reset();
            forgetSoundFailures();
        }
    }
    if (!call) {
        std::cerr << "Call failed!" << std::endl;
        return phrasebook_->say(
            [] { return QCoreApplication::translate("KxManager", "call-not-set-up"); });
    }
    std::cout << "Setup call: " << call->describe() << std::endl;
    emit events_->calling(nameForAddress(trimmed));
    return {};
}

void KxManager::acceptCall()
{
    std::cout << "Accept Call" << std::endl;
    stopRinging();
    if (auto call = currentCall())
        pcssEndPoint_->acceptIncomingCall(call->token());
}

void KxManager::rejectCall()
{
    std::cout << "Reject Call" << std::endl;
    stopRinging();
    if (auto call = currentCall())
        pcssEndPoint_->rejectIncomingCall(call->token(), voip::EndReason::AnswerDenied);
}

void KxManager::hangUp()
{
    stopRinging();
    if (auto call = currentCall())
        clearCall(call->token(), voip::EndReason::LocalUser, false);
}

void KxManager::sendUserInput(const QString& text)
{
    auto h323 = currentH323Leg();
    if (!h323)
        return;
    if (!h323->sendUserInputString(text.toStdString()))
        std::cout << "Send input failed!" << std::endl;
}

voip::rtp::StreamStatistics KxManager::mediaStatistics(voip::MediaType type, int direction)
{
    const int index = direction == 1 ? 1 : 0;
    auto& kept = type == voip::MediaType::Audio ? audioStatistics_[index] : videoStatistics_[index];
    auto network = currentH323Leg();
    if (!network)
        return kept;
    // What we receive comes out of the network leg's sources, what we send goes into its
    // sinks.
    auto stream = network->findMediaStream(type, index == 1);
    auto* rtp = dynamic_cast<voip::RtpMediaStream*>(stream.get());
    if (rtp && rtp->isOpen() && rtp->session()) {
        const auto session = rtp->session()->statistics();
        kept = index == 1 ? session.receive : session.transmit;
    }
    return kept;
}

void KxManager::sendMuteIndication(bool muted)
{
    if (auto h323 = currentH323Leg())
        h323->indicateAudioMuted(muted);
}

void KxManager::setForwardAddress(const QString& address)
{
    std::lock_guard lock(stateMutex_);
    forwardAddress_ = address;
}

// --- state ---

bool KxManager::inCall() const
{
    std::lock_guard lock(stateMutex_);
    return currentCall_ != nullptr;
}

std::shared_ptr<voip::Call> KxManager::currentCall() const
{
    std::lock_guard lock(stateMutex_);
    return currentCall_;
}

QString KxManager::lastAddress() const
{
    std::lock_guard lock(stateMutex_);
    return lastAddress_;
}

int KxManager::retryCount() const
{
    std::lock_guard lock(stateMutex_);
    return retryCount_;
}

bool KxManager::presentationActive() const
{
    std::lock_guard lock(stateMutex_);
    return presentationActive_;
}

std::shared_ptr<voip::SoundChannel> KxManager::recordChannel() const
{
    std::lock_guard lock(stateMutex_);
    return recordChannel_;
}

std::shared_ptr<voip::SoundChannel> KxManager::playChannel() const
{
    std::lock_guard lock(stateMutex_);
    return playChannel_;
}

std::optional<std::chrono::seconds> KxManager::connectedFor() const
{
    std::lock_guard lock(stateMutex_);
    if (!currentCall_ || !establishedAt_)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                            *establishedAt_);
}

bool KxManager::localVideoSending() const
{
    std::lock_guard lock(stateMutex_);
    return localVideoSending_;
}

bool KxManager::remoteVideoReceiving() const
{
    std::lock_guard lock(stateMutex_);
    return remoteVideoReceiving_;
}

bool KxManager::h224SendOpen() const
{
    std::lock_guard lock(stateMutex_);
    return h224SendOpen_;
}

bool KxManager::h224ReceiveOpen() const
{
    std::lock_guard lock(stateMutex_);
    return h224ReceiveOpen_;
}

std::shared_ptr<voip::h224::H224Handler> KxManager::h224Handler() const
{
    auto local = currentPcssLeg();
    return local ? local->h224Handler() : nullptr;
}

std::shared_ptr<voip::h224::FeccHandler> KxManager::feccHandler() const
{
    auto local = currentPcssLeg();
    return local ? local->feccHandler() : nullptr;
}

void KxManager::OnH239Active()
{
    std::cout << "OnH239Active" << std::endl;
    switchPresentation(true);
}

void KxManager::OnH239InActive()
{
    std::cout << "OnH239InActive" << std::endl;
    switchPresentation(false);
}

void KxManager::switchPresentation(bool active)
{
    // The far end may say so more than once (its channel's indication and its token both
    // tell the start, and some systems repeat the indication): only a change moves the
    // layout, so that a layout the user picked since stays.
    {
        std::lock_guard lock(stateMutex_);
        if (presentationActive_ == active)
            return;
        presentationActive_ = active;
    }
    // Content full while the far end presents, remote full once it stops.
    onGuiThread([this, active] {
        kxdefaults::write(*settings_, kxdefaults::CallLayout, active ? 3 : 1);
        emit events_->layoutShown(applyLayout());
    });
}

void KxManager::OnPresentation(voip::Connection& connection, voip::PresentationEvent event)
{
    if (event == voip::PresentationEvent::RemoteStarted)
        OnH239Active();
    else if (event == voip::PresentationEvent::RemoteStopped)
        OnH239InActive();
    voip::Manager::OnPresentation(connection, event);
}

// --- engine callbacks ---

bool KxManager::OnIncomingConnection(voip::Connection& connection, unsigned options,
                                     const voip::StringOptions& stringOptions)
{
    std::cout << "On Incoming Connection: " << connection.describe() << std::endl;
    if (!voip::Manager::OnIncomingConnection(connection, options, stringOptions))
        return false;
    emit events_->callArriving();
    return true;
}

voip::AnswerCallResponse KxManager::OnAnswerCall(voip::Connection& connection,
                                                 const std::string& caller)
{
    std::cout << "Answering call from " << caller << " with token " << connection.callToken()
              << std::endl;
    auto call = connection.call();
    bool autoAnswer = false;
    {
        std::lock_guard lock(stateMutex_);
        if (currentCall_ || !call) {
            // One call at a time: the new one is refused, the current one goes on.
            return voip::AnswerCallResponse::Deny;
        }
        currentCall_ = call;
        autoAnswer = policy_.autoAnswer;
    }
    if (autoAnswer) {
        std::cout << "Auto accept call from " << caller << std::endl;
        const std::string token = call->token();
        // The pause runs on the GUI thread's timer, so that the call's own thread goes on
        // (a caller that gives up meanwhile is seen at once).
        onGuiThread([this, token] {
            holdShareForAutoAnswer();
            QTimer::singleShot(context_.autoAnswerDelay, dispatcher_.get(),
                               [this, token] { pcssEndPoint_->acceptIncomingCall(token); });
        });
    } else {
        emit events_->incomingCall(QString::fromStdString(caller), arrivesClear(connection));
        onGuiThread([this, token = call->token()] { startRinging(token, true); });
    }
    return voip::Manager::OnAnswerCall(connection, caller);
}

void KxManager::OnAlerting(voip::Connection& connection)
{
    voip::Manager::OnAlerting(connection);
    auto call = connection.call();
    if (!call || call->isNetworkOriginated() || !connection.isNetworkConnection())
        return;
    {
        std::lock_guard lock(stateMutex_);
        if (currentCall_ != call)
            return;
    }
    onGuiThread([this, token = call->token()] {
        auto current = currentCall();
        if (current && current->token() == token && !current->isEstablished()) {
            emit events_->ringing();
            startRinging(token, false);
        }
    });
}

void KxManager::OnEstablishedCall(voip::Call& call)
{
    std::cout << "On Established Call: " << call.token() << std::endl;
    {
        std::lock_guard lock(stateMutex_);
        if (currentCall_ && currentCall_->token() == call.token())
            establishedAt_ = std::chrono::steady_clock::now();
    }
    onGuiThread([this, token = call.token()] { stopRinging(token); });
    emit events_->showCall();
    voip::Manager::OnEstablishedCall(call);
}

bool KxManager::OnForwarded(voip::Connection& connection, const std::string& remoteParty)
{
    std::cout << "OnForwarded " << connection.describe() << " to " << remoteParty << std::endl;
    VOIP_TRACE(1, "OnForwarded " << connection.describe() << " to " << remoteParty);
    return voip::Manager::OnForwarded(connection, remoteParty);
}

void KxManager::OnClearedCall(voip::Call& call)
{
    std::cout << "On Cleared Call: " << call.token() << " reason: " << call.endReasonText()
              << std::endl;
    CallEnd end = callEndOf(call);
    QString destination;
    QString retryAddress;
    bool current = false;
    bool forwarding = false;
    bool retrying = false;
    {
        std::lock_guard lock(stateMutex_);
        current = currentCall_ && currentCall_->token() == call.token();
        if (current) {
            if (establishedAt_ && end.established)
                end.connected = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now() - *establishedAt_);
            establishedAt_.reset();
            forgetSoundFailures();
            end.retried = !end.incoming && retryCount_ == 1 &&
                          end.reason == voip::EndReason::TemporaryFailure;
            destination = forwardAddress_;
            forwardAddress_.clear();
            // A redirection is followed a few times one after another, then given up: a
            // far end that sends the call back to itself must not keep us dialling.
            if (!destination.isEmpty() && ++forwardCount_ > MaxForwards) {
                std::cout << "Too many redirections, not following " << destination.toStdString()
                          << std::endl;
                destination.clear();
            }
            forwarding = !destination.isEmpty();
            retrying = !forwarding && !lastAddress_.isEmpty() && retryCount_ < 1 &&
                       call.endReason() == voip::EndReason::TemporaryFailure &&
                       !call.isNetworkOriginated();
            if (retrying) {
                retryCount_ = 1;
                retryAddress = lastAddress_;
            }
            // The leg being replaced is recorded if its replacement cannot be dialled.
            if (forwarding || retrying)
                replacedLeg_ = end;
        }
    }
    if (current) {
        {
            std::lock_guard lock(stateMutex_);
            currentCall_.reset();
        }
        onGuiThread([this, token = call.token()] {
            stopRinging(token);
            resetCallState();
        });
        if (!forwarding && !retrying) {
            emit events_->showMain();
            onGuiThread([this, end] { finishCall(end); });
        }
    } else if (end.incoming) {
        // A caller turned away while another call was up.
        end.turnedAway = true;
        onGuiThread([this, end] { finishCall(end); });
    }
    voip::Manager::OnClearedCall(call);
    if (retrying) {
        VOIP_TRACE(1, "Retrying after temporary failure: " << retryAddress.toStdString());
        destination = retryAddress;
    }
    if (!destination.isEmpty())
        dialForward(destination);
}

bool KxManager::OnOpenMediaStream(voip::Connection& connection, voip::MediaStream& stream)
{
    if (!voip::Manager::OnOpenMediaStream(connection, stream))
        return false;
    if (connection.isNetworkConnection())
        return true;
    {
        // A late stream of a call that is over (or was never ours) changes nothing.
        // (An incoming call's streams may open before it is answered and made current.)
        auto call = connection.call();
        std::lock_guard lock(stateMutex_);
        if (!call || call->isClearing() ||
            (currentCall_ && currentCall_->token() != connection.callToken()))
            return true;
    }
    const auto type = stream.mediaFormat().mediaType();
    if (type == voip::MediaType::Audio) {
        if (auto* sound = dynamic_cast<voip::pcss::SoundStream*>(&stream)) {
            std::lock_guard lock(stateMutex_);
            (stream.isSource() ? recordChannel_ : playChannel_) = sound->channel();
        }
        emit events_->updateCall();
    } else if (type == voip::MediaType::Video) {
        // The encoder takes pictures at the size the far end takes.
        const auto& format = stream.mediaFormat();
        if (stream.isSource() && !format.hasOption(voip::option::ContentRole))
            display_->setOutgoingSize(unsigned(format.integerOption(voip::option::FrameWidth, 0)),
                                      unsigned(format.integerOption(voip::option::FrameHeight, 0)));
        // The main video's flags: content (H.239) comes and goes beside it.
        std::lock_guard lock(stateMutex_);
        if (!format.hasOption(voip::option::ContentRole))
            (stream.isSource() ? localVideoSending_ : remoteVideoReceiving_) = true;
    } else if (type == voip::MediaType::H224) {
        std::lock_guard lock(stateMutex_);
        (stream.isSource() ? h224SendOpen_ : h224ReceiveOpen_) = true;
    }
    return true;
}

void KxManager::OnClosedMediaStream(voip::Connection& connection, voip::MediaStream& stream)
{
    if (!connection.isNetworkConnection()) {
        const auto type = stream.mediaFormat().mediaType();
        std::lock_guard lock(stateMutex_);
        if (type == voip::MediaType::Video &&
            !stream.mediaFormat().hasOption(voip::option::ContentRole))
            (stream.isSource() ? localVideoSending_ : remoteVideoReceiving_) = false;
        else if (type == voip::MediaType::H224)
            (stream.isSource() ? h224SendOpen_ : h224ReceiveOpen_) = false;
    }
    voip::Manager::OnClosedMediaStream(connection, stream);
}

// --- records, notices and dialling on ---

bool KxManager::isBareName(const QString& address)
{
    return !address.isEmpty() && !address.contains(QRegularExpression("[.:\\[@]"));
}

void KxManager::abandonReplacement(const QString& destination, const QString& refusal)
{
    std::optional<CallEnd> leg;
    {
        std::lock_guard lock(stateMutex_);
        leg.swap(replacedLeg_);
    }
    if (!leg)
        return;
    std::cout << "Cannot dial " << destination.toStdString() << ": " << refusal.toStdString()
              << std::endl;
    if (!inCall())
        emit events_->showMain();
    const QString from = nameForAddress(leg->incoming ? leg->partyAddress : leg->dialled);
    finishCall(*leg, QCoreApplication::translate("KxManager", "redirect-failed")
                         .arg(shortened(from), shortened(destination), refusal));
}

void KxManager::dialForward(const QString& destination)
{
    if (context_.forwardTarget) {
        QMetaObject::invokeMethod(context_.forwardTarget, "DialForward", Qt::QueuedConnection,
                                  Q_ARG(QString, destination));
        return;
    }
    onGuiThread([this, destination] {
        std::cout << "DialForward " << destination.toStdString() << std::endl;
        placeCall(destination, false);
    });
}

std::shared_ptr<KxH323Connection> KxManager::currentH323Leg() const
{
    auto call = currentCall();
    return call ? std::dynamic_pointer_cast<KxH323Connection>(call->networkConnection()) : nullptr;
}

std::shared_ptr<voip::pcss::PcssConnection> KxManager::currentPcssLeg() const
{
    auto call = currentCall();
    return call ? std::dynamic_pointer_cast<voip::pcss::PcssConnection>(call->localConnection())
                : nullptr;
}

void KxManager::onGuiThread(std::function<void()> job)
{
    QMetaObject::invokeMethod(dispatcher_.get(), std::move(job), Qt::QueuedConnection);
}
