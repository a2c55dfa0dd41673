#include "voip/device/sound_pulse.h"

#include <cmath>
#include <cstring>

#include <pulse/pulseaudio.h>

namespace voip {

/// A threaded mainloop with a connected context.  Methods marked "locked" expect the
/// caller to hold the mainloop lock.
class PulseContext
{
public:
    static MediaResult<std::unique_ptr<PulseContext>> connect()
    {
        std::unique_ptr<PulseContext> self(new PulseContext);
        self->loop_ = pa_threaded_mainloop_new();
        if (!self->loop_)
            return MediaFailure{MediaError::DeviceFailure, "PulseAudio: no mainloop"};
        self->context_ = pa_context_new(pa_threaded_mainloop_get_api(self->loop_), "Kestrovia");
        if (!self->context_)
            return MediaFailure{MediaError::DeviceFailure, "PulseAudio: no context"};
        pa_context_set_state_callback(self->context_, &PulseContext::signalLoop, self->loop_);
        if (pa_context_connect(self->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return MediaFailure{MediaError::DeviceFailure,
                                std::string("PulseAudio: cannot connect: ") +
                                    pa_strerror(pa_context_errno(self->context_))};
        if (pa_threaded_mainloop_start(self->loop_) < 0)
            return MediaFailure{MediaError::DeviceFailure, "PulseAudio: cannot start the mainloop"};
        self->started_ = true;
        self->lock();
        for (;;) {
            const auto state = pa_context_get_state(self->context_);
            if (state == PA_CONTEXT_READY)
                break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                const std::string error = pa_strerror(pa_context_errno(self->context_));
                self->unlock();
                return MediaFailure{MediaError::DeviceFailure,
                                    "PulseAudio: cannot connect: " + error};
            }
            self->wait();
        }
        self->unlock();
        return self;
    }

    ~PulseContext()
    {
        if (started_)
            pa_threaded_mainloop_stop(loop_);
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_)
            pa_threaded_mainloop_free(loop_);
    }

    void lock() { pa_threaded_mainloop_lock(loop_); }
    void unlock() { pa_threaded_mainloop_unlock(loop_); }
    void wait() { pa_threaded_mainloop_wait(loop_); }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    pa_context* context() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }
    bool good() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }
    std::string lastError() const { return pa_strerror(pa_context_errno(context_)); }

    /// Locked: waits until op has finished; false when op is null or the context died.
    bool run(pa_operation* op)
    {
        if (!op)
            return false;
        pa_operation_set_state_callback(
            op, [](pa_operation*, void* loop) { signalLoop(nullptr, loop); }, loop_);
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && good())
            wait();
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return done;
    }

    static void signalLoop(pa_context*, void* loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

private:
    PulseContext() = default;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
};

namespace {

struct DeviceEntry
{
    std::string name;
    std::string description;
    bool monitor = false;
    std::string monitorSource; ///< sinks: the source that records what the sink plays
    uint8_t channels = 1;
    pa_volume_t volume = PA_VOLUME_NORM;
    bool muted = false;
};

struct ListRequest
{
    std::vector<DeviceEntry> entries;
};

template <typename Info> void collect(const Info* info, ListRequest* request, bool monitor)
{
    DeviceEntry entry;
    entry.name = info->name ? info->name : "";
    entry.description = info->description ? info->description : entry.name;
    entry.monitor = monitor;
    entry.channels = info->volume.channels;
    entry.volume = pa_cvolume_avg(&info->volume);
    entry.muted = info->mute != 0;
    request->entries.push_back(std::move(entry));
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data)
{
    if (eol == 0 && info) {
        auto* request = static_cast<ListRequest*>(data);
        collect(info, request, false);
        if (info->monitor_source_name)
            request->entries.back().monitorSource = info->monitor_source_name;
    }
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* data)
{
    if (eol == 0 && info)
        collect(info, static_cast<ListRequest*>(data), info->monitor_of_sink != PA_INVALID_INDEX);
}

struct ServerDefaults
{
    std::string sink;
    std::string source;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* data)
{
    auto* defaults = static_cast<ServerDefaults*>(data);
    if (info) {
        defaults->sink = info->default_sink_name ? info->default_sink_name : "";
        defaults->source = info->default_source_name ? info->default_source_name : "";
    }
}

void onSuccess(pa_context*, int success, void* data)
{
    *static_cast<int*>(data) = success;
}

/// Locked: all devices of a direction (sources include monitors) and the default's name.
bool queryDevices(PulseContext& pulse, SoundDirection direction, std::vector<DeviceEntry>& out,
                  std::string& defaultName)
{
    ListRequest request;
    ServerDefaults defaults;
    if (!pulse.run(pa_context_get_server_info(pulse.context(), onServerInfo, &defaults)))
        return false;
    pa_operation* op =
        direction == SoundDirection::Player
            ? pa_context_get_sink_info_list(pulse.context(), onSinkInfo, &request)
            : pa_context_get_source_info_list(pulse.context(), onSourceInfo, &request);
    if (!pulse.run(op))
        return false;
    out = std::move(request.entries);
    defaultName = direction == SoundDirection::Player ? defaults.sink : defaults.source;
    return true;
}

/// Locked: the entry of one device by its server name.
bool queryDevice(PulseContext& pulse, SoundDirection direction, const std::string& name,
                 DeviceEntry& out)
{
    ListRequest request;
    pa_operation* op =
        direction == SoundDirection::Player
            ? pa_context_get_sink_info_by_name(pulse.context(), name.c_str(), onSinkInfo, &request)
            : pa_context_get_source_info_by_name(pulse.context(), name.c_str(), onSourceInfo,
                                                 &request);
    if (!pulse.run(op) || request.entries.empty())
        return false;
    out = request.entries.front();
    return true;
}

/// The entry a user's device name means: kDefaultSoundDevice (or empty) is the server's
/// default, anything else a description (white space simplified) or a server name.
const DeviceEntry* resolveDevice(const std::vector<DeviceEntry>& entries,
                                 const std::string& defaultName, const std::string& device)
{
    const bool useDefault = device.empty() || device == kDefaultSoundDevice;
    const auto wanted = simplifyWhiteSpace(device);
    for (const auto& entry : entries) {
        if (useDefault ? entry.name == defaultName
                       : entry.name == device || simplifyWhiteSpace(entry.description) == wanted)
            return &entry;
    }
    return nullptr;
}

} // namespace

PulseSoundChannel::PulseSoundChannel() = default;

MediaResult<std::string> PulseSoundChannel::monitorSourceOf(const std::string& playerDevice)
{
    auto pulse = PulseContext::connect();
    if (!pulse)
        return pulse.error();
    auto& context = *pulse.value();
    std::vector<DeviceEntry> entries;
    std::string defaultName;
    context.lock();
    const bool ok = queryDevices(context, SoundDirection::Player, entries, defaultName);
    context.unlock();
    if (!ok)
        return MediaFailure{MediaError::DeviceFailure, "PulseAudio: cannot list devices"};
    const auto* entry = resolveDevice(entries, defaultName, playerDevice);
    if (!entry || entry->monitorSource.empty())
        return MediaFailure{MediaError::NotFound, "PulseAudio: no output device named \"" +
                                                      playerDevice + "\" with a monitor"};
    return entry->monitorSource;
}

PulseSoundChannel::~PulseSoundChannel()
{
    close();
    context_.reset();
}

bool PulseSoundChannel::serverReachable()
{
    return PulseContext::connect().ok();
}

MediaResult<std::vector<SoundDeviceInfo>> PulseSoundChannel::devices(SoundDirection direction)
{
    auto pulse = PulseContext::connect();
    if (!pulse)
        return pulse.error();
    auto& context = *pulse.value();
    std::vector<DeviceEntry> entries;
    std::string defaultName;
    context.lock();
    const bool ok = queryDevices(context, direction, entries, defaultName);
    const std::string error = ok ? "" : context.lastError();
    context.unlock();
    if (!ok)
        return MediaFailure{MediaError::DeviceFailure, "PulseAudio: cannot list devices: " + error};
    std::vector<SoundDeviceInfo> devices;
    devices.push_back({kDefaultSoundDevice, "The system's default device", true});
    for (const auto& entry : entries) {
        // A monitor records what a sink plays: not a microphone to offer.
        if (entry.monitor)
            continue;
        devices.push_back({simplifyWhiteSpace(entry.description), entry.name, false});
        if (entry.name == defaultName)
            devices.back().isDefault = true;
    }
    return devices;
}

MediaFailure PulseSoundChannel::failedState(const char* what) const
{
    return MediaFailure{MediaError::DeviceFailure, "PulseAudio " + std::string(what) + " on \"" +
                                                       device_ +
                                                       "\" failed: " + context_->lastError()};
}

MediaStatus PulseSoundChannel::open(const SoundParams& params)
{
    close();
    context_.reset();
    if (auto status = validateSoundParams(params); !status)
        return status;
    pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, params.sampleRate, uint8_t(params.channels)};
    if (!pa_sample_spec_valid(&sampleFormat))
        return MediaFailure{MediaError::Unsupported, "PulseAudio: bad sample format"};

    auto pulse = PulseContext::connect();
    if (!pulse)
        return pulse.error();
    auto context = pulse.take();

    context->lock();
    std::vector<DeviceEntry> entries;
    std::string defaultName;
    if (!queryDevices(*context, params.direction, entries, defaultName)) {
        const auto error = context->lastError();
        context->unlock();
        return MediaFailure{MediaError::DeviceFailure, "PulseAudio: cannot list devices: " + error};
    }
    const bool useDefault = params.device.empty() || params.device == kDefaultSoundDevice;
    std::string serverName = useDefault ? defaultName : "";
    if (!useDefault) {
        const auto* entry = resolveDevice(entries, defaultName, params.device);
        if (!entry) {
            context->unlock();
            return MediaFailure{
                MediaError::NotFound,
                "PulseAudio: no " +
                    std::string(params.direction == SoundDirection::Player ? "output" : "input") +
                    " device named \"" + params.device + "\""};
        }
        serverName = entry->name;
    }

    pa_stream* stream = pa_stream_new(
        context->context(),
        params.direction == SoundDirection::Player ? "Kestrovia playback" : "Kestrovia capture",
        &sampleFormat, nullptr);
    if (!stream) {
        const auto error = context->lastError();
        context->unlock();
        return MediaFailure{MediaError::DeviceFailure, "PulseAudio: " + error};
    }
    auto signal = [](pa_stream*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    };
    auto signalSized = [](pa_stream*, size_t, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    };
    pa_stream_set_state_callback(stream, signal, context->loop());
    pa_stream_set_read_callback(stream, signalSized, context->loop());
    pa_stream_set_write_callback(stream, signalSized, context->loop());

    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    // Small buffers: a null sink's monitor recorded with the default (~2 s) buffering
    // delivers nothing for seconds.
    if (params.direction == SoundDirection::Player)
        attr.tlength = params.bufferSize * params.bufferCount;
    else
        attr.fragsize = params.bufferSize;
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY);
    if (!useDefault)
        flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
    const char* target = useDefault ? nullptr : serverName.c_str();
    const int rc = params.direction == SoundDirection::Player
                       ? pa_stream_connect_playback(stream, target, &attr, flags, nullptr, nullptr)
                       : pa_stream_connect_record(stream, target, &attr, flags);
    bool ready = rc == 0;
    while (ready) {
        const auto state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            break;
        if (!PA_STREAM_IS_GOOD(state)) {
            ready = false;
            break;
        }
        context->wait();
    }
    if (!ready) {
        const auto error = context->lastError();
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        context->unlock();
        return MediaFailure{MediaError::DeviceFailure,
                            "PulseAudio: cannot open \"" + params.device + "\": " + error};
    }
    if (useDefault) {
        // The device the server actually chose, for volume and mute.
        const char* actual = pa_stream_get_device_name(stream);
        if (actual)
            serverName = actual;
    }
    stream_ = stream;
    params_ = params;
    device_ = params.device.empty() ? kDefaultSoundDevice : params.device;
    serverName_ = serverName;
    closing_ = false;
    busy_ = 0;
    peekPending_ = false;
    context->unlock();
    context_ = std::move(context);
    return MediaStatus();
}

void PulseSoundChannel::close()
{
    if (!context_)
        return;
    context_->lock();
    closing_ = true;
    context_->signal();
    while (busy_ > 0)
        context_->wait();
    if (stream_) {
        if (peekPending_)
            pa_stream_drop(stream_);
        peekPending_ = false;
        if (params_.direction == SoundDirection::Player &&
            pa_stream_get_state(stream_) == PA_STREAM_READY)
            context_->run(pa_stream_drain(stream_, nullptr, nullptr));
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    context_->unlock();
    // The context stays until the channel is destroyed or opened again, so that a
    // read, write or volume call racing with this close finds a closed channel, not a
    // freed one.
}

bool PulseSoundChannel::isOpen() const
{
    if (!context_)
        return false;
    context_->lock();
    const bool open = stream_ && !closing_;
    context_->unlock();
    return open;
}

MediaStatus PulseSoundChannel::read(std::span<int16_t> samples)
{
    if (!context_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    if (params_.direction != SoundDirection::Recorder)
        return MediaFailure{MediaError::InvalidArgument, "read from a player channel"};
    auto* out = reinterpret_cast<uint8_t*>(samples.data());
    const size_t wanted = samples.size_bytes();
    size_t done = 0;
    context_->lock();
    ++busy_;
    MediaStatus status;
    while (done < wanted) {
        if (closing_ || !stream_) {
            status = MediaFailure{MediaError::Closed, "sound channel closed"};
            break;
        }
        if (!context_->good() || pa_stream_get_state(stream_) != PA_STREAM_READY) {
            status = failedState("recording");
            break;
        }
        if (peekPending_) {
            const size_t n = std::min(wanted - done, peekLength_ - peekOffset_);
            if (peekData_)
                std::memcpy(out + done, peekData_ + peekOffset_, n);
            else
                std::memset(out + done, 0, n); // a hole in the recording
            done += n;
            peekOffset_ += n;
            if (peekOffset_ >= peekLength_) {
                pa_stream_drop(stream_);
                peekPending_ = false;
            }
            continue;
        }
        const void* data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream_, &data, &length) < 0) {
            status = failedState("recording");
            break;
        }
        if (length == 0) {
            context_->wait();
            continue;
        }
        peekData_ = static_cast<const uint8_t*>(data);
        peekLength_ = length;
        peekOffset_ = 0;
        peekPending_ = true;
    }
    --busy_;
    context_->signal();
    context_->unlock();
    return status;
}

MediaStatus PulseSoundChannel::write(std::span<const int16_t> samples)
{
    if (!context_)
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    if (params_.direction != SoundDirection::Player)
        return MediaFailure{MediaError::InvalidArgument, "write to a recorder channel"};
    const auto* in = reinterpret_cast<const uint8_t*>(samples.data());
    const size_t total = samples.size_bytes();
    size_t done = 0;
    context_->lock();
    ++busy_;
    MediaStatus status;
    while (done < total) {
        if (closing_ || !stream_) {
            status = MediaFailure{MediaError::Closed, "sound channel closed"};
            break;
        }
        if (!context_->good() || pa_stream_get_state(stream_) != PA_STREAM_READY) {
            status = failedState("playback");
            break;
        }
        const size_t writable = pa_stream_writable_size(stream_);
        if (writable == size_t(-1)) {
            status = failedState("playback");
            break;
        }
        if (writable == 0) {
            context_->wait();
            continue;
        }
        size_t n = std::min(writable, total - done);
        n -= n % (2 * params_.channels);
        if (n == 0) {
            context_->wait();
            continue;
        }
        if (pa_stream_write(stream_, in + done, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            status = failedState("playback");
            break;
        }
        done += n;
    }
    --busy_;
    context_->signal();
    context_->unlock();
    return status;
}

MediaStatus PulseSoundChannel::setVolume(unsigned percent)
{
    if (percent > 100)
        return MediaFailure{MediaError::InvalidArgument, "volume above 100"};
    if (!isOpen())
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    context_->lock();
    DeviceEntry entry;
    int success = 0;
    if (queryDevice(*context_, params_.direction, serverName_, entry)) {
        pa_cvolume volume;
        pa_cvolume_set(&volume, entry.channels,
                       pa_volume_t(std::lround(percent * double(PA_VOLUME_NORM) / 100.0)));
        pa_operation* op =
            params_.direction == SoundDirection::Player
                ? pa_context_set_sink_volume_by_name(context_->context(), serverName_.c_str(),
                                                     &volume, onSuccess, &success)
                : pa_context_set_source_volume_by_name(context_->context(), serverName_.c_str(),
                                                       &volume, onSuccess, &success);
        if (!context_->run(op))
            success = 0;
    }
    context_->unlock();
    if (!success)
        return failedState("set volume");
    return MediaStatus();
}

MediaResult<unsigned> PulseSoundChannel::volume() const
{
    if (!isOpen())
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    context_->lock();
    DeviceEntry entry;
    const bool ok = queryDevice(*context_, params_.direction, serverName_, entry);
    context_->unlock();
    if (!ok)
        return failedState("get volume");
    return unsigned(std::lround(entry.volume * 100.0 / PA_VOLUME_NORM));
}

MediaStatus PulseSoundChannel::setMute(bool muted)
{
    if (!isOpen())
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    context_->lock();
    int success = 0;
    pa_operation* op =
        params_.direction == SoundDirection::Player
            ? pa_context_set_sink_mute_by_name(context_->context(), serverName_.c_str(), muted,
                                               onSuccess, &success)
            : pa_context_set_source_mute_by_name(context_->context(), serverName_.c_str(), muted,
                                                 onSuccess, &success);
    if (!context_->run(op))
        success = 0;
    context_->unlock();
    if (!success)
        return failedState("set mute");
    return MediaStatus();
}

MediaResult<bool> PulseSoundChannel::mute() const
{
    if (!isOpen())
        return MediaFailure{MediaError::NotOpen, "sound channel is not open"};
    context_->lock();
    DeviceEntry entry;
    const bool ok = queryDevice(*context_, params_.direction, serverName_, entry);
    context_->unlock();
    if (!ok)
        return failedState("get mute");
    return entry.muted;
}

} // namespace voip
