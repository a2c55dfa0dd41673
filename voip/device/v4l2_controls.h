#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "voip/device/mediastatus.h"
#include "voip/device/video_v4l2.h"

struct v4l2_queryctrl;

namespace voip {

/// One setting a camera offers (brightness, exposure, white balance, focus, zoom...), as
/// its driver reports it.
struct V4l2Control
{
    enum class Kind
    {
        Integer,
        Boolean,
        Menu,   ///< one of `menu`
        Button, ///< an action with no value ("restore the factory settings")
    };
    std::uint32_t id = 0;
    Kind kind = Kind::Integer;
    std::string name; ///< the driver's ("Brightness")
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t step = 1;
    std::int32_t defaultValue = 0;
    std::int32_t value = 0;
    std::vector<std::pair<std::int32_t, std::string>> menu; ///< a menu's choices by value
    bool inactive = false; ///< has no effect now (exposure time under automatic exposure)
    bool readOnly = false; ///< shown, not changed (read-only, or held by another program)
};

/// A camera's settings, read and changed through a device node of its own, so that they
/// apply at once to a camera that is streaming in a call.
class V4l2Controls
{
public:
    explicit V4l2Controls(V4l2System& system = V4l2System::real());
    ~V4l2Controls();
    V4l2Controls(const V4l2Controls&) = delete;
    V4l2Controls& operator=(const V4l2Controls&) = delete;

    /// Opens the camera named by path, card name, or the first one when `device` is empty.
    MediaStatus open(const std::string& device);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    /// Every control the camera reports, in its order, with its current value. Controls of
    /// kinds we cannot show (strings, arrays, 64-bit) are left out; a driver that lists
    /// more than MaxControls, or a menu longer than MaxMenuItems, is cut there.
    std::vector<V4l2Control> controls();

    /// Sets a control, its value first brought into its range and onto its step; returns
    /// the value the camera then holds, or why it would not take it. A button is pressed.
    MediaResult<std::int32_t> set(std::uint32_t id, std::int32_t value);

    /// Every control that can be changed back to the driver's default. Controls that are
    /// inactive or refuse are passed over; the status names the first refusal.
    MediaStatus reset();

    static constexpr std::size_t MaxControls = 128;
    static constexpr std::size_t MaxMenuItems = 64;

private:
    std::optional<V4l2Control> one(std::uint32_t id);
    bool fill(V4l2Control& control, const ::v4l2_queryctrl& query);

    V4l2System& system_;
    int fd_ = -1;
    std::string path_;
};

/// Brings `value` into the control's range and onto its step (counted from its minimum).
std::int32_t fitControlValue(const V4l2Control& control, std::int64_t value);

} // namespace voip
