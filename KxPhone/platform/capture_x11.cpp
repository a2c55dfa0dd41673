// Screen capture on X11, through XCB (no Xlib: its errors would end the program, XCB's
// come back with each request): the root window through MIT-SHM for the desktop, a
// window's own content through Composite (also where others cover it), the window list
// from the window manager's EWMH properties.

#include "KxPhone/platform/screencapture.h"
#include "KxPhone/platform/capture_portal.h"
#include "KxPhone/platform/fitpicture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <libyuv/convert.h>
#include <libyuv/scale_argb.h>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace {

/// Sources larger than this either way are read reduced by a whole factor, strip by strip,
/// so that a window resized to 8K costs bounded memory.
constexpr unsigned MaxSide = 4096;
/// One strip read from the server: at most this many octets.
constexpr std::size_t StripBytes = 4u << 20;

template <class Reply> struct Freed
{
    Reply* reply = nullptr;
    explicit Freed(Reply* r)
        : reply(r)
    {}
    ~Freed() { std::free(reply); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

/// One connection to the X server and the lock that keeps its users apart.
struct Connection
{
    xcb_connection_t* xcb = nullptr;
    xcb_screen_t* screen = nullptr;
    std::mutex mutex;

    bool open()
    {
        int number = 0;
        xcb = xcb_connect(nullptr, &number);
        if (!xcb || xcb_connection_has_error(xcb))
            return false;
        auto iterator = xcb_setup_roots_iterator(xcb_get_setup(xcb));
        for (int i = 0; i < number && iterator.rem; ++i)
            xcb_screen_next(&iterator);
        screen = iterator.data;
        return screen != nullptr;
    }
    ~Connection()
    {
        if (xcb)
            xcb_disconnect(xcb);
    }
};

class UnavailableCapture final : public ScreenCapture
{
public:
    explicit UnavailableCapture(Unavailable why)
        : why_(why)
    {}
    Unavailable unavailable() const override { return why_; }
    std::vector<Window> windows() override { return {}; }
    bool windowExists(std::uint64_t) override { return false; }
    bool capture(std::uint64_t, std::vector<std::uint8_t>&, unsigned, unsigned) override
    {
        return false;
    }

private:
    Unavailable why_;
};

/// Threads: windows() and windowExists() use one connection, capture() the other, each
/// under its own lock, so listing on the GUI thread never waits for a capture.
class X11Capture final : public ScreenCapture
{
public:
    bool open()
    {
        if (!list_.open() || !grab_.open())
            return false;
        for (auto& [name, atom] : atoms_)
            atom = intern(name);
        auto shm = Freed(xcb_shm_query_version_reply(grab_.xcb, xcb_shm_query_version(grab_.xcb),
                                                     nullptr));
        shmAvailable_ = bool(shm);
        auto composite = Freed(xcb_composite_query_version_reply(
            grab_.xcb, xcb_composite_query_version(grab_.xcb, 0, 4), nullptr));
        compositeAvailable_ = bool(composite);
        return true;
    }

    ~X11Capture() override { releaseSegment(); }

    Unavailable unavailable() const override { return Unavailable::None; }

    std::vector<Window> windows() override
    {
        std::lock_guard lock(list_.mutex);
        std::vector<xcb_window_t> candidates = windowList(list_, list_.screen->root,
                                                          atom("_NET_CLIENT_LIST"));
        const bool managed = !candidates.empty();
        if (!managed) {
            // No window manager: the mapped children of the root.
            auto tree = Freed(xcb_query_tree_reply(
                list_.xcb, xcb_query_tree(list_.xcb, list_.screen->root), nullptr));
            if (tree) {
                const auto* children = xcb_query_tree_children(tree.reply);
                candidates.assign(children, children + xcb_query_tree_children_length(tree.reply));
            }
        }
        static const char* const hiddenTypes[] = {
            "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_TOOLBAR",
            "_NET_WM_WINDOW_TYPE_DOCK",    "_NET_WM_WINDOW_TYPE_DESKTOP",
            "_NET_WM_WINDOW_TYPE_MENU",    "_NET_WM_WINDOW_TYPE_SPLASH",
            "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",
            "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION"};
        std::vector<Window> result;
        for (const xcb_window_t window : candidates) {
            auto attributes = Freed(xcb_get_window_attributes_reply(
                list_.xcb, xcb_get_window_attributes(list_.xcb, window), nullptr));
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
                attributes->override_redirect)
                continue;
            const auto states = windowList(list_, window, atom("_NET_WM_STATE"), XCB_ATOM_ATOM);
            if (contains(states, atom("_NET_WM_STATE_HIDDEN")))
                continue;
            const auto types =
                windowList(list_, window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM);
            if (std::any_of(std::begin(hiddenTypes), std::end(hiddenTypes),
                            [&](const char* type) { return contains(types, atom(type)); }))
                continue;
            const auto pid = windowList(list_, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
            if (!pid.empty() && pid[0] == std::uint32_t(::getpid()))
                continue; // our own windows
            std::string title = text(list_, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"));
            if (title.empty())
                title = latin1ToUtf8(text(list_, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
            if (title.empty())
                continue;
            result.push_back({window, std::move(title)});
        }
        return result;
    }

    bool windowExists(std::uint64_t window) override
    {
        if (window == 0 || window > 0xFFFFFFFFu)
            return false;
        std::lock_guard lock(list_.mutex);
        auto attributes = Freed(xcb_get_window_attributes_reply(
            list_.xcb, xcb_get_window_attributes(list_.xcb, xcb_window_t(window)), nullptr));
        return bool(attributes);
    }

    bool capture(std::uint64_t window, std::vector<std::uint8_t>& picture, unsigned width,
                 unsigned height) override
    {
        width &= ~1u;
        height &= ~1u;
        if (width < 2 || height < 2 || width > MaxSide || height > MaxSide || window > 0xFFFFFFFFu)
            return false;
        std::lock_guard lock(grab_.mutex);
        xcb_connection_t* c = grab_.xcb;
        xcb_drawable_t source = grab_.screen->root;
        int x = 0, y = 0;
        unsigned sourceWidth = grab_.screen->width_in_pixels;
        unsigned sourceHeight = grab_.screen->height_in_pixels;
        xcb_pixmap_t pixmap = 0;
        if (window != 0) {
            const auto client = xcb_window_t(window);
            const xcb_window_t frame = topLevelOf(client);
            if (!frame || !compositeAvailable_)
                return false;
            if (redirected_.insert(frame).second)
                xcb_composite_redirect_window(c, frame, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
            auto geometry =
                Freed(xcb_get_geometry_reply(c, xcb_get_geometry(c, client), nullptr));
            auto offset = Freed(xcb_translate_coordinates_reply(
                c, xcb_translate_coordinates(c, client, frame, 0, 0), nullptr));
            if (!geometry || !offset)
                return false;
            pixmap = xcb_generate_id(c);
            if (auto error = xcb_request_check(
                    c, xcb_composite_name_window_pixmap_checked(c, frame, pixmap))) {
                std::free(error);
                return false;
            }
            source = pixmap;
            x = offset->dst_x;
            y = offset->dst_y;
            sourceWidth = geometry->width;
            sourceHeight = geometry->height;
        }
        sourceWidth &= ~1u;
        sourceHeight &= ~1u;
        bool ok = sourceWidth >= 2 && sourceHeight >= 2;
        if (ok)
            ok = read(source, x, y, sourceWidth, sourceHeight, window == 0);
        if (pixmap)
            xcb_free_pixmap(c, pixmap);
        if (!ok)
            return false;
        fitIntoI420(pixels_.data(), pixelsWidth_, pixelsHeight_, int(pixelsWidth_ * 4),
                    libyuv::ARGBToI420, scaled_, picture, width, height);
        return true;
    }

private:
    xcb_atom_t intern(const std::string& name)
    {
        auto reply = Freed(xcb_intern_atom_reply(
            list_.xcb, xcb_intern_atom(list_.xcb, 0, std::uint16_t(name.size()), name.c_str()),
            nullptr));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_atom_t atom(const std::string& name)
    {
        if (auto found = atoms_.find(name); found != atoms_.end())
            return found->second;
        return atoms_[name] = intern(name);
    }

    static bool contains(const std::vector<std::uint32_t>& list, xcb_atom_t atom)
    {
        return atom != XCB_ATOM_NONE && std::find(list.begin(), list.end(), atom) != list.end();
    }

    /// A property of 32-bit items (windows, atoms, cardinals); empty when absent.
    std::vector<std::uint32_t> windowList(Connection& connection, xcb_window_t window,
                                          xcb_atom_t property,
                                          xcb_atom_t type = XCB_ATOM_WINDOW)
    {
        auto reply = Freed(xcb_get_property_reply(
            connection.xcb,
            xcb_get_property(connection.xcb, 0, window, property, type, 0, 4096), nullptr));
        if (!reply || reply->format != 32)
            return {};
        const auto* items = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.reply));
        const int count = xcb_get_property_value_length(reply.reply) / 4;
        return std::vector<std::uint32_t>(items, items + std::max(0, count));
    }

    std::string text(Connection& connection, xcb_window_t window, xcb_atom_t property,
                     xcb_atom_t type)
    {
        auto reply = Freed(xcb_get_property_reply(
            connection.xcb, xcb_get_property(connection.xcb, 0, window, property, type, 0, 1024),
            nullptr));
        if (!reply || reply->format != 8)
            return {};
        const auto* value = static_cast<const char*>(xcb_get_property_value(reply.reply));
        std::string result(value, std::size_t(std::max(0, xcb_get_property_value_length(reply.reply))));
        result.erase(std::find(result.begin(), result.end(), '\0'), result.end());
        return result;
    }

    static std::string latin1ToUtf8(const std::string& latin1)
    {
        std::string out;
        for (const unsigned char c : latin1) {
            if (c < 0x80) {
                out += char(c);
            } else {
                out += char(0xC0 | (c >> 6));
                out += char(0x80 | (c & 0x3F));
            }
        }
        return out;
    }

    /// The child of the root that holds `window` (its window manager frame, or itself).
    xcb_window_t topLevelOf(xcb_window_t window)
    {
        xcb_connection_t* c = grab_.xcb;
        for (int depth = 0; depth < 32; ++depth) {
            auto tree = Freed(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
            if (!tree)
                return 0;
            if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
                return window;
            window = tree->parent;
        }
        return 0;
    }

    /// Reads width x height 32-bit pixels of `source` at (x, y) into pixels_, reduced by
    /// a whole factor when larger than MaxSide.
    bool read(xcb_drawable_t source, int x, int y, unsigned width, unsigned height, bool root)
    {
        xcb_connection_t* c = grab_.xcb;
        const unsigned factor = std::max(1u, (std::max(width, height) + MaxSide - 1) / MaxSide);
        pixelsWidth_ = width / factor;
        pixelsHeight_ = height / factor;
        pixels_.resize(std::size_t(pixelsWidth_) * pixelsHeight_ * 4);
        if (root && factor == 1 && shmAvailable_ && ensureSegment(std::size_t(width) * height * 4)) {
            auto reply = Freed(xcb_shm_get_image_reply(
                c,
                xcb_shm_get_image(c, source, std::int16_t(x), std::int16_t(y), std::uint16_t(width),
                                  std::uint16_t(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_,
                                  0),
                nullptr));
            if (reply && (reply->depth == 24 || reply->depth == 32)) {
                std::memcpy(pixels_.data(), segmentAddress_, pixels_.size());
                return true;
            }
        }
        // Strips of whole factors of rows, each reduced as it comes.
        const unsigned stripRows = std::max(
            factor, unsigned(StripBytes / (std::size_t(width) * 4)) / factor * factor);
        for (unsigned row = 0; row < pixelsHeight_ * factor; row += stripRows) {
            const unsigned rows = std::min(stripRows, pixelsHeight_ * factor - row);
            auto image = Freed(xcb_get_image_reply(
                c,
                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, source, std::int16_t(x),
                              std::int16_t(y + int(row)), std::uint16_t(width),
                              std::uint16_t(rows), ~0u),
                nullptr));
            if (!image || (image->depth != 24 && image->depth != 32) ||
                std::size_t(xcb_get_image_data_length(image.reply)) <
                    std::size_t(width) * rows * 4)
                return false;
            const std::uint8_t* data = xcb_get_image_data(image.reply);
            std::uint8_t* into = pixels_.data() + std::size_t(row / factor) * pixelsWidth_ * 4;
            if (factor == 1)
                std::memcpy(into, data, std::size_t(width) * rows * 4);
            else
                libyuv::ARGBScale(data, int(width * 4), int(width), int(rows), into,
                                  int(pixelsWidth_ * 4), int(pixelsWidth_), int(rows / factor),
                                  libyuv::kFilterBox);
        }
        return true;
    }

    bool ensureSegment(std::size_t size)
    {
        if (segmentAddress_ && segmentSize_ >= size)
            return true;
        releaseSegment();
        const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id < 0)
            return false;
        void* address = ::shmat(id, nullptr, 0);
        // Marked for removal at once: it goes away with the last detach, even on a crash.
        ::shmctl(id, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1))
            return false;
        segment_ = xcb_generate_id(grab_.xcb);
        if (auto error = xcb_request_check(
                grab_.xcb, xcb_shm_attach_checked(grab_.xcb, segment_, std::uint32_t(id), 0))) {
            std::free(error);
            ::shmdt(address);
            return false;
        }
        segmentAddress_ = address;
        segmentSize_ = size;
        return true;
    }

    void releaseSegment()
    {
        if (!segmentAddress_)
            return;
        xcb_shm_detach(grab_.xcb, segment_);
        xcb_flush(grab_.xcb);
        ::shmdt(segmentAddress_);
        segmentAddress_ = nullptr;
        segmentSize_ = 0;
    }

    Connection list_;
    Connection grab_;
    std::map<std::string, xcb_atom_t> atoms_{{"_NET_CLIENT_LIST", 0}, {"UTF8_STRING", 0}};
    bool shmAvailable_ = false;
    bool compositeAvailable_ = false;
    // The capture connection's, under its lock:
    std::set<xcb_window_t> redirected_;
    xcb_shm_seg_t segment_ = 0;
    void* segmentAddress_ = nullptr;
    std::size_t segmentSize_ = 0;
    std::vector<std::uint8_t> pixels_;
    unsigned pixelsWidth_ = 0;
    unsigned pixelsHeight_ = 0;
    std::vector<std::uint8_t> scaled_;
};

} // namespace

std::unique_ptr<ScreenCapture> ScreenCapture::create()
{
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value ? std::string(value) : std::string();
    };
    const std::string chosen = set("KX_SCREEN_CAPTURE");
    // In a Wayland session X11 sees only the programs that run through XWayland: the
    // desktop's portal shares the real screen.
    const bool wayland = !set("WAYLAND_DISPLAY").empty() || set("XDG_SESSION_TYPE") == "wayland";
    if (chosen == "portal" || (chosen != "x11" && wayland))
        return createPortalCapture();
    if (set("DISPLAY").empty())
        return std::make_unique<UnavailableCapture>(Unavailable::NoDisplay);
    auto capture = std::make_unique<X11Capture>();
    if (!capture->open())
        return std::make_unique<UnavailableCapture>(Unavailable::NoDisplay);
    return capture;
}
