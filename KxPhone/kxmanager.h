#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QList>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>

#include "KxPhone/kxdisplay.h"
#include "KxPhone/kxmanagersignals.h"
#include "KxPhone/kxvideosource.h"
#include "voip/h323/rasclient.h"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include "voip/device/soundtest.h"
#include "voip/core/endreason.h"
#include "voip/core/manager.h"
#include "voip/media/mediaformat.h"
#include "voip/rtp/rtpsession.h"

class QObject;
class QSettings;
class ContactStore;
class RecentStore;
struct Recent;
class KxH323EndPoint;
class KxH323Connection;
class KxPCSSEndPoint;
class KxPhrasebook;
class KxRinger;

namespace voip {
namespace pcss {
class PcssConnection;
}
class SoundChannel;
class VideoOutput;
namespace h224 {
class H224Handler;
class FeccHandler;
} // namespace h224
} // namespace voip

/// The client's call manager: owns the H.323 endpoint and the PC sound endpoint, applies
/// the settings (ports, name, routes, NAT, codecs, audio) to the engine, holds the one
/// current call and turns the engine's callbacks into its own signals (`events()`), which
/// the interface listens to.
///
/// Threads: construction and the operations the interface calls (placeCall, acceptCall,
/// rejectCall, hangUp, the apply... operations, sendUserInput, sendMuteIndication,
/// changeSoundDevice) run on the GUI thread.  The On... callbacks run on the engine's
/// threads; they never touch the settings store or the widgets there: what they need of
/// the settings is a copy taken on the GUI thread (`policy_`), and whatever must happen
/// on the GUI thread (saving a record, dialling again, a timed answer) is queued to it.
/// `stateMutex_` guards the call state below it; it is held across setUpCall (whose
/// callbacks run on other threads) and otherwise never while the engine is called.
class KxManager : public voip::Manager
{
public:
    /// What the manager works with.  A null store is simply not told; without settings
    /// the manager keeps a private store of its own.
    struct Context
    {
        QSettings* settings = nullptr;
        /// Connects the interface to the manager's signals, before the manager does
        /// anything (so that the display's first output is heard of too).
        std::function<void(const KxManagerSignals&)> listen;
        ContactStore* contacts = nullptr;
        RecentStore* recents = nullptr;
        /// Gets queued DialForward(QString) calls; null: the manager dials itself.
        QObject* forwardTarget = nullptr;
        /// The H.323 listener's port (0: any free port, for tests).
        std::uint16_t listenPort = 1720;
        /// The listener's address; empty: every interface.
        std::string listenAddress;
        /// The sound driver ("PulseAudio"; "Null" or "WAVFile" for tests and headless use).
        std::string soundDriver;
        /// The pause before an automatic answer.
        std::chrono::milliseconds autoAnswerDelay{1000};
        /// Opens the video source and starts the display at construction.
        bool startVideo = true;
        /// Makes the display's output at the size given (null: pictures kept in memory, for
        /// headless use).  A null result leaves the display without output.
        std::function<std::shared_ptr<voip::VideoOutput>(unsigned, unsigned)> videoOutput;
        /// The screen the output is fitted to (empty: the primary screen's size).
        QSize screenSize;
        /// The video input driver of cameras ("V4L2"; "FakeVideo" for tests and demos).
        std::string cameraDriver = "V4L2";
        /// Where V4L2 cameras are found (null: the machine's own devices).
        voip::V4l2System* cameraSystem = nullptr;
    };

    /// What the video source is opened with (from the video settings).
    struct VideoInputArgs
    {
        QString driverName;
        QString deviceName;
        QString colourFormat;
        unsigned frameRate = 0;
        unsigned width = 0;
        unsigned height = 0;
    };

    explicit KxManager(const Context& context);
    ~KxManager() override;

    /// What the manager tells the interface (see Context::listen).
    const KxManagerSignals& events() const { return *events_; }

    // --- configuration (GUI thread) ---

    void configureNetwork();
    void applyPorts();
    void applyNat();
    /// Calls from now on encrypt their media as the Network page says (kxmanagersecurity.cpp).
    void applyEncryption();
    /// The external address the active NAT method reports, or empty.  Mode 1 asks the
    /// STUN server afresh and may wait for it: call it off the GUI thread.
    QString publicAddress();
    /// What asking the STUN server found: the public address (empty when the server did
    /// not resolve or answer) and the NAT type's name.
    struct StunAnswer
    {
        QString server;
        QString address;
        QString natType;
    };
    /// Asks the STUN server of the settings afresh, off the GUI thread; `done` runs on
    /// `receiver`'s thread (not at all when `receiver` is gone by then).
    void probeStun(QObject* receiver, std::function<void(const StunAnswer&)> done);
    void applyAudioSettings();
    void applyMediaFormats();
    /// Registers with the gatekeeper of the settings (`gatekeeper/mode` 1: the one that
    /// answers a multicast request; 2: the host in `gatekeeper/host`), or unregisters when
    /// there is none (mode 0, the default).  The registration goes on in the background;
    /// calls by address never wait for it.
    void applyGatekeeper();
    /// Where the registration stands, for the network page: empty without a gatekeeper.
    QString gatekeeperStatus() const;
    /// How the current call's media travels, for the call toolbar's lock: nothing to show
    /// before channels open; then encrypted (every channel) or not, and a tool tip naming
    /// the cipher and the key exchange, or why some media goes clear.
    struct CallSecurity
    {
        bool known = false;
        bool encrypted = false;
        QString tip;
    };
    CallSecurity callSecurity() const;
    /// Whether the calls' policy asks for encryption where the far end can, and this
    /// arriving call's caller does not offer it.
    bool arrivesClear(voip::Connection& connection) const;

    /// Whether calls cross a NAT through the gatekeeper ("Traversal through X: on") while
    /// registered; empty otherwise.
    QString traversalStatus() const;
    /// How long the current call has been connected: from its answer, not its set-up;
    /// nothing before the answer or without a call.  Any thread.
    std::optional<std::chrono::seconds> connectedFor() const;
    /// The RAS client while a gatekeeper is configured; null otherwise.
    std::shared_ptr<voip::h323::RasClient> gatekeeper() const { return gatekeeper_; }
    /// The per-call reset: formats, audio settings, call state.
    void resetCallState();
    /// Copies what the engine threads read of the settings (auto-answer, the dialled
    /// address, the contacts) from the settings and stores.
    void refreshPolicy();

    /// The order and mask lists applyMediaFormats derives from the settings.
    static QStringList mediaFormatOrderFor(QSettings& settings);
    static QStringList mediaFormatMaskFor(QSettings& settings);

    // --- call control (GUI thread) ---

    /// Places a call to `address` (IP, IP:port, alias@host[:port]).  Returns an empty
    /// string when the call is being set up, else why not (a call in progress, or what is
    /// wrong with the address), in the interface language; a refused address leaves no
    /// call and no record.  `userPlaced`: remember it as the address the user dialled
    /// (setting `address`) and reset the automatic retry and redirections.
    QString placeCall(const QString& address, bool userPlaced);
    /// A refusal or a call's outcome this manager said, said again in the interface's
    /// language now (after the language changed); any other text comes back as it is.
    QString sayAgain(const QString& shown);
    /// Why `address` cannot be dialled as written (empty, too long, not an address), or an
    /// empty text when it can; a name that does not resolve is found only by calling.
    static QString addressProblem(const QString& address);
    /// A single word: no host part, port or alias@host.  Registered, it is an alias the
    /// gatekeeper knows; otherwise a host name of the LAN.
    static bool isBareName(const QString& address);
    /// A call's microphone (`input`) or loudspeaker could not be opened: the window says
    /// that the call carries no sound, once a call.  Any thread.
    void soundDeviceFailed(bool input);
    void acceptCall();
    void rejectCall();
    void hangUp();
    /// Sends user input on the current call; held by the engine until it can go.
    void sendUserInput(const QString& text);
    /// Tells the far end the microphone is muted or live again.
    void sendMuteIndication(bool muted);
    /// Moves the current call's microphone (isSource) or loudspeaker to the device in the
    /// settings.
    void changeSoundDevice(bool isSource);
    /// Stores the destination a Facility asked for; dialled when the call has cleared.
    void setForwardAddress(const QString& address);

    // --- state read by the interface (any thread) ---

    bool inCall() const;
    std::shared_ptr<voip::Call> currentCall() const;
    QString lastAddress() const;
    int retryCount() const;
    bool presentationActive() const;
    std::shared_ptr<voip::SoundChannel> recordChannel() const;
    std::shared_ptr<voip::SoundChannel> playChannel() const;
    bool localVideoSending() const;
    bool remoteVideoReceiving() const;
    bool h224SendOpen() const;
    bool h224ReceiveOpen() const;
    /// The current call's H.224 handler and far-end camera control; null without a call.
    std::shared_ptr<voip::h224::H224Handler> h224Handler() const;
    std::shared_ptr<voip::h224::FeccHandler> feccHandler() const;
    KxH323EndPoint* h323EndPoint() const { return h323EndPoint_; }
    KxPCSSEndPoint* pcssEndPoint() const { return pcssEndPoint_; }
    /// The sound devices the present call could not open, for as long as the call lasts.
    struct SoundMissing
    {
        bool microphone = false;
        bool loudspeaker = false;
    };
    SoundMissing soundMissing() const { return {microphoneMissing_, loudspeakerMissing_}; }
    QSettings& settings() const { return *settings_; }

    /// The figures of the current call's audio or video stream in one direction (0 what we
    /// send, 1 what we receive), refreshed from the stream when it is open; otherwise the
    /// last figures of that direction, also from an earlier call.  GUI thread.
    voip::rtp::StreamStatistics mediaStatistics(voip::MediaType type, int direction);
    /// The names of the sound devices of the manager's sound driver, for the device lists.
    QStringList soundDeviceNames(bool input) const;
    /// Opens the microphone (`input`) or loudspeaker `device` of the manager's sound driver
    /// for its volume and mute; null when it cannot be opened.
    std::shared_ptr<voip::SoundChannel> openSoundDevice(bool input, const QString& device) const;
    /// The device test of the audio settings, to run on any thread (it blocks): the
    /// microphone test records from `input` and plays the recording on `output`, the
    /// loudspeaker test plays the chime on `output`.  It needs nothing of the manager.
    using SoundTest =
        std::function<voip::MediaResult<voip::DeviceTestReport>(const voip::DeviceTestControl&)>;
    SoundTest soundTest(bool microphone, const QString& input, const QString& output) const;

    /// The far end's presentation (H.239 content) is on or off.  Engine threads.  The
    /// layout follows a change only: a repeated word leaves the user's layout alone.
    void OnH239Active();
    void OnH239InActive();

    // --- video: the local source, window capture and the display (GUI thread) ---

    /// Opens the source the video settings name: "no-device", "Desktop" (the desktop or
    /// the tracked window at the codec size, 25 a second) or a camera in the mode stored.
    /// Nothing is opened while a share waits for the user (sharePaused()).
    void openVideoInput();
    /// Why nothing of the screen is sent now although the desktop or a window is the
    /// source, until the user picks a source again: the shared window was closed, or the
    /// call was answered automatically.  Empty when neither.
    QString sharePaused() const;
    /// The user picked a source (or picked the same again): a paused share may go on.
    void sourceChosen();
    /// Closes the source; no grab runs once it returns.
    void closeVideoInput();
    /// True for "Desktop", and for a present camera one of whose modes is the stored one.
    bool isVideoInputSupported();
    std::vector<KxCameraCap> queryCameraCaps(const QString& device) const;
    QStringList cameraNames() const;
    /// The driver cameras are opened with ("V4L2"; "FakeVideo" in tests and demos).
    const std::string& cameraDriver() const { return context_.cameraDriver; }
    /// The settings of a camera listed by cameraNames, opened; null with `error` set when
    /// it has none to offer (a test pattern) or cannot be opened.
    std::unique_ptr<voip::V4l2Controls> cameraControls(const QString& name, QString& error) const;
    bool inputOpen() const;
    VideoInputArgs videoInputArgs() const;
    /// Refreshes the list of windows that may be captured (entries: window, title).
    void refreshWindowList();
    QList<QPair<quint64, QString>> windowList() const;
    /// 0: the whole desktop; k: the k-th window of the list; anything else changes nothing.
    void setCaptureWindow(int index);
    quint64 trackedWindow() const;
    /// Why desktop and window capture cannot work here, for the user; empty when it can.
    QString captureUnavailableReason() const;
    /// Whether the desktop asks the user which screen or window to share (no list here).
    bool captureAsksDesktop() const;
    /// The user's sentence for why capture cannot work or stopped; empty for None.
    static QString captureReason(ScreenCapture::Unavailable why);

    /// Fits the output to the screen and starts the display loop (once).
    void startDisplay();
    /// Stops the display loop and closes the source, whose threads call back into the
    /// manager: at the program's end, before the engine and the window go.
    void stopVideo();
    /// Sets the layout and PiP of `call/layout` and `call/pip`; the layout shown (3 needs
    /// an active presentation).
    int applyLayout();
    bool resizeOutput(unsigned width, unsigned height);
    /// Every picture to near-black; the outgoing picture at the codec size.
    void resetVideoFrames();
    /// The main window tells whether it is shown; hidden and out of a call, the display
    /// rests and the source closes.
    void setWindowVisible(bool visible);
    void setDisplayActive(bool active);
    KxDisplay& display() { return *display_; }
    static std::pair<unsigned, unsigned> fitOutputSize(unsigned width, unsigned height)
    {
        return KxDisplay::fitOutputSize(width, height);
    }

    /// What a finished call knew, taken on the call's thread when it clears: the record
    /// and the notice are made from it on the GUI thread.
    struct CallEnd
    {
        bool incoming = false;
        /// Incoming, and turned away because another call was up.
        bool turnedAway = false;
        bool established = false;
        voip::EndReason reason = voip::EndReason::LocalUser;
        unsigned cause = 0; // the Q.931 cause that came with the reason, 0 when none
        /// Outgoing: this leg was the one automatic retry.
        bool retried = false;
        /// What the far end calls itself, and its address ("name [address]" of the engine).
        QString partyName;
        QString partyAddress;
        /// Outgoing: the address the user dialled (setting `address`), and the one this
        /// leg dialled (another after a redirection).
        QString dialled;
        QString target;
        std::chrono::system_clock::time_point start;
        /// Established calls: how long the two were connected.
        std::chrono::seconds connected{0};
    };
    CallEnd callEndOf(voip::Call& call) const;
    /// Why a failed call failed, in words, from what its history record keeps ("19:17").
    static QString failureText(const QString& stored);
    /// The record a finished call leaves, named from the contacts as they are now (GUI
    /// thread).
    Recent recentFor(const CallEnd& end) const;
    /// What the user is told when a call ends: why it failed, how long it lasted, a
    /// missed caller; empty when there is nothing to say (the user declined it).
    QString noticeFor(const CallEnd& end, const QString& name) const;
    /// `text` cut to `length` characters, "..." marking the cut.
    static QString shortened(const QString& text, int length = 60);
    /// The name the interface shows for an address: the contact's, else the address.
    QString nameForAddress(const QString& address) const;

    // --- engine callbacks (engine threads) ---

    bool OnIncomingConnection(voip::Connection& connection, unsigned options,
                              const voip::StringOptions& stringOptions) override;
    voip::AnswerCallResponse OnAnswerCall(voip::Connection& connection,
                                          const std::string& caller) override;
    void OnEstablishedCall(voip::Call& call) override;
    void OnClearedCall(voip::Call& call) override;
    bool OnForwarded(voip::Connection& connection, const std::string& remoteParty) override;
    void OnAlerting(voip::Connection& connection) override;
    bool OnOpenMediaStream(voip::Connection& connection, voip::MediaStream& stream) override;
    void OnClosedMediaStream(voip::Connection& connection, voip::MediaStream& stream) override;
    /// The engine's view of the far end's presentation.  A far end may start or end it
    /// without saying its channel is active or inactive (it takes the token and opens the
    /// channel, releases the token or closes the channel): the content view follows that
    /// as well.
    void OnPresentation(voip::Connection& connection, voip::PresentationEvent event) override;

    /// Redirections followed one after another before the attempt gives up.
    static constexpr int MaxForwards = 3;

private:
    /// What the engine threads need of the settings, copied on the GUI thread.
    struct Policy
    {
        bool autoAnswer = true;
        QString dialledAddress; // setting `address`
    };

    /// Lets the current gatekeeper go: it unregisters on the background thread.
    void retireGatekeeper();
    /// Records the far end's presentation as on or off and, when that is a change, shows
    /// its layout.
    void switchPresentation(bool active);
    /// Queues `work` on the background thread (GUI thread).
    void inBackground(std::function<void()> work);
    /// placeCall without the ending of a replaced leg.
    QString dial(const QString& address, bool userPlaced);
    /// Writes the record of a finished call and tells the user: `notice`, or what
    /// noticeFor says when it is null (GUI thread).
    void finishCall(const CallEnd& end, const QString& notice = QString());
    void dialForward(const QString& destination);
    /// A redirection or retry that cannot be dialled ends the attempt: the leg it
    /// replaced gets its record and the user is told why (GUI thread).
    void abandonReplacement(const QString& destination, const QString& refusal);
    /// The current call's H.323 leg and sound leg; null without a call (or such a leg).
    std::shared_ptr<KxH323Connection> currentH323Leg() const;
    std::shared_ptr<voip::pcss::PcssConnection> currentPcssLeg() const;
    /// Runs `job` on the GUI thread (the thread that made the manager).
    void onGuiThread(std::function<void()> job);
    void startNatProbe();
    KxDisplay::LocalPicture grabLocalFrame(std::vector<std::uint8_t>& picture, unsigned& width,
                                           unsigned& height);
    /// Shows a notice in the main window (GUI thread or queued to it).
    void notify(const QString& text);
    /// A call is being answered automatically: a desktop or window share is held back
    /// (GUI thread).
    void holdShareForAutoAnswer();
    /// Plays the ring (`incoming`) or the ringback for call `token` while it is the current
    /// call and not yet answered; stopRinging ends it if it is for `token` (any, if empty).
    /// GUI thread.
    void startRinging(const std::string& token, bool incoming);
    void stopRinging(const std::string& token = {});
    /// A new call starts with its sound devices untried: nothing told, nothing missing.
    void forgetSoundFailures();

    Context context_;
    QSettings* settings_ = nullptr;
    std::unique_ptr<QObject> dispatcher_;      // lives on the GUI thread
    std::unique_ptr<KxManagerSignals> events_; // emitted from any thread, outlives the engine
    /// The ring of a call waiting for the user and the ringback of one we place (GUI
    /// thread), and the call it is for.
    std::unique_ptr<KxRinger> ringer_;
    std::string ringFor_;
    /// Refusals and outcomes said to the user, to be said again in a new language.
    std::unique_ptr<KxPhrasebook> phrasebook_;
    KxH323EndPoint* h323EndPoint_ = nullptr;
    KxPCSSEndPoint* pcssEndPoint_ = nullptr;
    voip::MediaFormatList mediaFormats_;
    /// Work that waits on the network for seconds (a STUN query, a gatekeeper's name
    /// lookup, registration and unregistration), off the GUI thread: one thread, in the
    /// order asked, so that an old gatekeeper has let us go before a new one registers us.
    /// Started at the first such work; joined at destruction.
    std::optional<asio::thread_pool> background_;
    std::shared_ptr<voip::h323::RasClient> gatekeeper_; // GUI thread
    QString gatekeeperAlias_;                           // as registered, for the status
    std::unique_ptr<KxVideoSource> source_;
    std::unique_ptr<KxDisplay> display_;
    std::atomic<bool> windowVisible_{true};
    std::shared_ptr<voip::VideoOutput> displayOutput_;
    // The video source's arguments and state: GUI thread, and the display thread under the
    // display lock.
    VideoInputArgs videoInputArgs_;
    std::atomic<bool> inputOpen_{false};
    /// Why the desktop or window share is held back until the user chooses a source.
    enum class SharePause
    {
        None,
        WindowClosed,  ///< the shared window went
        AnsweredAlone, ///< the call was answered automatically: nobody chose to share
    };
    std::atomic<SharePause> sharePause_{SharePause::None};
    QList<QPair<quint64, QString>> windowList_;      // GUI thread
    voip::rtp::StreamStatistics audioStatistics_[2]; // GUI thread, by direction
    voip::rtp::StreamStatistics videoStatistics_[2];

    mutable std::mutex stateMutex_; // guards the members below
    Policy policy_;
    std::shared_ptr<voip::Call> currentCall_;
    QString forwardAddress_;
    QString lastAddress_;
    int retryCount_ = 0;
    int forwardCount_ = 0;
    /// The address the current outgoing call dialled.
    QString currentTarget_;
    /// The leg a redirection or retry replaces, until the new leg is placed.
    std::optional<CallEnd> replacedLeg_;
    /// When the current call was established (for the length told at its end).
    std::optional<std::chrono::steady_clock::time_point> establishedAt_;
    std::atomic<bool> soundFailureTold_{false};   // for the present call
    std::atomic<bool> microphoneMissing_{false};  // for the present call
    std::atomic<bool> loudspeakerMissing_{false}; // for the present call
    bool presentationActive_ = false;
    std::shared_ptr<voip::SoundChannel> recordChannel_;
    std::shared_ptr<voip::SoundChannel> playChannel_;
    bool localVideoSending_ = false;
    bool remoteVideoReceiving_ = false;
    bool h224SendOpen_ = false;
    bool h224ReceiveOpen_ = false;
};
