#include "voip/pcss/pcssendpoint.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "voip/base/trace.h"
#include "voip/media/stream.h"
#include "voip/pcss/pcssconnection.h"

namespace voip::pcss {

PcssEndPoint::PcssEndPoint(Manager& manager, std::string prefix)
    : EndPoint(manager, std::move(prefix))
{}

PcssEndPoint::~PcssEndPoint()
{
    joiner_.stopAll();
}

void PcssEndPoint::shutDown()
{
    joiner_.stopAll();
}

std::shared_ptr<Connection> PcssEndPoint::makeConnection(const std::shared_ptr<Call>& call,
                                                         const std::string& address,
                                                         const StringOptions& options)
{
    return createConnection(call, address, playDevice(), recordDevice(), options);
}

std::shared_ptr<PcssConnection> PcssEndPoint::createConnection(const std::shared_ptr<Call>& call,
                                                               const std::string& address,
                                                               const std::string& playDevice,
                                                               const std::string& recordDevice,
                                                               const StringOptions& options)
{
    return std::make_shared<PcssConnection>(call, *this, address, playDevice, recordDevice,
                                            options);
}

std::shared_ptr<SoundChannel> PcssEndPoint::createSoundChannel(const PcssConnection& connection,
                                                               const MediaFormat& format,
                                                               const std::string& device,
                                                               bool isSource)
{
    unsigned rate = pcmSampleRateFor(format);
    if (rate == 0)
        rate = format.clockRate();
    if (rate == 0)
        rate = 8000;
    SoundParams params;
    params.driver = soundDriver();
    params.device = device;
    params.direction = isSource ? SoundDirection::Recorder : SoundDirection::Player;
    params.channels = 1;
    params.sampleRate = rate;
    params.bitsPerSample = 16;
    params.bufferSize = rate * connection.soundChannelBufferTime() / 1000 * 2;
    params.bufferCount = connection.soundChannelBufferCount();
    auto channel = createOpenedSoundChannel(params);
    if (!channel) {
        VOIP_TRACE(1, "PCSS\tCannot open " << (isSource ? "record" : "play") << " device \""
                                           << device << "\" of " << params.driver << ": "
                                           << channel.error().message);
        return nullptr;
    }
    return std::shared_ptr<SoundChannel>(channel.take());
}

std::string PcssEndPoint::soundDriver() const
{
    std::lock_guard lock(mutex_);
    return driver_;
}

Status PcssEndPoint::setSoundDriver(const std::string& driver)
{
    const auto drivers = soundDriverNames();
    if (std::find(drivers.begin(), drivers.end(), driver) == drivers.end())
        return "no sound driver named \"" + driver + "\"";
    std::lock_guard lock(mutex_);
    if (driver_ != driver) {
        driver_ = driver;
        // A WAVFile device is a file: there is no default one to fall back to.
        const std::string fallback = driver == kWavFileDriver ? "" : kDefaultSoundDevice;
        playDevice_ = fallback;
        recordDevice_ = fallback;
    }
    return {};
}

std::string PcssEndPoint::playDevice() const
{
    std::lock_guard lock(mutex_);
    return playDevice_;
}

std::string PcssEndPoint::recordDevice() const
{
    std::lock_guard lock(mutex_);
    return recordDevice_;
}

Status PcssEndPoint::checkDevice(const std::string& driver, const std::string& device,
                                 SoundDirection direction) const
{
    const char* what = direction == SoundDirection::Recorder ? "record" : "play";
    if (device.empty())
        return std::string("no ") + what + " device given";
    if (driver == kWavFileDriver) {
        namespace fs = std::filesystem;
        std::error_code error;
        const fs::path path(device);
        if (direction == SoundDirection::Recorder) {
            if (!fs::is_regular_file(path, error) || !std::ifstream(path, std::ios::binary))
                return "cannot read the WAV file \"" + device + "\"";
            return {};
        }
        const auto folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (!path.has_filename() || !fs::is_directory(folder, error) ||
            fs::is_directory(path, error))
            return "cannot write a WAV file at \"" + device + "\"";
        return {};
    }
    const auto names = soundDeviceNames(driver, direction);
    const auto simplified = simplifyWhiteSpace(device);
    if (std::find(names.begin(), names.end(), simplified) != names.end())
        return {};
    if (driver == kNullDriver && device == kDefaultSoundDevice)
        return {};
    return std::string("no ") + what + " device \"" + device + "\" in " + driver;
}

Status PcssEndPoint::setPlayDevice(const std::string& device)
{
    const auto driver = soundDriver();
    if (auto status = checkDevice(driver, device, SoundDirection::Player); !status)
        return status;
    std::lock_guard lock(mutex_);
    if (driver_ != driver)
        return std::string("the sound driver changed meanwhile");
    playDevice_ = device;
    return {};
}

Status PcssEndPoint::setRecordDevice(const std::string& device)
{
    const auto driver = soundDriver();
    if (auto status = checkDevice(driver, device, SoundDirection::Recorder); !status)
        return status;
    std::lock_guard lock(mutex_);
    if (driver_ != driver)
        return std::string("the sound driver changed meanwhile");
    recordDevice_ = device;
    return {};
}

unsigned PcssEndPoint::soundChannelBufferCount() const
{
    std::lock_guard lock(mutex_);
    return bufferCount_;
}

unsigned PcssEndPoint::soundChannelBufferTime() const
{
    std::lock_guard lock(mutex_);
    return bufferTimeMs_;
}

Status PcssEndPoint::setSoundChannelBuffers(unsigned count, unsigned timeMs)
{
    if (count < 1 || count > 32)
        return "sound buffer count " + std::to_string(count) + " is outside 1 to 32";
    if (timeMs < 10 || timeMs > 240 || timeMs % 10 != 0)
        return "sound buffer time " + std::to_string(timeMs) +
               " ms is not a multiple of 10 from 10 to 240";
    std::lock_guard lock(mutex_);
    bufferCount_ = count;
    bufferTimeMs_ = timeMs;
    return {};
}

bool PcssEndPoint::takesMediaThroughCallbacks(const MediaFormat&, bool) const
{
    std::lock_guard lock(mutex_);
    return mediaThroughCallbacks_;
}

void PcssEndPoint::setMediaThroughCallbacks(bool enabled)
{
    std::lock_guard lock(mutex_);
    mediaThroughCallbacks_ = enabled;
}

void PcssEndPoint::setVideoInput(const std::string& driver, const VideoInputParams& params,
                                 VideoRole role)
{
    std::lock_guard lock(mutex_);
    videoInputs_[std::size_t(role)] = {driver, params};
}

std::string PcssEndPoint::videoInputDriver(VideoRole role) const
{
    std::lock_guard lock(mutex_);
    return videoInputs_[std::size_t(role)].driver;
}

VideoInputParams PcssEndPoint::videoInputParams(VideoRole role) const
{
    std::lock_guard lock(mutex_);
    return videoInputs_[std::size_t(role)].params;
}

bool PcssEndPoint::hasVideoInput(const PcssConnection&, VideoRole role) const
{
    return !videoInputDriver(role).empty();
}

MediaResult<std::unique_ptr<VideoInputDevice>>
PcssEndPoint::createVideoInputDevice(const PcssConnection&, VideoRole role) const
{
    return voip::createVideoInputDevice(videoInputDriver(role));
}

void PcssEndPoint::setVideoOutputFactory(VideoOutputFactory factory)
{
    std::lock_guard lock(mutex_);
    videoOutputFactory_ = std::move(factory);
}

std::shared_ptr<VideoOutput> PcssEndPoint::createVideoOutput(const PcssConnection& connection,
                                                             VideoRole role) const
{
    VideoOutputFactory factory;
    {
        std::lock_guard lock(mutex_);
        factory = videoOutputFactory_;
    }
    return factory ? factory(connection, role) : nullptr;
}

h224::FeccCapabilities PcssEndPoint::defaultCameraCapabilities()
{
    h224::FeccCapabilities capabilities;
    capabilities.sources.push_back(h224::VideoSourceCapabilities{});
    return capabilities;
}

void PcssEndPoint::setLocalCameraCapabilities(const h224::FeccCapabilities& capabilities)
{
    std::lock_guard lock(mutex_);
    cameraCapabilities_ = capabilities;
}

h224::FeccCapabilities PcssEndPoint::localCameraCapabilities() const
{
    std::lock_guard lock(mutex_);
    return cameraCapabilities_;
}

void PcssEndPoint::setFeccObserverFactory(FeccObserverFactory factory)
{
    std::lock_guard lock(mutex_);
    feccObserverFactory_ = std::move(factory);
}

std::shared_ptr<h224::FeccObserver>
PcssEndPoint::createFeccObserver(const PcssConnection& connection) const
{
    FeccObserverFactory factory;
    {
        std::lock_guard lock(mutex_);
        factory = feccObserverFactory_;
    }
    return factory ? factory(connection) : nullptr;
}

} // namespace voip::pcss
