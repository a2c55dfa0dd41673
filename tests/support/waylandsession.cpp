#include "tests/support/waylandsession.h"

#include "tests/support/testportal.h"

#include <chrono>
#include <thread>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace kxtest {

namespace {

constexpr uid_t Nobody = 65534;

const char* const PortalProgram = "/usr/libexec/xdg-desktop-portal";

bool found(const QString& program)
{
    return program.startsWith('/') ? QFileInfo(program).isExecutable()
                                   : !QStandardPaths::findExecutable(program).isEmpty();
}

} // namespace

WaylandSession::WaylandSession()
{
    dir_.setAutoRemove(qEnvironmentVariableIsEmpty("KX_KEEP_WAYLAND"));
}

WaylandSession::~WaylandSession()
{
    leave();
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        (*it)->terminate();
        if (!(*it)->waitForFinished(3000)) {
            (*it)->kill();
            (*it)->waitForFinished(1000);
        }
    }
    // Programs the bus started (the portal) end with the bus.
}

bool WaylandSession::available(QString* missing)
{
    for (const QString program : {"sway", "swaybg", "swaymsg", "grim", "wtype", "dbus-daemon",
                                  "pipewire", "wireplumber", PortalProgram}) {
        if (!found(program)) {
            if (missing)
                *missing = program;
            return false;
        }
    }
    if (::getuid() == 0 && !found("setpriv")) {
        if (missing)
            *missing = "setpriv";
        return false;
    }
    return true;
}

QProcess* WaylandSession::launch(const QString& program, const QStringList& arguments,
                                 bool asDesktopUser)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setStandardOutputFile(dir_.filePath(QFileInfo(program).fileName() + ".log"));
    process->setStandardErrorFile(dir_.filePath(QFileInfo(program).fileName() + ".log"));
    if (asDesktopUser && ::getuid() == 0)
        process->start("setpriv",
                       QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} +
                           arguments);
    else
        process->start(program, arguments);
    if (!process->waitForStarted(5000))
        return nullptr;
    processes_.push_back(std::move(process));
    return processes_.back().get();
}

qint64 WaylandSession::processId(const QString& program) const
{
    for (const auto& process : processes_)
        if (process->program() == program)
            return process->processId();
    return 0;
}

bool WaylandSession::waitForFile(const QString& path, int timeoutMs) const
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (QFileInfo::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool WaylandSession::start(const QImage& background, int width, int height, QString& error)
{
    if (!dir_.isValid()) {
        error = "no temporary folder";
        return false;
    }
    // The desktop's user (nobody, under root) reads its configuration and owns the runtime
    // folder, where every program of the session has its socket.
    QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    runtime_ = dir_.filePath("runtime");
    QDir().mkpath(runtime_);
    QFile::setPermissions(runtime_,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (::getuid() == 0 && ::chown(runtime_.toLocal8Bit().constData(), Nobody, Nobody) != 0) {
        error = "cannot hand the runtime folder to nobody";
        return false;
    }
    const QString picture = dir_.filePath("background.png");
    if (!background.save(picture)) {
        error = "cannot write the background";
        return false;
    }
    QFile::setPermissions(picture, QFileDevice::ReadOwner | QFileDevice::ReadOther);
    QFile config(dir_.filePath("sway.config"));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QString("output HEADLESS-1 resolution %1x%2 position 0,0 bg %3 stretch\n"
                         "default_border none\nfocus_follows_mouse no\n")
                     .arg(width)
                     .arg(height)
                     .arg(picture)
                     .toUtf8());
    config.close();
    QFile::setPermissions(config.fileName(), QFileDevice::ReadOwner | QFileDevice::ReadOther);
    // The portal's screen cast is the test's own (TestPortalBackend).
    if (!TestPortalBackend::writePortalFile(dir_.filePath("portals"), "sway")) {
        error = "cannot write the portal file";
        return false;
    }

    if (!launch("sway", {"-c", config.fileName()}, true) ||
        !waitForFile(runtime_ + "/wayland-1", 10000)) {
        error = "sway did not start (" + dir_.filePath("sway.log") + ")";
        return false;
    }
    // The background is drawn once swaybg has connected: wait until a screenshot shows it.
    bool drawn = false;
    for (int tries = 0; tries < 100 && !drawn; ++tries) {
        const QImage shot = screenshot();
        drawn = !shot.isNull() && shot.pixel(width / 4, height / 4) != qRgb(0, 0, 0);
        if (!drawn)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!drawn) {
        error = "sway shows no background";
        return false;
    }
    // A keyboard that stays: sway's headless seat has none, and a window that sees its
    // only keyboard vanish after each typed key misses the key's release.
    if (!launch("wtype", {"-s", "86400000"}, false)) {
        error = "wtype did not start";
        return false;
    }
    const QString bus = runtime_ + "/bus";
    if (!launch("dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + bus}, false) ||
        !waitForFile(bus, 5000)) {
        error = "no session bus";
        return false;
    }
    if (!launch("pipewire", {}, false) || !waitForFile(runtime_ + "/pipewire-0", 5000)) {
        error = "PipeWire did not start";
        return false;
    }
    if (!launch("wireplumber", {}, false)) {
        error = "WirePlumber did not start";
        return false;
    }
    return true;
}

bool WaylandSession::run(const QString& program, const QStringList& arguments,
                         QProcessEnvironment env) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool WaylandSession::typeInto(const QString& criteria, const QStringList& keys) const
{
    // Sway names its control socket after its process: the one in the runtime folder.
    const QStringList sockets = QDir(runtime_).entryList({"sway-ipc.*.sock"}, QDir::System);
    if (sockets.isEmpty())
        return false;
    QProcessEnvironment env = environment();
    env.insert("SWAYSOCK", runtime_ + "/" + sockets.first());
    return run("swaymsg", {QString("[%1] focus").arg(criteria)}, env) && run("wtype", keys, env);
}

QImage WaylandSession::screenshot() const
{
    QProcess grim;
    grim.setProcessEnvironment(environment());
    const QString file = dir_.filePath("screenshot.png");
    QFile::remove(file);
    grim.start("grim", {file});
    if (!grim.waitForFinished(10000) || grim.exitCode() != 0)
        return {};
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

QProcessEnvironment WaylandSession::environment(QProcessEnvironment into) const
{
    into.insert("XDG_RUNTIME_DIR", runtime_);
    into.insert("WAYLAND_DISPLAY", "wayland-1");
    into.insert("XDG_SESSION_TYPE", "wayland");
    into.insert("XDG_CURRENT_DESKTOP", "sway");
    into.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime_ + "/bus");
    into.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
    into.insert("XDG_DESKTOP_PORTAL_DIR", dir_.filePath("portals"));
    into.insert("HOME", dir_.path());
    into.insert("WLR_BACKENDS", "headless");
    into.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    into.insert("WLR_RENDERER", qEnvironmentVariable("KX_WLR_RENDERER", "pixman"));
    into.remove("DISPLAY");
    into.remove("SWAYSOCK");
    return into;
}

void WaylandSession::enter()
{
    leave();
    const QProcessEnvironment now = QProcessEnvironment::systemEnvironment();
    const QProcessEnvironment env = environment(QProcessEnvironment());
    for (const QString& key : env.keys() + QStringList{"DISPLAY"}) {
        left_.emplace_back(key, now.contains(key) ? std::optional(now.value(key)) : std::nullopt);
        if (env.contains(key))
            qputenv(key.toLocal8Bit().constData(), env.value(key).toLocal8Bit());
        else
            qunsetenv(key.toLocal8Bit().constData());
    }
}

void WaylandSession::leave()
{
    for (const auto& [key, value] : left_) {
        if (value)
            qputenv(key.toLocal8Bit().constData(), value->toLocal8Bit());
        else
            qunsetenv(key.toLocal8Bit().constData());
    }
    left_.clear();
}

} // namespace kxtest
