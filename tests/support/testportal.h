#pragma once
// A desktop's screen sharing for tests, where the desktop's own cannot run (wlroots'
// portal back end shares only through DMA-BUF, which needs a GPU): a PipeWire video source
// of four coloured quarters, and a screen-cast back end for the real desktop portal
// (xdg-desktop-portal) that hands that source over, refuses, or never answers.

#include <atomic>
#include <cstdint>
#include <memory>

#include <QString>

class QThread;

namespace kxtest {

/// A PipeWire video source of four coloured quarters, on the PipeWire of the environment;
/// the colours of Quarters from top left to bottom right.
class TestScreenSource
{
public:
    TestScreenSource();
    ~TestScreenSource();
    TestScreenSource(const TestScreenSource&) = delete;
    TestScreenSource& operator=(const TestScreenSource&) = delete;

    static constexpr std::uint32_t Quarters[4] = {0xC82828, 0x28C828, 0x2828C8, 0xDCDC3C};

    enum class Kind
    {
        Screen,     ///< BGRx, as a desktop shares its screen
        Unreadable, ///< NV12 only, which screen sharing does not take
        Camera,     ///< YUY2, a camera's node (media role Camera), as PipeWire lists one
    };
    /// Starts a stream of width x height; false when PipeWire refuses.
    bool start(unsigned width, unsigned height, Kind kind = Kind::Screen);
    std::uint32_t nodeId() const;
    /// Pictures of another size from now on (the stream's format changes).
    void resize(unsigned width, unsigned height);
    /// The stream goes away, as when the screen it showed is unplugged.
    void stop();
    /// Pictures the consumer took.
    unsigned picturesSent() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// The screen-cast and permission-dialog back end of the portal, on the session bus of the environment under
/// the name the portal file written by writePortalFile() names.
class TestPortalBackend
{
public:
    enum class Answer
    {
        Share,  ///< the user picks the source
        Refuse, ///< the user cancels the chooser
        Silent, ///< the chooser never closes
    };

    explicit TestPortalBackend(TestScreenSource& source);
    ~TestPortalBackend();
    TestPortalBackend(const TestPortalBackend&) = delete;
    TestPortalBackend& operator=(const TestPortalBackend&) = delete;

    static const char* const BusName;
    /// Writes the portal file that makes the portal use this back end in `folder` (the
    /// portal reads XDG_DESKTOP_PORTAL_DIR) for the desktop `desktop`.
    static bool writePortalFile(const QString& folder, const QString& desktop);

    /// Takes its bus name; false when the bus refuses.
    bool start();
    void setAnswer(Answer answer);
    /// Shares `source` from the next Start on.
    void share(TestScreenSource& source);
    /// Ends every session, as when the user stops sharing from the desktop.
    void closeSessions();
    /// The restore token the last Start was given, and the one it hands out.
    QString lastRestoreToken() const;
    static constexpr const char* IssuedToken = "kx-test-token-1";
    int starts() const;
    /// Times the portal asked the user's permission (for a camera).
    int accessAsked() const;

private:
    class Service;
    std::unique_ptr<Service> service_;
    std::unique_ptr<QThread> thread_;
};

} // namespace kxtest
