#pragma once
// A Wayland desktop of a test's own: a headless sway (wlroots) on a runtime folder of its
// own, with the session bus, PipeWire, WirePlumber and the desktop portal, so that Wayland
// windows and screen sharing run as on a user's desktop.  The portal's screen cast is the
// test's own back end (TestPortalBackend): wlroots' own shares only through DMA-BUF, which
// needs a GPU.  Sway refuses to run as root: under root it runs as nobody.

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

namespace kxtest {

class WaylandSession
{
public:
    WaylandSession();
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    /// Whether sway, swaybg, grim, dbus-daemon, PipeWire, WirePlumber and the portal are
    /// installed; `missing` names the first that is not.
    static bool available(QString* missing = nullptr);

    /// Starts the desktop with one output of width x height showing `background`; false
    /// (with the reason in `error`) when a part does not start.
    bool start(const QImage& background, int width, int height, QString& error);

    /// What the output shows now (grim); null when the screenshot fails.
    QImage screenshot() const;

    /// The environment of a program on this desktop (Wayland display, session bus,
    /// runtime folder); `into` is the base.
    QProcessEnvironment
    environment(QProcessEnvironment into = QProcessEnvironment::systemEnvironment()) const;
    /// Makes this process a program of the desktop (what environment() sets), until
    /// leave() or the end of the session puts the environment back as it was.
    void enter();
    void leave();

    /// Gives the keyboard to the window `criteria` names (sway's: app_id="kxphone"), then
    /// types `keys` (wtype's arguments: -M ctrl 1 -m ctrl) into it.
    bool typeInto(const QString& criteria, const QStringList& keys) const;

    /// The process id of `program` (pipewire, wireplumber, ...) as this session started it;
    /// 0 when it did not.
    qint64 processId(const QString& program) const;

private:
    QProcess* launch(const QString& program, const QStringList& arguments, bool asDesktopUser);
    bool waitForFile(const QString& path, int timeoutMs) const;
    bool run(const QString& program, const QStringList& arguments, QProcessEnvironment env) const;

    QTemporaryDir dir_;
    QString runtime_;
    std::vector<std::unique_ptr<QProcess>> processes_;             // in start order
    std::vector<std::pair<QString, std::optional<QString>>> left_; ///< what enter() replaced
};

} // namespace kxtest
