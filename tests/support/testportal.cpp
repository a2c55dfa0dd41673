#include "tests/support/testportal.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <mutex>
#include <vector>

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QCoreApplication>
#include <QSet>
#include <QThread>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace kxtest {

// --- the source --------------------------------------------------------------------------

struct TestScreenSource::State
{
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_source* timer = nullptr;
    std::atomic<unsigned> width{0};
    std::atomic<unsigned> height{0};
    std::atomic<unsigned> sent{0};
    spa_video_format pixels = SPA_VIDEO_FORMAT_BGRx;

    const spa_pod* format(spa_pod_builder& builder) const
    {
        spa_rectangle size{width, height};
        spa_fraction rate{25, 1};
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(pixels),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&rate)));
    }

    void paramChanged(uint32_t id, const spa_pod* param)
    {
        if (!param || id != SPA_PARAM_Format)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const int stride = int(info.size.width) * (pixels == SPA_VIDEO_FORMAT_YUY2 ? 2 : 4);
        const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * int(info.size.height)),
            SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))))};
        pw_stream_update_params(stream, params, 1);
    }

    void process()
    {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer)
            return;
        spa_data& data = buffer->buffer->datas[0];
        const unsigned w = width, h = height;
        const uint32_t stride = w * 4;
        if (pixels == SPA_VIDEO_FORMAT_BGRx && data.data && data.maxsize >= stride * h) {
            auto* pixels = static_cast<uint8_t*>(data.data);
            for (unsigned y = 0; y < h; ++y)
                for (unsigned x = 0; x < w; ++x) {
                    const uint32_t rgb = Quarters[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
                    uint8_t* pixel = pixels + std::size_t(y) * stride + x * 4;
                    pixel[0] = rgb & 0xFF; // B, G, R, x in memory
                    pixel[1] = (rgb >> 8) & 0xFF;
                    pixel[2] = (rgb >> 16) & 0xFF;
                    pixel[3] = 0xFF;
                }
            data.chunk->offset = 0;
            data.chunk->stride = int32_t(stride);
            data.chunk->size = stride * h;
            ++sent;
        } else if (pixels == SPA_VIDEO_FORMAT_YUY2 && data.data && data.maxsize >= w * 2 * h) {
            // Two pixels in four octets: Y0 U Y1 V, video range.
            auto* row = static_cast<uint8_t*>(data.data);
            for (unsigned y = 0; y < h; ++y, row += w * 2)
                for (unsigned x = 0; x + 1 < w; x += 2) {
                    const uint32_t rgb = Quarters[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
                    const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
                    const auto luma = uint8_t(16.5 + 0.257 * r + 0.504 * g + 0.098 * b);
                    row[x * 2] = row[x * 2 + 2] = luma;
                    row[x * 2 + 1] = uint8_t(128.5 - 0.148 * r - 0.291 * g + 0.439 * b);
                    row[x * 2 + 3] = uint8_t(128.5 + 0.439 * r - 0.368 * g - 0.071 * b);
                }
            data.chunk->offset = 0;
            data.chunk->stride = int32_t(w * 2);
            data.chunk->size = w * 2 * h;
            ++sent;
        }
        pw_stream_queue_buffer(stream, buffer);
    }
};

TestScreenSource::TestScreenSource()
    : state_(std::make_unique<State>())
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
}

TestScreenSource::~TestScreenSource()
{
    stop();
    if (state_->loop) {
        pw_thread_loop_stop(state_->loop);
        pw_thread_loop_destroy(state_->loop);
    }
}

bool TestScreenSource::start(unsigned width, unsigned height, Kind kind)
{
    state_->pixels = kind == Kind::Screen       ? SPA_VIDEO_FORMAT_BGRx
                     : kind == Kind::Unreadable ? SPA_VIDEO_FORMAT_NV12
                                                : SPA_VIDEO_FORMAT_YUY2;
    state_->width = width;
    state_->height = height;
    state_->loop = pw_thread_loop_new("kx-test-screen", nullptr);
    if (!state_->loop || pw_thread_loop_start(state_->loop) < 0)
        return false;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
            static_cast<State*>(self)->paramChanged(id, param);
        };
        e.process = [](void* self) { static_cast<State*>(self)->process(); };
        return e;
    }();
    pw_thread_loop_lock(state_->loop);
    state_->stream = pw_stream_new_simple(
        pw_thread_loop_get_loop(state_->loop), "kx-test-screen",
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                          PW_KEY_MEDIA_CATEGORY, "Source", PW_KEY_MEDIA_ROLE,
                          kind == Kind::Camera ? "Camera" : "Screen", PW_KEY_NODE_DESCRIPTION,
                          kind == Kind::Camera ? "Test camera" : "Test screen", nullptr),
        &events, state_.get());
    bool ok = state_->stream != nullptr;
    if (ok) {
        uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1] = {state_->format(builder)};
        ok = pw_stream_connect(state_->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                               pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                               params, 1) >= 0;
    }
    if (ok) {
        // 25 pictures a second, the stream driving itself.
        state_->timer = pw_loop_add_timer(
            pw_thread_loop_get_loop(state_->loop),
            [](void* self, uint64_t) {
                auto* state = static_cast<State*>(self);
                if (state->stream)
                    pw_stream_trigger_process(state->stream);
            },
            state_.get());
        timespec interval{0, 40'000'000};
        pw_loop_update_timer(pw_thread_loop_get_loop(state_->loop), state_->timer, &interval,
                             &interval, false);
    }
    pw_thread_loop_unlock(state_->loop);
    // The node has its number once PipeWire has taken the stream.
    for (int waited = 0; ok && waited < 5000 && nodeId() == SPA_ID_INVALID; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ok && nodeId() != SPA_ID_INVALID;
}

std::uint32_t TestScreenSource::nodeId() const
{
    if (!state_->stream)
        return SPA_ID_INVALID;
    pw_thread_loop_lock(state_->loop);
    const uint32_t id = pw_stream_get_node_id(state_->stream);
    pw_thread_loop_unlock(state_->loop);
    return id;
}

void TestScreenSource::resize(unsigned width, unsigned height)
{
    pw_thread_loop_lock(state_->loop);
    state_->width = width;
    state_->height = height;
    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1] = {state_->format(builder)};
    pw_stream_update_params(state_->stream, params, 1);
    pw_thread_loop_unlock(state_->loop);
}

void TestScreenSource::stop()
{
    if (!state_->loop || !state_->stream)
        return;
    pw_thread_loop_lock(state_->loop);
    if (state_->timer)
        pw_loop_destroy_source(pw_thread_loop_get_loop(state_->loop), state_->timer);
    state_->timer = nullptr;
    pw_stream_destroy(state_->stream);
    state_->stream = nullptr;
    pw_thread_loop_unlock(state_->loop);
}

unsigned TestScreenSource::picturesSent() const
{
    return state_->sent;
}

// --- the portal's back end ---------------------------------------------------------------

namespace {

/// One stream of a Start answer: the node and its properties.
struct PortalStream
{
    uint node = 0;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalStream& stream)
{
    argument.beginStructure();
    argument << stream.node << stream.properties;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalStream& stream)
{
    argument.beginStructure();
    argument >> stream.node >> stream.properties;
    argument.endStructure();
    return argument;
}

/// What the back end keeps to restore a share: its own vendor, version and data.
struct RestoreData
{
    QString vendor;
    uint version = 0;
    QDBusVariant data;
};

QDBusArgument& operator<<(QDBusArgument& argument, const RestoreData& restore)
{
    argument.beginStructure();
    argument << restore.vendor << restore.version << restore.data;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, RestoreData& restore)
{
    argument.beginStructure();
    argument >> restore.vendor >> restore.version >> restore.data;
    argument.endStructure();
    return argument;
}

} // namespace
} // namespace kxtest

Q_DECLARE_METATYPE(kxtest::PortalStream)
Q_DECLARE_METATYPE(QList<kxtest::PortalStream>)
Q_DECLARE_METATYPE(kxtest::RestoreData)

namespace kxtest {

const char* const TestPortalBackend::BusName = "org.freedesktop.impl.portal.desktop.kxtest";

class TestPortalBackend::Service : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)
    Q_PROPERTY(uint version READ version)

public:
    Service(TestScreenSource& source)
        : source_(&source)
        , bus_(QString())
    {
        qDBusRegisterMetaType<PortalStream>();
        qDBusRegisterMetaType<QList<PortalStream>>();
        qDBusRegisterMetaType<RestoreData>();
    }
    ~Service() override
    {
        if (!bus_.name().isEmpty())
            QDBusConnection::disconnectFromBus(bus_.name());
    }

    /// On the session bus of the environment now.
    bool start()
    {
        bus_ = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                             "kx-test-portal-backend");
        return bus_.isConnected() &&
               bus_.registerObject("/org/freedesktop/portal/desktop", this,
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllProperties |
                                       QDBusConnection::ExportAdaptors) &&
               bus_.registerService(BusName);
    }

    uint sourceTypes() const { return 1; }
    uint cursorModes() const { return 1 | 2; }
    uint version() const { return 4; }

    std::atomic<TestScreenSource*> source_;
    QDBusConnection bus_;
    std::atomic<Answer> answer_{Answer::Share};
    QSet<QString> sessions_;
    QString lastRestore_;
    std::atomic<int> starts_{0};
    std::atomic<int> accessAsked_{0};
    std::vector<QDBusMessage> unanswered_;

public slots:
    uint CreateSession(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap&, QVariantMap& results)
    {
        sessions_.insert(session.path());
        results.insert("session_id", session.path());
        return 0;
    }

    uint SelectSources(const QDBusObjectPath&, const QDBusObjectPath&, const QString&,
                       const QVariantMap& options, QVariantMap&)
    {
        // A share the portal restores comes with what this back end gave it last time.
        lastRestore_.clear();
        if (options.contains("restore_data")) {
            RestoreData restore;
            options.value("restore_data").value<QDBusArgument>() >> restore;
            lastRestore_ = restore.data.variant().toString();
        }
        return 0;
    }

    uint Start(const QDBusObjectPath&, const QDBusObjectPath&, const QString&, const QString&,
               const QVariantMap&, QVariantMap& results)
    {
        ++starts_;
        if (answer_ == Answer::Silent) {
            setDelayedReply(true);
            unanswered_.push_back(message());
            return 0;
        }
        if (answer_ == Answer::Refuse)
            return 1;
        PortalStream stream;
        stream.node = source_.load()->nodeId();
        stream.properties.insert("source_type", 1u);
        results.insert("streams", QVariant::fromValue(QList<PortalStream>{stream}));
        results.insert("persist_mode", 2u);
        results.insert("restore_data", QVariant::fromValue(RestoreData{
                                           "kxtest", 1, QDBusVariant(QString(IssuedToken))}));
        return 0;
    }
};

/// The desktop's permission dialog, which the portal asks before it opens a camera: it
/// answers as the back end's answer says (share: allowed).
class AccessDialogs : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Access")

public:
    AccessDialogs(QObject* service, std::atomic<TestPortalBackend::Answer>& answer,
                  std::atomic<int>& asked)
        : QDBusAbstractAdaptor(service)
        , answer_(answer)
        , asked_(asked)
    {}

public slots:
    uint AccessDialog(const QDBusObjectPath&, const QString&, const QString&, const QString&,
                      const QString&, const QString&, const QVariantMap&, QVariantMap&)
    {
        ++asked_;
        return answer_ == TestPortalBackend::Answer::Share ? 0 : 1;
    }

private:
    std::atomic<TestPortalBackend::Answer>& answer_;
    std::atomic<int>& asked_;
};

TestPortalBackend::TestPortalBackend(TestScreenSource& source)
    : service_(std::make_unique<Service>(source))
    , thread_(std::make_unique<QThread>())
{
    new AccessDialogs(service_.get(), service_->answer_, service_->accessAsked_);
}

TestPortalBackend::~TestPortalBackend()
{
    if (!thread_->isRunning())
        return;
    // The service ends on its thread, its bus connection with it.
    QMetaObject::invokeMethod(
        service_.get(), [this] { service_.reset(); }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

bool TestPortalBackend::writePortalFile(const QString& folder, const QString& desktop)
{
    QDir().mkpath(folder);
    QFile file(folder + "/kxtest.portal");
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QString("[portal]\nDBusName=%1\nInterfaces=org.freedesktop.impl.portal.ScreenCast;"
                       "org.freedesktop.impl.portal.Access;\n"
                       "UseIn=%2;\n")
                   .arg(BusName, desktop)
                   .toUtf8());
    return true;
}

bool TestPortalBackend::start()
{
    // The portal asks the back end while the client waits for the portal: the back end
    // answers from a thread of its own.
    thread_->start();
    service_->moveToThread(thread_.get());
    bool started = false;
    QMetaObject::invokeMethod(
        service_.get(), [&] { started = service_->start(); }, Qt::BlockingQueuedConnection);
    return started;
}

void TestPortalBackend::setAnswer(Answer answer)
{
    service_->answer_ = answer;
}

void TestPortalBackend::share(TestScreenSource& source)
{
    service_->source_ = &source;
}

void TestPortalBackend::closeSessions()
{
    QMetaObject::invokeMethod(
        service_.get(),
        [this] {
            for (const QString& session : service_->sessions_)
                service_->bus_.send(QDBusMessage::createSignal(
                    session, "org.freedesktop.impl.portal.Session", "Closed"));
            service_->sessions_.clear();
        },
        Qt::BlockingQueuedConnection);
}

QString TestPortalBackend::lastRestoreToken() const
{
    QString token;
    QMetaObject::invokeMethod(
        service_.get(), [&] { token = service_->lastRestore_; }, Qt::BlockingQueuedConnection);
    return token;
}

int TestPortalBackend::starts() const
{
    return service_->starts_;
}

int TestPortalBackend::accessAsked() const
{
    return service_->accessAsked_;
}

} // namespace kxtest

#include "testportal.moc"
