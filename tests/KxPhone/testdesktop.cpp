#include "tests/KxPhone/testdesktop.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace kx::testutil {

namespace {

using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& arguments, const std::string& display)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("DISPLAY", display.c_str(), 1);
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::freopen("/dev/null", "w", stdout);
        ::freopen("/dev/null", "w", stderr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TestDesktop::~TestDesktop()
{
    stop();
}

bool TestDesktop::available()
{
    return have("Xvfb") && have("openbox");
}

bool TestDesktop::start(unsigned width, unsigned height)
{
    int number = 140 + int(::getpid() % 50);
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
           std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock"))
        ++number;
    display_ = ":" + std::to_string(number);
    const char* old = std::getenv("DISPLAY");
    hadDisplay_ = old != nullptr;
    savedDisplay_ = old ? old : "";
    ::setenv("DISPLAY", display_.c_str(), 1);
    xvfb_ = spawn({"Xvfb", display_, "-screen", "0",
                   std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten",
                   "tcp", "-noreset"},
                  display_);
    for (int i = 0; i < 100 && !connect(); ++i)
        std::this_thread::sleep_for(50ms);
    if (!xcb_)
        return false;
    openbox_ = spawn({"openbox"}, display_);
    // The window manager is up once it has named itself on the root.
    const xcb_atom_t check = atom("_NET_SUPPORTING_WM_CHECK");
    for (int i = 0; i < 100; ++i) {
        auto* reply = xcb_get_property_reply(
            xcb_, xcb_get_property(xcb_, 0, screen_->root, check, XCB_ATOM_WINDOW, 0, 1),
            nullptr);
        const bool managed = reply && xcb_get_property_value_length(reply) == 4;
        std::free(reply);
        if (managed)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void TestDesktop::stop()
{
    if (xcb_) {
        xcb_disconnect(xcb_);
        xcb_ = nullptr;
    }
    for (pid_t* pid : {&openbox_, &xvfb_}) {
        if (*pid > 0) {
            ::kill(*pid, SIGTERM);
            ::waitpid(*pid, nullptr, 0);
            *pid = -1;
        }
    }
    if (!display_.empty()) {
        if (hadDisplay_)
            ::setenv("DISPLAY", savedDisplay_.c_str(), 1);
        else
            ::unsetenv("DISPLAY");
        display_.clear();
    }
}

bool TestDesktop::connect()
{
    xcb_ = xcb_connect(display_.c_str(), nullptr);
    if (xcb_connection_has_error(xcb_)) {
        xcb_disconnect(xcb_);
        xcb_ = nullptr;
        return false;
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(xcb_)).data;
    return true;
}

xcb_atom_t TestDesktop::atom(const char* name)
{
    auto* reply = xcb_intern_atom_reply(
        xcb_, xcb_intern_atom(xcb_, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

xcb_window_t TestDesktop::window(const std::string& title, std::uint32_t colour, int x, int y,
                                 unsigned width, unsigned height, const char* type)
{
    const xcb_window_t id = xcb_generate_id(xcb_);
    const std::uint32_t values[] = {colour};
    xcb_create_window(xcb_, XCB_COPY_FROM_PARENT, id, screen_->root, std::int16_t(x),
                      std::int16_t(y), std::uint16_t(width), std::uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    if (!title.empty())
        xcb_change_property(xcb_, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_NAME"),
                            atom("UTF8_STRING"), 8, std::uint32_t(title.size()), title.data());
    // Placed where asked (USPosition, USSize), not where the window manager would.
    const std::uint32_t hints[18] = {1 | 2, std::uint32_t(x), std::uint32_t(y), width, height};
    xcb_change_property(xcb_, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    if (type) {
        const xcb_atom_t value = atom(type);
        xcb_change_property(xcb_, XCB_PROP_MODE_REPLACE, id, atom("_NET_WM_WINDOW_TYPE"),
                            XCB_ATOM_ATOM, 32, 1, &value);
    }
    xcb_map_window(xcb_, id);
    xcb_flush(xcb_);
    // A window mapped while the window manager is still starting may go unmanaged: map it
    // again until the manager lists it.
    for (int attempt = 0; attempt < 20 && !managed(id); ++attempt) {
        if (attempt % 5 == 4) {
            xcb_unmap_window(xcb_, id);
            xcb_map_window(xcb_, id);
            xcb_flush(xcb_);
        }
        std::this_thread::sleep_for(100ms);
    }
    return id;
}

void TestDesktop::resize(xcb_window_t window, unsigned width, unsigned height)
{
    const std::uint32_t values[] = {width, height};
    xcb_configure_window(xcb_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    xcb_flush(xcb_);
}

void TestDesktop::destroy(xcb_window_t window)
{
    xcb_destroy_window(xcb_, window);
    xcb_flush(xcb_);
}

bool TestDesktop::startTray()
{
    if (tray_ != 0)
        return true;
    tray_ = xcb_generate_id(xcb_);
    xcb_create_window(xcb_, XCB_COPY_FROM_PARENT, tray_, screen_->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen_->root_visual, 0, nullptr);
    const xcb_atom_t selection = atom("_NET_SYSTEM_TRAY_S0");
    xcb_set_selection_owner(xcb_, tray_, selection, XCB_CURRENT_TIME);
    // The announcement clients wait for (freedesktop's system tray: MANAGER on the root).
    xcb_client_message_event_t manager{};
    manager.response_type = XCB_CLIENT_MESSAGE;
    manager.format = 32;
    manager.window = screen_->root;
    manager.type = atom("MANAGER");
    manager.data.data32[0] = XCB_CURRENT_TIME;
    manager.data.data32[1] = selection;
    manager.data.data32[2] = tray_;
    xcb_send_event(xcb_, 0, screen_->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&manager));
    xcb_flush(xcb_);
    auto* owner = xcb_get_selection_owner_reply(xcb_, xcb_get_selection_owner(xcb_, selection),
                                                nullptr);
    const bool ours = owner && owner->owner == tray_;
    std::free(owner);
    return ours;
}

void TestDesktop::stopTray()
{
    if (tray_ == 0)
        return;
    destroy(tray_);
    tray_ = 0;
}

bool TestDesktop::managed(xcb_window_t window)
{
    auto* reply = xcb_get_property_reply(
        xcb_,
        xcb_get_property(xcb_, 0, screen_->root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0,
                         1024),
        nullptr);
    bool found = false;
    if (reply) {
        const auto* windows = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / 4;
        found = std::find(windows, windows + count, window) != windows + count;
    }
    std::free(reply);
    return found;
}

} // namespace kx::testutil
