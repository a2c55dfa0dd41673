// Screen capture in a Wayland session.  The desktop's screen-cast portal
// (org.freedesktop.portal.ScreenCast on the session bus) asks the user which screen or
// window to share, with the desktop's own chooser, and hands over a PipeWire stream of it.
//
// Threads: the portal conversation runs on the thread that created the capture (its event
// loop delivers the portal's answers).  The stream's pictures arrive on PipeWire's loop
// thread, which copies the newest one under `mutex_`; capture() on the display thread
// scales and converts it only when asked, so a fast screen costs one copy per picture.

#include "KxPhone/platform/capture_portal.h"

#include "KxPhone/kxdisplay.h"
#include "KxPhone/platform/fitpicture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QFileInfo>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <libyuv/convert.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace {

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString ScreenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString CameraInterface = QStringLiteral("org.freedesktop.portal.Camera");
const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString SessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// The portal's source types, cursor modes and persistence.
constexpr uint MonitorSource = 1;
constexpr uint WindowSource = 2;
constexpr uint CursorHidden = 1;
constexpr uint CursorEmbedded = 2;
constexpr uint PersistUntilRevoked = 2;

/// The quick steps of the conversation, and the chooser, where a user decides.
constexpr int StepTimeoutMs = 10000;
constexpr int DefaultChooserTimeoutMs = 180000;
std::atomic<int> chooserTimeoutMs{DefaultChooserTimeoutMs};

/// How long a stream may take to agree on a picture format.
constexpr std::chrono::seconds FormatWait{5};
/// How long a camera's remote may take to list the camera the portal granted.
constexpr std::chrono::seconds CameraWait{5};

/// A stream's picture size comes from another process: larger ones are refused.
constexpr unsigned MaxSide = 8192;

/// The pixel layouts read, and libyuv's converter of each to I420 (libyuv names a layout
/// by its 32-bit word, PipeWire by its octets in memory): 4 octets a pixel, or 2 for the
/// packed YUV of cameras.
unsigned octetsOf(spa_video_format format)
{
    return format == SPA_VIDEO_FORMAT_YUY2 || format == SPA_VIDEO_FORMAT_UYVY ? 2 : 4;
}

ToI420 converterOf(spa_video_format format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_YUY2:
        return libyuv::YUY2ToI420;
    case SPA_VIDEO_FORMAT_UYVY:
        return libyuv::UYVYToI420;
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return libyuv::ARGBToI420;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return libyuv::ABGRToI420;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
        return libyuv::BGRAToI420;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
        return libyuv::RGBAToI420;
    default:
        return nullptr;
    }
}

/// What a portal shares: a screen (or window), or a camera.
enum class Shared
{
    Screen,
    Camera,
};

/// One PipeWire video stream of the portal's remote, read on PipeWire's loop thread.
class PipeWireStream
{
public:
    using Unavailable = ScreenCapture::Unavailable;

    /// A camera's stream asks for pictures of width x height (the camera picks the
    /// nearest it has).
    explicit PipeWireStream(Shared shared, unsigned width = 1920, unsigned height = 1080)
        : shared_(shared)
        , wantedWidth_(std::clamp(width, 2u, MaxSide))
        , wantedHeight_(std::clamp(height, 2u, MaxSide))
    {
        static std::once_flag initialised;
        std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    }

    ~PipeWireStream()
    {
        if (loop_)
            pw_thread_loop_stop(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (registry_)
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        if (core_)
            pw_core_disconnect(core_);
        if (context_)
            pw_context_destroy(context_);
        if (loop_)
            pw_thread_loop_destroy(loop_);
    }
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    /// Connects through `fd` (taken) to node `node` (for a camera, PW_ID_ANY: the first
    /// camera the remote lists); false when PipeWire refuses or lists no camera.
    bool open(int fd, uint32_t node)
    {
        loop_ = pw_thread_loop_new("kx-screen", nullptr);
        if (!loop_) {
            ::close(fd);
            return false;
        }
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (!context_ || pw_thread_loop_start(loop_) < 0) {
            ::close(fd);
            return false;
        }
        pw_thread_loop_lock(loop_);
        {
            std::lock_guard lock(mutex_);
            connectedAt_ = std::chrono::steady_clock::now();
        }
        const bool connected = connect(fd, node);
        pw_thread_loop_unlock(loop_);
        return connected;
    }

    /// Why the stream stopped; a stream that has agreed no picture format a while after
    /// connecting offered none this client reads (PipeWire leaves such a link waiting).
    Unavailable failure() const
    {
        if (failure_ != Unavailable::None)
            return failure_;
        std::lock_guard lock(mutex_);
        if (formatWidth_ == 0 && std::chrono::steady_clock::now() - connectedAt_ > FormatWait)
            return Unavailable::UnreadableFormat;
        return Unavailable::None;
    }

    /// The newest picture, fitted into width x height (its shape kept) and converted to
    /// I420 into `picture`; false when there is none newer than the last one taken at that
    /// size.
    bool take(std::vector<uint8_t>& picture, unsigned width, unsigned height)
    {
        std::lock_guard lock(mutex_);
        if (pixels_.empty() || !convert_ ||
            (taken_ == serial_ && width == takenWidth_ && height == takenHeight_))
            return false;
        if (shared_ == Shared::Camera)
            fillFromCamera(picture, width, height);
        else
            fitIntoI420(pixels_.data(), pixelsWidth_, pixelsHeight_, int(pixelsWidth_) * 4,
                        convert_, scaled_, picture, width, height);
        taken_ = serial_;
        takenWidth_ = width;
        takenHeight_ = height;
        return true;
    }

private:
    const char* label() const
    {
        return shared_ == Shared::Camera ? "Camera stream" : "Screen stream";
    }

    /// A camera's picture fills width x height as a camera's does: converted, then its
    /// middle part of that shape scaled (nothing to do when the camera gave that size).
    void fillFromCamera(std::vector<uint8_t>& picture, unsigned width, unsigned height)
    {
        const unsigned w = pixelsWidth_ & ~1u, h = pixelsHeight_ & ~1u;
        const std::size_t size = std::size_t(width) * height * 3 / 2;
        const bool direct = w == width && h == height;
        std::vector<uint8_t>& converted = direct ? picture : scaled_;
        converted.resize(std::size_t(w) * h * 3 / 2);
        uint8_t* y = converted.data();
        uint8_t* u = y + std::size_t(w) * h;
        uint8_t* v = u + std::size_t(w / 2) * (h / 2);
        convert_(pixels_.data(), int(pixelsWidth_ * pixelsOctets_), y, int(w), u, int(w / 2), v,
                 int(w / 2), int(w), int(h));
        if (direct)
            return;
        // The same middle part the display takes of any picture of another shape.
        const KxRect part = KxDisplay::coverPart(w, h, width, height);
        const unsigned left = part.x, top = part.y, partWidth = part.width,
                       partHeight = part.height;
        picture.resize(size);
        uint8_t* toY = picture.data();
        uint8_t* toU = toY + std::size_t(width) * height;
        uint8_t* toV = toU + std::size_t(width / 2) * (height / 2);
        libyuv::I420Scale(y + std::size_t(top) * w + left, int(w),
                          u + std::size_t(top / 2) * (w / 2) + left / 2, int(w / 2),
                          v + std::size_t(top / 2) * (w / 2) + left / 2, int(w / 2), int(partWidth),
                          int(partHeight), toY, int(width), toU, int(width / 2), toV,
                          int(width / 2), int(width), int(height), libyuv::kFilterBox);
    }

    /// The first camera node the remote lists; false without one. The portal's remote sees
    /// no node until the session manager grants it the camera, which it does a moment after
    /// the remote connects (later still on a busy machine), so one round trip is not enough:
    /// the camera is awaited for a while.
    bool findCamera()
    {
        const auto until = std::chrono::steady_clock::now() + CameraWait;
        while (cameraNode_ == SPA_ID_INVALID && std::chrono::steady_clock::now() < until)
            pw_thread_loop_timed_wait(loop_, 1);
        if (cameraNode_ == SPA_ID_INVALID) {
            std::cerr << "Camera stream: the desktop's PipeWire lists no camera" << std::endl;
            return false;
        }
        node_ = cameraNode_;
        std::cout << "Camera stream: node " << node_ << " (" << cameraName_ << ")" << std::endl;
        return true;
    }

    bool connect(int fd, uint32_t node)
    {
        core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
        if (!core_)
            return false;
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = [](void* self, uint32_t id, int, int, const char* message) {
                if (id == PW_ID_CORE) {
                    std::cerr << static_cast<PipeWireStream*>(self)->label()
                              << ": PipeWire: " << message << std::endl;
                    static_cast<PipeWireStream*>(self)->failure_ = Unavailable::Ended;
                }
            };
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        // The shared screen's node going away (the share stopped, the screen unplugged)
        // leaves a stream that just waits: the registry says so.
        node_ = node;
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global = [](void* self, uint32_t id, uint32_t, const char* type, uint32_t,
                               const spa_dict* props) {
                auto* stream = static_cast<PipeWireStream*>(self);
                if (stream->cameraNode_ != SPA_ID_INVALID || !props ||
                    std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
                    return;
                const char* role = spa_dict_lookup(props, PW_KEY_MEDIA_ROLE);
                const char* media = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
                if (role && std::strcmp(role, "Camera") == 0 && media &&
                    std::strcmp(media, "Video/Source") == 0) {
                    stream->cameraNode_ = id;
                    const char* name = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
                    stream->cameraName_ = name ? name : "";
                    pw_thread_loop_signal(stream->loop_, false);
                }
            };
            events.global_remove = [](void* self, uint32_t id) {
                auto* stream = static_cast<PipeWireStream*>(self);
                if (id == stream->node_ && stream->failure_ == Unavailable::None) {
                    std::cerr << stream->label() << ": the shared source went away" << std::endl;
                    stream->failure_ = Unavailable::Ended;
                }
            };
            return events;
        }();
        if (registry_)
            pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        const bool camera = shared_ == Shared::Camera;
        if (camera && (!registry_ || !findCamera()))
            return false;

        stream_ = pw_stream_new(core_, camera ? "Kestrovia camera" : "Kestrovia screen",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE,
                                                  camera ? "Camera" : "Screen", nullptr));
        if (!stream_)
            return false;
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                      const char* error) {
                static_cast<PipeWireStream*>(self)->stateChanged(state, error);
            };
            events.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
                static_cast<PipeWireStream*>(self)->paramChanged(id, param);
            };
            events.process = [](void* self) { static_cast<PipeWireStream*>(self)->process(); };
            return events;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

        // The layouts this source is read in, the first preferred. Packed YUV only from a
        // camera: a screen's pictures are fitted as 4-octet pixels.
        std::vector<uint32_t> formats = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                         SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
                                         SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB,
                                         SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};
        if (camera)
            formats.insert(formats.end(), {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_UYVY});
        uint8_t choiceBuffer[256];
        spa_pod_builder choiceBuilder = SPA_POD_BUILDER_INIT(choiceBuffer, sizeof choiceBuffer);
        spa_pod_frame choiceFrame;
        spa_pod_builder_push_choice(&choiceBuilder, &choiceFrame, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(&choiceBuilder, camera ? SPA_VIDEO_FORMAT_YUY2 : SPA_VIDEO_FORMAT_BGRx);
        for (const uint32_t format : formats)
            spa_pod_builder_id(&choiceBuilder, format);
        const auto* choice =
            static_cast<const spa_pod*>(spa_pod_builder_pop(&choiceBuilder, &choiceFrame));

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle defaultSize{wantedWidth_, wantedHeight_}, minSize{2, 2},
            maxSize{MaxSide, MaxSide};
        spa_fraction defaultRate{25, 1}, minRate{0, 1}, maxRate{60, 1};
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Pod(choice),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
        const int result = pw_stream_connect(
            stream_, PW_DIRECTION_INPUT, node_,
            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        if (result < 0) {
            std::cerr << label() << ": cannot connect to node " << node_ << ": "
                      << std::strerror(-result) << std::endl;
            return false;
        }
        return true;
    }

    void stateChanged(pw_stream_state state, const char* error)
    {
        if (state == PW_STREAM_STATE_STREAMING || state == PW_STREAM_STATE_PAUSED)
            connected_ = true;
        if (state == PW_STREAM_STATE_ERROR ||
            (state == PW_STREAM_STATE_UNCONNECTED && connected_)) {
            std::cerr << label() << " ended" << (error ? std::string(": ") + error : "")
                      << std::endl;
            // A stream that fails before any picture format was agreed offered none we read.
            bool agreed = false;
            {
                std::lock_guard lock(mutex_);
                agreed = formatWidth_ != 0;
            }
            if (failure_ == Unavailable::None)
                failure_ = agreed ? Unavailable::Ended : Unavailable::UnreadableFormat;
        }
    }

    void paramChanged(uint32_t id, const spa_pod* param)
    {
        if (!param || id != SPA_PARAM_Format)
            return;
        uint32_t mediaType = 0, mediaSubtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
            mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0 || !converterOf(info.format) ||
            (shared_ == Shared::Screen && octetsOf(info.format) != 4) || info.size.width < 2 ||
            info.size.height < 2 || info.size.width > MaxSide || info.size.height > MaxSide) {
            std::cerr << label() << ": a picture format this client cannot read" << std::endl;
            failure_ = Unavailable::UnreadableFormat;
            return;
        }
        {
            std::lock_guard lock(mutex_);
            format_ = info.format;
            formatWidth_ = info.size.width;
            formatHeight_ = info.size.height;
        }
        std::cout << label() << " " << formatWidth_ << "x" << formatHeight_ << std::endl;
        // Pictures in memory this process can read (not DMA-BUF, which needs the GPU).
        uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        pw_stream_update_params(stream_, params, 1);
    }

    void process()
    {
        pw_buffer* newest = nullptr;
        // Only the newest waiting picture counts.
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
            if (newest)
                pw_stream_queue_buffer(stream_, newest);
            newest = next;
        }
        if (!newest)
            return;
        copy(*newest->buffer);
        pw_stream_queue_buffer(stream_, newest);
    }

    void copy(const spa_buffer& buffer)
    {
        if (buffer.n_datas < 1)
            return;
        const spa_data& data = buffer.datas[0];
        if (!data.data || !data.chunk || data.chunk->size == 0 ||
            (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
            return;
        std::lock_guard lock(mutex_);
        const unsigned width = formatWidth_;
        const unsigned height = formatHeight_;
        const uint64_t row = uint64_t(width) * octetsOf(format_);
        const uint64_t stride = data.chunk->stride > 0 ? uint64_t(data.chunk->stride) : row;
        const uint64_t offset = data.chunk->offset % std::max<uint32_t>(data.maxsize, 1);
        // Every row must lie inside the buffer the stream mapped.
        if (width == 0 || stride < row || offset + stride * (height - 1) + row > data.maxsize)
            return;
        pixels_.resize(std::size_t(row) * height);
        libyuv::CopyPlane(static_cast<const uint8_t*>(data.data) + offset, int(stride),
                          pixels_.data(), int(row), int(row), int(height));
        pixelsWidth_ = width;
        pixelsHeight_ = height;
        convert_ = converterOf(format_);
        pixelsOctets_ = octetsOf(format_);
        ++serial_;
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    pw_registry* registry_ = nullptr;
    uint32_t node_ = 0;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};
    const Shared shared_;
    const unsigned wantedWidth_;
    const unsigned wantedHeight_;
    bool connected_ = false; // the loop thread's
    std::atomic<Unavailable> failure_{Unavailable::None};
    // Finding a camera (the loop thread's, read once it signalled):
    uint32_t cameraNode_ = SPA_ID_INVALID;
    std::string cameraName_;

    mutable std::mutex mutex_; // guards the members below
    std::chrono::steady_clock::time_point connectedAt_;
    spa_video_format format_ = SPA_VIDEO_FORMAT_UNKNOWN;
    unsigned formatWidth_ = 0;
    unsigned formatHeight_ = 0;
    std::vector<uint8_t> pixels_;
    unsigned pixelsWidth_ = 0;
    unsigned pixelsHeight_ = 0;
    ToI420 convert_ = nullptr;
    unsigned pixelsOctets_ = 4;
    uint64_t serial_ = 0;
    uint64_t taken_ = 0;
    unsigned takenWidth_ = 0;
    unsigned takenHeight_ = 0;
    std::vector<uint8_t> scaled_;
};

class PortalCapture final : public QObject, public ScreenCapture
{
    Q_OBJECT

public:
    explicit PortalCapture(Shared shared = Shared::Screen)
        : shared_(shared)
        , interface_(shared == Shared::Camera ? CameraInterface : ScreenCastInterface)
        , bus_(QDBusConnection::connectToBus(sessionBusAddress(), connectionName()))
    {
        timeout_.setSingleShot(true);
        QObject::connect(&timeout_, &QTimer::timeout, this, [this] {
            std::cerr << "Screen share: the desktop portal did not answer" << std::endl;
            fail(Unavailable::NoAnswer);
        });
    }
    ~PortalCapture() override
    {
        release();
        QDBusConnection::disconnectFromBus(bus_.name());
    }

    Unavailable unavailable() const override
    {
        std::call_once(probed_, [this] { probe(); });
        return available_ ? Unavailable::None : Unavailable::NoPortal;
    }
    bool asksFirst() const override { return true; }

    std::vector<Window> windows() override { return {}; }
    bool windowExists(std::uint64_t window) override { return window == 0; }

    bool capture(std::uint64_t, std::vector<std::uint8_t>& picture, unsigned width,
                 unsigned height) override
    {
        std::lock_guard lock(streamMutex_);
        return stream_ && stream_->take(picture, width, height);
    }

    void begin() override
    {
        release();
        stopped_ = Unavailable::None;
        if (unavailable() != Unavailable::None) {
            stopped_ = Unavailable::NoPortal;
            return;
        }
        if (shared_ == Shared::Camera) {
            // The desktop asks the user (once; it remembers) whether we may use a camera.
            std::cout << "Camera: asking the desktop" << std::endl;
            request(Step::Access, "AccessCamera", {}, {}, chooserTimeoutMs);
            return;
        }
        std::cout << "Screen share: asking the desktop" << std::endl;
        QVariantMap options;
        options.insert("session_handle_token", token());
        request(Step::CreateSession, "CreateSession", {}, options, StepTimeoutMs);
    }

    void end() override
    {
        if (QThread::currentThread() != thread()) {
            QMetaObject::invokeMethod(
                this, [this] { release(); }, Qt::QueuedConnection);
            return;
        }
        release();
    }

    Unavailable stopped() const override
    {
        if (stopped_ != Unavailable::None)
            return stopped_;
        std::lock_guard lock(streamMutex_);
        return stream_ ? stream_->failure() : Unavailable::None;
    }

private slots:
    void onResponse(uint response, const QVariantMap& results)
    {
        // Only the pending request's path is listened to.
        unsubscribeRequest();
        timeout_.stop();
        const Step step = step_;
        step_ = Step::Idle;
        if (response != 0) {
            std::cerr << (shared_ == Shared::Camera ? "Camera" : "Screen share")
                      << " refused by the desktop (answer " << response << " at step " << int(step)
                      << ")" << std::endl;
            fail(Unavailable::Refused);
            return;
        }
        switch (step) {
        case Step::CreateSession:
            sessionCreated(results);
            break;
        case Step::SelectSources: {
            QVariantMap options;
            request(Step::Start, "Start",
                    {QVariant::fromValue(QDBusObjectPath(session_)), QString()}, options,
                    chooserTimeoutMs);
            break;
        }
        case Step::Start:
            started(results);
            break;
        case Step::Access:
            openStream(PW_ID_ANY);
            break;
        case Step::Idle:
            break;
        }
    }

    void onSessionClosed()
    {
        if (session_.isEmpty())
            return;       // closed by us, the signal already on its way
        session_.clear(); // the desktop closed it: nothing to close
        // Closed before the share began (the portal may say so before it answers the
        // pending request): the desktop did not allow it.
        bool sharing = false;
        {
            std::lock_guard lock(streamMutex_);
            sharing = stream_ != nullptr;
        }
        std::cerr << (sharing ? "Screen share stopped from the desktop"
                              : "Screen share: the desktop closed the session before it began")
                  << std::endl;
        fail(sharing ? Unavailable::Ended : Unavailable::Refused);
    }

private:
    enum class Step
    {
        Idle,
        CreateSession,
        SelectSources,
        Start,
        Access, ///< a camera's
    };

    /// The session bus of the environment now (libdbus keeps the first one it saw), or the
    /// one a systemd user session keeps in the runtime folder.
    static QString sessionBusAddress()
    {
        const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        if (!address.isEmpty())
            return address;
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (!runtime.isEmpty() && QFileInfo::exists(runtime + "/bus"))
            return "unix:path=" + runtime + "/bus";
        return {};
    }

    /// A connection of each capture's own, to the session bus of the environment it starts in.
    static QString connectionName()
    {
        static std::atomic<unsigned> captures{0};
        return QString("kestrovia-screen-%1").arg(++captures);
    }

    void probe() const
    {
        if (!bus_.isConnected()) {
            std::cerr << "Screen share: no session bus" << std::endl;
            return;
        }
        QDBusMessage get = QDBusMessage::createMethodCall(
            PortalService, PortalPath, "org.freedesktop.DBus.Properties", "GetAll");
        get << interface_;
        // The portal may start on this call: it gets a few seconds.
        const QDBusMessage reply = bus_.call(get, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            std::cerr << "Screen share: no desktop portal: " << reply.errorMessage().toStdString()
                      << std::endl;
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().first());
        version_ = properties.value("version").toUInt();
        if (shared_ == Shared::Camera) {
            available_ = version_ > 0 && properties.value("IsCameraPresent").toBool();
            std::cout << "Camera: portal version " << version_ << ", "
                      << (available_ ? "a camera" : "no camera") << std::endl;
            return;
        }
        sourceTypes_ = properties.value("AvailableSourceTypes").toUInt();
        cursorModes_ = properties.value("AvailableCursorModes").toUInt();
        available_ = version_ > 0 && (sourceTypes_ & (MonitorSource | WindowSource)) != 0;
        std::cout << "Screen share: portal version " << version_ << ", sources " << sourceTypes_
                  << ", cursor modes " << cursorModes_ << std::endl;
    }

    QString token() { return QString("kestrovia%1").arg(++tokens_); }

    /// Calls `method` with `arguments` and `options` (a handle token added) and waits for
    /// its Request's Response, at most `timeoutMs`.
    void request(Step step, const QString& method, QVariantList arguments, QVariantMap options,
                 int timeoutMs)
    {
        const QString handle = token();
        options.insert("handle_token", handle);
        // The portal names the request after our bus name and the token; listen before
        // asking, so that no answer comes before we listen.
        QString sender = bus_.baseService().mid(1);
        sender.replace('.', '_');
        subscribeRequest(QString("%1/request/%2/%3").arg(PortalPath, sender, handle));
        step_ = step;
        timeout_.start(timeoutMs);
        QDBusMessage call =
            QDBusMessage::createMethodCall(PortalService, PortalPath, interface_, method);
        arguments.append(options);
        call.setArguments(arguments);
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, StepTimeoutMs), this);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                         [this, watcher, method, generation = generation_] {
                             watcher->deleteLater();
                             if (generation != generation_)
                                 return;
                             QDBusPendingReply<QDBusObjectPath> reply = *watcher;
                             if (reply.isError()) {
                                 std::cerr << "Screen share: " << method.toStdString() << ": "
                                           << reply.error().message().toStdString() << std::endl;
                                 fail(Unavailable::Refused);
                             } else if (reply.value().path() != requestPath_) {
                                 // An older portal names its requests its own way.
                                 subscribeRequest(reply.value().path());
                             }
                         });
    }

    void subscribeRequest(const QString& path)
    {
        unsubscribeRequest();
        requestPath_ = path;
        bus_.connect(PortalService, path, RequestInterface, "Response", this,
                     SLOT(onResponse(uint, QVariantMap)));
    }
    void unsubscribeRequest()
    {
        if (requestPath_.isEmpty())
            return;
        bus_.disconnect(PortalService, requestPath_, RequestInterface, "Response", this,
                        SLOT(onResponse(uint, QVariantMap)));
        requestPath_.clear();
    }

    void sessionCreated(const QVariantMap& results)
    {
        session_ = results.value("session_handle").toString();
        if (session_.isEmpty()) {
            fail(Unavailable::Refused);
            return;
        }
        bus_.connect(PortalService, session_, SessionInterface, "Closed", this,
                     SLOT(onSessionClosed()));
        QVariantMap options;
        const uint wanted = sourceTypes_ & (MonitorSource | WindowSource);
        options.insert("types", QVariant::fromValue(wanted ? wanted : MonitorSource));
        options.insert("multiple", false);
        // The pointer drawn in the pictures where the desktop can, else left out.
        if (cursorModes_ & CursorEmbedded)
            options.insert("cursor_mode", QVariant::fromValue(CursorEmbedded));
        else if (cursorModes_ & CursorHidden)
            options.insert("cursor_mode", QVariant::fromValue(CursorHidden));
        if (version_ >= 4) {
            options.insert("persist_mode", QVariant::fromValue(PersistUntilRevoked));
            if (!restoreToken_.empty())
                options.insert("restore_token", QString::fromStdString(restoreToken_));
        }
        request(Step::SelectSources, "SelectSources",
                {QVariant::fromValue(QDBusObjectPath(session_))}, options, StepTimeoutMs);
    }

    void started(const QVariantMap& results)
    {
        const QString token = results.value("restore_token").toString();
        if (!token.isEmpty() && token.toStdString() != restoreToken_) {
            restoreToken_ = token.toStdString();
            if (restoreTokenChanged)
                restoreTokenChanged(restoreToken_);
        }
        const QDBusArgument streams = results.value("streams").value<QDBusArgument>();
        uint node = 0;
        bool found = false;
        if (streams.currentSignature() == "a(ua{sv})") {
            streams.beginArray();
            while (!streams.atEnd() && !found) {
                QVariantMap properties;
                streams.beginStructure();
                streams >> node >> properties;
                streams.endStructure();
                found = true;
            }
            streams.endArray();
        }
        if (!found) {
            std::cerr << "Screen share: the desktop gave no stream" << std::endl;
            fail(Unavailable::Refused);
            return;
        }
        openStream(node);
    }

    /// Opens the portal's PipeWire remote and the stream of `node` (a camera: the first
    /// the remote lists).
    void openStream(uint node)
    {
        QDBusMessage open = QDBusMessage::createMethodCall(PortalService, PortalPath, interface_,
                                                           "OpenPipeWireRemote");
        if (shared_ == Shared::Screen)
            open << QVariant::fromValue(QDBusObjectPath(session_));
        open << QVariantMap();
        const QDBusMessage reply = bus_.call(open, QDBus::Block, StepTimeoutMs);
        const QDBusUnixFileDescriptor fd =
            reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                ? qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().first())
                : QDBusUnixFileDescriptor();
        if (!fd.isValid()) {
            std::cerr << "Screen share: no PipeWire remote: " << reply.errorMessage().toStdString()
                      << std::endl;
            fail(Unavailable::Refused);
            return;
        }
        // The stream opens on a thread of its own: a camera may wait seconds for the session
        // manager to grant it, and the window must not wait with it.
        joinOpener();
        opener_ = std::thread([this, generation = generation_, shared = shared_,
                               width = wantedWidth_, height = wantedHeight_,
                               remote = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3), node] {
            auto stream = std::make_shared<PipeWireStream>(shared, width, height);
            const bool opened = stream->open(remote, node);
            QMetaObject::invokeMethod(
                this,
                [this, generation, opened, node, stream] {
                    streamOpened(generation, opened, node, stream);
                },
                Qt::QueuedConnection);
        });
    }

    void streamOpened(unsigned generation, bool opened, uint node,
                      const std::shared_ptr<PipeWireStream>& stream)
    {
        joinOpener();
        if (generation != generation_)
            return; // let go meanwhile
        if (!opened) {
            fail(Unavailable::Ended);
            return;
        }
        if (shared_ == Shared::Screen)
            std::cout << "Screen share: stream " << node << std::endl;
        std::lock_guard lock(streamMutex_);
        stream_ = stream;
    }

    void joinOpener()
    {
        if (opener_.joinable())
            opener_.join();
    }

    void fail(Unavailable why)
    {
        release();
        stopped_ = why;
    }

    /// Lets the share go: the stream, the pending request and the portal's session.
    void release()
    {
        ++generation_;
        // A stream still opening is let go once open (it takes at most the camera's wait).
        joinOpener();
        timeout_.stop();
        unsubscribeRequest();
        step_ = Step::Idle;
        std::shared_ptr<PipeWireStream> stream;
        {
            std::lock_guard lock(streamMutex_);
            stream = std::move(stream_);
        }
        stream.reset();
        if (!session_.isEmpty()) {
            bus_.disconnect(PortalService, session_, SessionInterface, "Closed", this,
                            SLOT(onSessionClosed()));
            bus_.asyncCall(
                QDBusMessage::createMethodCall(PortalService, session_, SessionInterface, "Close"));
            session_.clear();
        }
    }

    const Shared shared_;
    const QString interface_;
    QDBusConnection bus_;
    mutable std::once_flag probed_;
    mutable bool available_ = false;
    mutable uint version_ = 0;
    mutable uint sourceTypes_ = 0;
    mutable uint cursorModes_ = 0;
    QTimer timeout_;
    Step step_ = Step::Idle;
    QString requestPath_;
    QString session_;
    unsigned tokens_ = 0;
    unsigned generation_ = 0;
    std::atomic<Unavailable> stopped_{Unavailable::None};
    mutable std::mutex streamMutex_; // guards stream_ (the display thread captures)
    std::shared_ptr<PipeWireStream> stream_;
    std::thread opener_; ///< opens the stream, off the GUI thread
};

} // namespace

void setPortalChooserTimeout(std::chrono::milliseconds timeout)
{
    chooserTimeoutMs = timeout.count() > 0 ? int(timeout.count()) : DefaultChooserTimeoutMs;
}

std::unique_ptr<ScreenCapture> createPortalCapture()
{
    return std::make_unique<PortalCapture>();
}

std::unique_ptr<ScreenCapture> createPortalCamera()
{
    return std::make_unique<PortalCapture>(Shared::Camera);
}

#include "capture_portal.moc"
