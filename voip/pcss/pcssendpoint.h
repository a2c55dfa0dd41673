#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "voip/device/soundchannel.h"
#include "voip/device/videoinput.h"
#include "voip/core/endpoint.h"
#include "voip/h224/h224handler.h"
#include "voip/media/mediaformat.h"
#include "voip/media/videostream.h"
#include "voip/pcss/mediajoiner.h"
#include "voip/status.h"

namespace voip::pcss {

class PcssConnection;

/// Which of a call's two video streams: the main picture, or presentation content.
enum class VideoRole
{
    Main,
    Content,
};

/// The PC sound endpoint (prefix "pc"): the local side of every call, which plays the
/// received audio on a sound output device and records the microphone.  One connection
/// per call (PcssConnection).
///
/// Devices are named as the sound driver lists them; a name the driver does not know is
/// refused and the previous device kept.  New devices take effect for the next sound
/// channel that is made.  With the "WAVFile" driver a device is a file path: the record
/// device must be a readable WAV file, the play device a file that can be created.
///
/// Members may be called from any thread; `mutex_` guards the settings below it.
class PcssEndPoint : public EndPoint
{
public:
    explicit PcssEndPoint(Manager& manager, std::string prefix = "pc");
    ~PcssEndPoint() override;

    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>& call,
                                               const std::string& address,
                                               const StringOptions& options) override;
    /// The connection factory: a PcssConnection with the devices in use now.
    virtual std::shared_ptr<PcssConnection> createConnection(const std::shared_ptr<Call>& call,
                                                             const std::string& address,
                                                             const std::string& playDevice,
                                                             const std::string& recordDevice,
                                                             const StringOptions& options);

    /// The sound-channel factory: an open channel for one direction of `connection`'s
    /// audio in `format`, on `device` (isSource: the microphone), or null (logged) when it
    /// cannot be opened.  Default: the endpoint's driver, mono 16-bit at the format's PCM
    /// rate (8000 when the format has none), with the connection's buffer count and time.
    /// Called on the thread that opens the stream.
    virtual std::shared_ptr<SoundChannel> createSoundChannel(const PcssConnection& connection,
                                                             const MediaFormat& format,
                                                             const std::string& device,
                                                             bool isSource);

    // --- devices ---

    /// The sound driver the channels are opened with (default "PulseAudio").
    std::string soundDriver() const;
    /// Fails for a driver this build does not offer; the devices are then unchanged.
    /// A new driver resets both devices to its default device.
    Status setSoundDriver(const std::string& driver);
    std::string playDevice() const;
    std::string recordDevice() const;
    /// Fails (and keeps the old device) for a name the driver does not list.
    Status setPlayDevice(const std::string& device);
    Status setRecordDevice(const std::string& device);

    // --- sound-channel buffers (for connections made afterwards) ---

    unsigned soundChannelBufferCount() const;
    /// Milliseconds of audio per buffer, also the length of a recorded frame.
    unsigned soundChannelBufferTime() const;
    /// Count 1 to 32; time 10 to 240 ms in steps of 10 (the codecs' frame grid).
    Status setSoundChannelBuffers(unsigned count, unsigned timeMs);

    // --- video ---

    /// The video source of one role for the streams opened afterwards: a video input
    /// driver ("FakeVideo", ...) and what it is opened with; an empty driver (the default)
    /// sends no video of that role (for content: nothing to present).
    void setVideoInput(const std::string& driver, const VideoInputParams& params,
                       VideoRole role = VideoRole::Main);
    std::string videoInputDriver(VideoRole role = VideoRole::Main) const;
    VideoInputParams videoInputParams(VideoRole role = VideoRole::Main) const;
    /// Whether a call's stream of that role has something to send.  Default: a driver is
    /// set for it.
    virtual bool hasVideoInput(const PcssConnection& connection, VideoRole role) const;
    /// Makes the device a call's stream of that role reads, when the stream opens (on the
    /// thread that opens it).  Default: a device of the role's driver.
    virtual MediaResult<std::unique_ptr<VideoInputDevice>>
    createVideoInputDevice(const PcssConnection& connection, VideoRole role) const;
    /// Makes the output that shows a connection's received video of a role (null:
    /// decoded, not shown).  Called on the thread that opens the stream.
    using VideoOutputFactory =
        std::function<std::shared_ptr<VideoOutput>(const PcssConnection&, VideoRole)>;
    void setVideoOutputFactory(VideoOutputFactory factory);
    std::shared_ptr<VideoOutput> createVideoOutput(const PcssConnection& connection,
                                                   VideoRole role) const;
    /// Whether a lost or damaged picture asks the far end for a new one (default: yes).
    /// Without, the picture mends only by the key frames the far end sends of itself, as
    /// with stacks that never ask.
    void setAsksForPictures(bool asks) { asksForPictures_ = asks; }
    bool asksForPictures() const { return asksForPictures_; }

    // --- far-end camera control ---

    /// What this terminal's camera can do, told to far ends that ask (default: one main
    /// camera sending motion video, with no motor to pan, tilt, zoom or focus).
    void setLocalCameraCapabilities(const h224::FeccCapabilities& capabilities);
    h224::FeccCapabilities localCameraCapabilities() const;
    /// Makes the observer of a connection's far-end camera control (null: none).  Called
    /// on the thread that makes the connection.
    using FeccObserverFactory =
        std::function<std::shared_ptr<h224::FeccObserver>(const PcssConnection&)>;
    void setFeccObserverFactory(FeccObserverFactory factory);
    std::shared_ptr<h224::FeccObserver> createFeccObserver(const PcssConnection& connection) const;

    // --- media through the application ---

    /// True when the application takes this endpoint's media through its own callbacks
    /// instead of sound devices: no sound channel is opened, and the application joins
    /// the streams itself.  Default: false.
    bool takesMediaThroughCallbacks(const MediaFormat& format, bool isSource) const;
    void setMediaThroughCallbacks(bool enabled);

    /// Joins the streams of the calls this endpoint takes part in (see MediaJoiner): the
    /// manager's default OnOpenMediaStream and OnClosedMediaStream reach it through the
    /// connections (joinMediaStream, unjoinMediaStream), so a manager needs no code of
    /// its own for the sound to flow.
    MediaJoiner& mediaJoiner() { return joiner_; }

    void shutDown() override;

private:
    static h224::FeccCapabilities defaultCameraCapabilities();
    Status checkDevice(const std::string& driver, const std::string& device,
                       SoundDirection direction) const;

    MediaJoiner joiner_;
    mutable std::mutex mutex_; // guards the members below
    std::string driver_ = kPulseAudioDriver;
    std::string playDevice_ = kDefaultSoundDevice;
    std::string recordDevice_ = kDefaultSoundDevice;
    unsigned bufferCount_ = 2;
    unsigned bufferTimeMs_ = 20;
    struct VideoInput
    {
        std::string driver;
        VideoInputParams params;
    };
    std::array<VideoInput, 2> videoInputs_; // by VideoRole
    VideoOutputFactory videoOutputFactory_;
    h224::FeccCapabilities cameraCapabilities_ = defaultCameraCapabilities();
    FeccObserverFactory feccObserverFactory_;
    bool mediaThroughCallbacks_ = false;
    std::atomic<bool> asksForPictures_{true};
};

} // namespace voip::pcss
