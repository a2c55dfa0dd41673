#pragma once

#include <cstdio>
#include <functional>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "voip/base/scheduler.h"
#include "voip/h323/endpoint.h"
#include "voip/h323/rasclient.h"
#include "voip/core/manager.h"
#include "voip/device/y4mfile.h"
#include "voip/pcss/pcssendpoint.h"

namespace kxcall {

/// What the tool was asked to do.
struct Options
{
    std::optional<std::uint16_t> listenPort; ///< listen when set (0: any free port)
    std::string listenAddress;               ///< empty: every interface
    enum class Answer
    {
        Auto,
        Reject,
        Delayed,
        Never
    } answer = Answer::Auto;
    std::chrono::milliseconds answerDelay{0};
    std::string callAddress; ///< call this address when not empty
    std::optional<std::chrono::milliseconds> hangUpAfter;
    std::string userInput; ///< sent once the call is established
    bool fastStart = false;
    bool tunnelling = true;
    bool h245InSetup = false;
    std::vector<std::string> formatOrder;
    std::vector<std::string> formatMask;
    std::string userName = "kxcall";
    unsigned calls = 1;               ///< calls to take or make before exiting (0: until stopped)
    std::string soundDriver = "Null"; ///< driver of the sound devices
    std::string playDevice;           ///< empty: the driver's default
    std::string recordDevice;         ///< empty: the driver's default
    std::string sendFile;             ///< WAV file sent as the microphone (instead of a device)
    std::string recordFile;           ///< WAV file the received audio is written to
    std::string redirectTo;           ///< answer every call with a Facility to this address
    unsigned releaseCause = 0;        ///< refuse every call with this Q.931 cause (1..127)
    bool json = false;                ///< one JSON object a line instead of plain lines
    std::string videoDriver;          ///< video source driver ("FakeVideo"); empty: no video
    std::string videoDevice;
    unsigned videoWidth = 640;
    unsigned videoHeight = 360;
    unsigned videoRate = 25;
    std::string recordVideoFile; ///< Y4M file the received pictures are written to
    /// Present the video source as content (H.239) too, `presentDelay` after the call is
    /// established, for `presentFor` (until the call ends when not set).
    bool present = false;
    std::chrono::milliseconds presentDelay{0};
    std::optional<std::chrono::milliseconds> presentFor;
    /// With `presentFor`: present this many times, pausing `presentFor` between.
    unsigned presentTimes = 1;
    std::string recordContentFile; ///< Y4M file the far end's content is written to
    /// Ask the far end for a new picture when one is lost or damaged (off: as stacks that
    /// never ask, mended only by the key frames the far end sends of itself).
    bool askForPictures = true;
    /// Far-end camera control: print what the far end does with our (pretend) camera and
    /// move the far end's through a test sequence once the channel opens.
    bool fecc = false;
    /// Register with this gatekeeper ("host[:port]", or "auto"): calls are admitted by it, and an
    /// alias or number given to --call is found through it.
    std::string gatekeeper;
    std::string alias;     ///< the h323-ID registered (default: --name)
    std::string e164;      ///< the number registered
    std::string password;  ///< proven to the gatekeeper when set
    std::string discovery; ///< where "auto" looks for a gatekeeper ("group:port")
    /// Offer to cross a NAT with the gatekeeper's help (H.460.18/.19).
    bool traversal = true;
    /// Encrypt the media: never, when the far end can, or always (no call otherwise).
    voip::h323::MediaEncryption encryption = voip::h323::MediaEncryption::WhenPeerCan;
    // Standing in for other stacks' shapes (diagnostics, tests):
    /// The H.264 decoding announced instead of the decoder's own (level, H.241 limits in
    /// macroblocks and macroblocks a second, profile bits).
    std::optional<std::uint8_t> h264Level;
    std::optional<std::uint32_t> maxFs;
    std::optional<std::uint32_t> maxMbps;
    std::optional<std::uint8_t> h264Profiles;
    std::string h224Framing;        ///< "HDLC" or "bare" whatever the far end announces
    bool fastStartOwnNumbers = false; ///< number the fastStart answers' channels our way
    std::string recordH264File;     ///< the received main video's coded pictures (Annex B)
    /// End a presentation by closing its channel alone (no inactive indication, no token
    /// release), as some stacks do.
    bool presentEndByClose = false;
};

/// A plain event line as one JSON object: {"event": ..., key=value words as members,
/// the other words as "detail", the whole line as "line"}.
std::string eventAsJson(const std::string& line);

/// Reads the command line (options.cpp); nothing, and the reason or the help text in
/// `error`, on a bad argument or --help.
std::optional<Options> parseOptions(int argc, char** argv, std::string& error);

/// Writes the received pictures of every call into one Y4M file (--record-video).
class Y4mOutput : public voip::VideoOutput
{
public:
    Y4mOutput(const std::string& path, unsigned frameRate);
    bool ok() const { return ok_; }
    void showFrame(const voip::VideoFrame& frame) override;
    unsigned written() const;

private:
    mutable std::mutex mutex_; // guards writer_ and written_
    voip::Y4mWriter writer_;
    unsigned written_ = 0;
    bool ok_ = false;
};

/// Hands each picture to several outputs (a file and a window).
class TeeOutput : public voip::VideoOutput
{
public:
    explicit TeeOutput(std::vector<std::shared_ptr<voip::VideoOutput>> outputs)
        : outputs_(std::move(outputs))
    {}
    void showFrame(const voip::VideoFrame& frame) override;
    void takeCodedPicture(std::span<const uint8_t> accessUnit) override;

private:
    const std::vector<std::shared_ptr<voip::VideoOutput>> outputs_;
};

/// Calls `first` when the first picture of its stream is shown.
class FirstPictureOutput : public voip::VideoOutput
{
public:
    explicit FirstPictureOutput(std::function<void()> first)
        : first_(std::move(first))
    {}
    void showFrame(const voip::VideoFrame&) override;

private:
    const std::function<void()> first_;
    std::atomic<bool> seen_{false};
};

/// Writes the coded pictures received (H.264 in Annex B) into one file (--record-h264),
/// for a decoder of another maker to read.
class CodedVideoFile : public voip::VideoOutput
{
public:
    explicit CodedVideoFile(const std::string& path);
    bool ok() const { return file_ != nullptr; }
    void showFrame(const voip::VideoFrame&) override {}
    void takeCodedPicture(std::span<const uint8_t> accessUnit) override;

private:
    std::mutex mutex_; // guards file_
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

/// The "pc" side of the tool's calls: the sound devices of the chosen driver, except
/// that a WAV file to send replaces the microphone and a WAV file to record replaces the
/// loudspeaker.
class SoundEndpoint : public voip::pcss::PcssEndPoint
{
public:
    SoundEndpoint(voip::Manager& manager, const Options& options);
    std::shared_ptr<voip::SoundChannel>
    createSoundChannel(const voip::pcss::PcssConnection& connection,
                       const voip::MediaFormat& format, const std::string& device,
                       bool isSource) override;

private:
    const std::string sendFile_;
    const std::string recordFile_;
};

/// The tool's manager: prints one line per event to `out` and carries out the options.
/// Callbacks run on engine threads; `mutex_` guards the output and the counters.
class CallManager : public voip::Manager
{
public:
    CallManager(const Options& options, std::ostream& out);
    ~CallManager() override;

    /// Sets up endpoints, routes and the listener; false (with a line) on failure.
    bool start();
    /// Runs until the calls asked for are done or `stop` is set; the exit status.
    int run(const std::atomic<bool>& stop);

    bool OnIncomingConnection(voip::Connection& connection, unsigned options,
                              const voip::StringOptions& stringOptions) override;
    voip::AnswerCallResponse OnAnswerCall(voip::Connection& connection,
                                          const std::string& caller) override;
    void OnEstablishedCall(voip::Call& call) override;
    void OnClearedCall(voip::Call& call) override;
    bool OnOpenMediaStream(voip::Connection& connection, voip::MediaStream& stream) override;
    void OnClosedMediaStream(voip::Connection& connection, voip::MediaStream& stream) override;
    void OnUserInputString(voip::Connection& connection, const std::string& value) override;
    void OnPresentation(voip::Connection& connection, voip::PresentationEvent event) override;

private:
    void print(const std::string& line);
    void printStatistics(voip::MediaStream& stream);
    void later(std::chrono::milliseconds delay, std::function<void()> job);
    void startCameraSequence(voip::Connection& network);
    void schedulePresentation(const std::string& token);
    /// The H.323 leg of the call `token`, or null.
    std::shared_ptr<voip::h323::Connection> networkLeg(const std::string& token);
    friend class CameraPrinter;

    const Options options_;
    std::ostream& out_;
    voip::h323::EndPoint* h323_ = nullptr;
    std::shared_ptr<voip::h323::RasClient> gatekeeper_;
    /// What the last "traversal" line said (the gatekeeper client's thread).
    std::atomic<voip::h323::TraversalState> lastTraversal_{voip::h323::TraversalState::Pending};
    SoundEndpoint* local_ = nullptr;

    std::mutex mutex_; // guards out_, cleared_, failed_, establishedAt_
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point establishedAt_{};
    unsigned cleared_ = 0;
    bool failed_ = false;
    /// The delayed jobs (answering, hanging up, presenting, camera moves): one thread.
    const std::shared_ptr<voip::Scheduler> jobs_ = std::make_shared<voip::Scheduler>();
};

} // namespace kxcall
