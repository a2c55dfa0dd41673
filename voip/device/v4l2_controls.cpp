#include "voip/device/v4l2_controls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <linux/videodev2.h>

namespace voip {
namespace {

template <std::size_t N> std::string textOf(const std::uint8_t (&bytes)[N])
{
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, N));
}

MediaFailure failure(MediaError error, const std::string& message)
{
    return MediaFailure{error, "V4L2: " + message};
}

} // namespace

std::int32_t fitControlValue(const V4l2Control& control, std::int64_t value)
{
    if (control.kind == V4l2Control::Kind::Boolean)
        return value != 0 ? 1 : 0;
    const std::int64_t low = control.minimum;
    const std::int64_t high = std::max<std::int64_t>(low, control.maximum);
    value = std::clamp(value, low, high);
    const std::int64_t step = std::max<std::int32_t>(1, control.step);
    if (control.kind == V4l2Control::Kind::Integer && step > 1) {
        value = low + (value - low + step / 2) / step * step;
        if (value > high)
            value -= step;
    }
    return std::int32_t(value);
}

V4l2Controls::V4l2Controls(V4l2System& system)
    : system_(system)
{}

V4l2Controls::~V4l2Controls()
{
    close();
}

MediaStatus V4l2Controls::open(const std::string& device)
{
    close();
    auto found = findV4l2Device(device, system_);
    if (!found)
        return found.error();
    path_ = found.take();
    fd_ = system_.open(path_);
    if (fd_ < 0)
        return failure(MediaError::NotFound,
                       "cannot open " + path_ + ": " + std::strerror(errno));
    return MediaStatus();
}

void V4l2Controls::close()
{
    if (fd_ >= 0)
        system_.close(fd_);
    fd_ = -1;
}

bool V4l2Controls::fill(V4l2Control& control, const v4l2_queryctrl& query)
{
    if (query.flags & V4L2_CTRL_FLAG_DISABLED)
        return false;
    switch (query.type) {
    case V4L2_CTRL_TYPE_INTEGER:
        control.kind = V4l2Control::Kind::Integer;
        break;
    case V4L2_CTRL_TYPE_BOOLEAN:
        control.kind = V4l2Control::Kind::Boolean;
        break;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
        control.kind = V4l2Control::Kind::Menu;
        break;
    case V4L2_CTRL_TYPE_BUTTON:
        control.kind = V4l2Control::Kind::Button;
        break;
    default:
        return false; // classes, strings, arrays, 64-bit values
    }
    if (query.maximum < query.minimum && control.kind != V4l2Control::Kind::Button)
        return false;
    control.id = query.id;
    control.name = textOf(query.name);
    control.minimum = query.minimum;
    control.maximum = query.maximum;
    control.step = std::max<std::int32_t>(1, query.step);
    control.defaultValue = query.default_value;
    control.inactive = query.flags & V4L2_CTRL_FLAG_INACTIVE;
    control.readOnly = query.flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_GRABBED);

    if (control.kind == V4l2Control::Kind::Menu) {
        // Menus may have holes: each index the driver does not know is passed over, and a
        // few times as many indexes as a menu may hold are asked at most.
        control.menu.clear();
        const std::int64_t first = std::max(0, query.minimum);
        for (std::int64_t index = first; index <= query.maximum &&
                                         index < first + std::int64_t(4 * MaxMenuItems) &&
                                         control.menu.size() < MaxMenuItems;
             ++index) {
            v4l2_querymenu item{};
            item.id = query.id;
            item.index = std::uint32_t(index);
            if (xioctl(system_, fd_, VIDIOC_QUERYMENU, &item) != 0)
                continue;
            control.menu.emplace_back(std::int32_t(index),
                                      query.type == V4L2_CTRL_TYPE_INTEGER_MENU
                                          ? std::to_string(item.value)
                                          : textOf(item.name));
        }
        if (control.menu.empty())
            return false;
    }

    control.value = control.defaultValue;
    if (control.kind != V4l2Control::Kind::Button && !(query.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) {
        v4l2_control current{};
        current.id = query.id;
        if (xioctl(system_, fd_, VIDIOC_G_CTRL, &current) == 0)
            control.value = current.value;
    }
    return true;
}

std::vector<V4l2Control> V4l2Controls::controls()
{
    std::vector<V4l2Control> found;
    if (fd_ < 0)
        return found;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    std::uint32_t last = 0;
    bool listed = false;
    while (found.size() < MaxControls && xioctl(system_, fd_, VIDIOC_QUERYCTRL, &query) == 0) {
        listed = true;
        const std::uint32_t id = query.id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        if (id <= last)
            break; // a driver that does not move on would keep us here for ever
        last = id;
        V4l2Control control;
        query.id = id;
        if (fill(control, query))
            found.push_back(std::move(control));
        query = {};
        query.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    if (listed)
        return found;

    // Drivers that cannot list their controls: ask for the usual ones one by one.
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = V4L2_CID_BASE; id < V4L2_CID_LASTP1; ++id)
        ids.push_back(id);
    for (std::uint32_t id = V4L2_CID_CAMERA_CLASS_BASE; id < V4L2_CID_CAMERA_CLASS_BASE + 40; ++id)
        ids.push_back(id);
    for (const std::uint32_t id : ids) {
        if (found.size() >= MaxControls)
            break;
        query = {};
        query.id = id;
        V4l2Control control;
        if (xioctl(system_, fd_, VIDIOC_QUERYCTRL, &query) == 0 && query.id == id &&
            fill(control, query))
            found.push_back(std::move(control));
    }
    return found;
}

MediaResult<std::int32_t> V4l2Controls::set(std::uint32_t id, std::int32_t value)
{
    if (fd_ < 0)
        return failure(MediaError::NotOpen, "no camera open");
    const auto found = one(id);
    if (!found)
        return failure(MediaError::NotFound, "the camera has no control " + std::to_string(id));
    const V4l2Control& control = *found;
    if (control.readOnly)
        return failure(MediaError::Unsupported, control.name + " cannot be changed now");

    v4l2_control change{};
    change.id = id;
    if (control.kind == V4l2Control::Kind::Menu) {
        const bool known = std::any_of(control.menu.begin(), control.menu.end(),
                                       [&](const auto& item) { return item.first == value; });
        if (!known)
            return failure(MediaError::InvalidArgument,
                           control.name + " has no choice " + std::to_string(value));
        change.value = value;
    } else if (control.kind != V4l2Control::Kind::Button) {
        change.value = fitControlValue(control, value);
    }
    if (xioctl(system_, fd_, VIDIOC_S_CTRL, &change) != 0)
        return failure(MediaError::DeviceFailure, control.name + ": " + std::strerror(errno));
    if (control.kind == V4l2Control::Kind::Button)
        return 0;
    v4l2_control now{};
    now.id = id;
    if (xioctl(system_, fd_, VIDIOC_G_CTRL, &now) == 0)
        return now.value;
    return change.value;
}

MediaStatus V4l2Controls::reset()
{
    if (fd_ < 0)
        return failure(MediaError::NotOpen, "no camera open");
    MediaStatus first;
    // Each control as it is when its turn comes: putting an automatic mode back (exposure,
    // white balance) makes the controls under it inactive, or active again; a second round
    // takes those that became active.
    for (int round = 0; round < 2; ++round)
        for (const auto& listed : controls()) {
            const auto control = one(listed.id);
            if (!control || control->kind == V4l2Control::Kind::Button || control->readOnly ||
                control->inactive || control->value == control->defaultValue)
                continue;
            const auto done = set(control->id, control->defaultValue);
            if (!done && first.ok())
                first = done.error();
        }
    return first;
}

std::optional<V4l2Control> V4l2Controls::one(std::uint32_t id)
{
    v4l2_queryctrl query{};
    query.id = id;
    V4l2Control control;
    if (fd_ < 0 || xioctl(system_, fd_, VIDIOC_QUERYCTRL, &query) != 0 || query.id != id ||
        !fill(control, query))
        return std::nullopt;
    return control;
}

} // namespace voip
