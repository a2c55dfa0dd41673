// The kxphone program as a user meets it: real processes, each test in its own sandbox
// (HOME, XDG folders and TMPDIR in a temporary folder, which also keeps the single-instance
// segment and server apart from every other test and from the real user).
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSharedMemory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "tests/support/toolskip.h"

// Readable failure messages for Qt strings.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    *out << '"' << bytes.toStdString() << '"';
}

namespace {

const QString program = QStringLiteral(KX_BINARY_DIR "/KxPhone/kxphone");

class Sandbox
{
public:
    Sandbox()
    {
        for (const char* sub : {"/config", "/data", "/tmp", "/runtime"})
            QDir().mkpath(folder.path() + sub);
        QFile::setPermissions(folder.path() + "/runtime", QFileDevice::ReadOwner |
                                                              QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner);
    }

    /// Removes what a simulated crash leaves in the kernel: the System V segment whose key
    /// file lies in this sandbox (Qt derives the key with ftok 'Q').
    ~Sandbox()
    {
        const key_t key = ftok(QFile::encodeName(segmentKey()).constData(), 'Q');
        if (key == -1)
            return;
        if (const int segment = shmget(key, 0, 0); segment != -1)
            shmctl(segment, IPC_RMID, nullptr);
    }

    /// The file whose identity names the single-instance segment.
    QString segmentKey() const { return path("/runtime/Kestrovia.instance"); }

    QString path(const QString& sub = {}) const { return folder.path() + sub; }
    QString iniPath() const { return path("/config/Kestrovia/Kestrovia.ini"); }

    QProcessEnvironment environment(int quitAfterMs) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", path());
        env.insert("XDG_CONFIG_HOME", path("/config"));
        env.insert("XDG_DATA_HOME", path("/data"));
        env.insert("XDG_RUNTIME_DIR", path("/runtime"));
        env.insert("TMPDIR", path("/tmp"));
        env.insert("KX_TEST_REPORT_SHOW", "1");
        if (quitAfterMs > 0)
            env.insert("KX_TEST_QUIT_AFTER_MS", QString::number(quitAfterMs));
        return env;
    }

    /// Starts kxphone; with `quitAfterMs` it ends itself in an orderly way after that time.
    std::unique_ptr<QProcess> start(int quitAfterMs, const QStringList& arguments = {}) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment(quitAfterMs));
        process->setWorkingDirectory(path());
        process->start(program, arguments);
        return process;
    }

    /// Runs kxphone until it ends; returns its exit code (-1 when it did not end normally).
    int run(int quitAfterMs, QByteArray* out = nullptr, QByteArray* err = nullptr) const
    {
        auto process = start(quitAfterMs);
        const bool finished = process->waitForFinished(60000);
        if (out)
            *out = process->readAllStandardOutput();
        if (err)
            *err = process->readAllStandardError();
        if (!finished) {
            process->kill();
            process->waitForFinished();
            return -1;
        }
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    QByteArray read(const QString& sub) const
    {
        QFile file(path(sub));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir folder;
};

/// Reads the process's standard output until it holds `text` (or the wait ends).
bool waitForOutput(QProcess& process, QByteArray& collected, const QByteArray& text,
                   int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!collected.contains(text) && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(200);
        collected += process.readAllStandardOutput();
        if (process.state() == QProcess::NotRunning) {
            collected += process.readAllStandardOutput();
            break;
        }
    }
    return collected.contains(text);
}

bool segmentExists(const Sandbox& sandbox)
{
    QSharedMemory segment;
    segment.setNativeKey(sandbox.segmentKey());
    const bool attached = segment.attach();
    if (attached)
        segment.detach();
    return attached;
}

TEST(KxPhoneProcess, SecondStartRaisesTheFirstAndEndsWithoutAWindow)
{
    Sandbox sandbox;
    auto first = sandbox.start(6000);
    QByteArray firstOut;
    ASSERT_TRUE(waitForOutput(*first, firstOut, "Starting Kestrovia"))
        << firstOut.data() << first->readAllStandardError().data() << " state " << first->state()
        << " exit " << first->exitStatus() << "/" << first->exitCode() << " "
        << first->errorString().toStdString();
    // The instance's segment and server live in the user's private runtime folder, not in
    // the temporary folder that all users share.
    EXPECT_TRUE(segmentExists(sandbox));
    EXPECT_TRUE(QDir(sandbox.path("/tmp"))
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty());

    QByteArray secondOut;
    QByteArray secondErr;
    auto second = sandbox.start(0, {"10.0.0.1"}); // arguments are ignored
    ASSERT_TRUE(second->waitForFinished(30000));
    secondOut = second->readAllStandardOutput();
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(secondOut.contains("Starting Kestrovia")) << secondOut.data();
    EXPECT_FALSE(secondOut.contains("Show window")) << secondOut.data();

    EXPECT_TRUE(waitForOutput(*first, firstOut, "Show window")) << firstOut.data();
    EXPECT_TRUE(QFileInfo(sandbox.path("/runtime/Kestrovia")).exists());
    ASSERT_TRUE(first->waitForFinished(30000));
    firstOut += first->readAllStandardOutput();
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_FALSE(firstOut.contains("DialForward")) << firstOut.data();

    // An orderly end releases the segment, so the next start is a first instance at once.
    EXPECT_FALSE(segmentExists(sandbox));
    QByteArray thirdOut;
    EXPECT_EQ(sandbox.run(300, &thirdOut), 0);
    EXPECT_TRUE(thirdOut.contains("Starting Kestrovia"));
}

TEST(KxPhoneProcess, FirstStartPrintsItsStepsAndWritesEveryDefault)
{
    Sandbox sandbox;
    QByteArray out;
    ASSERT_EQ(sandbox.run(300, &out), 0);
    EXPECT_TRUE(out.startsWith("Starting Kestrovia\nScale factor: ")) << out.data();
    const QByteArray ini = QFile(sandbox.iniPath()).exists()
                               ? sandbox.read("/config/Kestrovia/Kestrovia.ini")
                               : QByteArray();
    EXPECT_TRUE(ini.contains("autoAnswer=true"));
    EXPECT_TRUE(ini.contains("[trace]\nenable=false\nlevel=4"));
    QSettings settings(sandbox.iniPath(), QSettings::IniFormat);
    EXPECT_EQ(settings.allKeys().size(), 44);
    // trace/enable is false by default: no trace file.
    EXPECT_FALSE(QFile::exists(sandbox.path("/tmp/kestrovia_trace.log")));
    // No change, no stores' files.
    EXPECT_FALSE(QFile::exists(sandbox.path("/data/Kestrovia_Contacts.xml")));
}

TEST(KxPhoneProcess, StartAtLogOnFollowsTheSettingFromTheFirstStart)
{
    Sandbox sandbox;
    const QString entry = "/config/autostart/Kestrovia.desktop";
    // On by default: the first start writes the entry, for this program.
    ASSERT_EQ(sandbox.run(300), 0);
    const QByteArray text = sandbox.read(entry);
    EXPECT_TRUE(text.contains("Exec=\"" + QFileInfo(program).absoluteFilePath().toUtf8() + "\""))
        << text.data();
    // An entry left naming another program is put right; one turned off is removed.
    {
        QFile file(sandbox.path(entry));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Desktop Entry]\nExec=/old/place/kxphone\n");
    }
    ASSERT_EQ(sandbox.run(300), 0);
    EXPECT_EQ(sandbox.read(entry), text);
    {
        QSettings settings(sandbox.iniPath(), QSettings::IniFormat);
        settings.setValue("autoStart", false);
    }
    ASSERT_EQ(sandbox.run(300), 0);
    EXPECT_FALSE(QFile::exists(sandbox.path(entry)));
}

TEST(KxPhoneProcess, KeptValuesRemovedKeysAndBadInputAcrossARestart)
{
    Sandbox sandbox;
    ASSERT_EQ(sandbox.run(300), 0);
    {
        QFile file(sandbox.iniPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll();
        file.close();
        text.replace("autoAnswer=true", "autoAnswer=false");
        text.replace("name=Kestrovia\n", "");
        text.replace("language=vn", "language=../../etc/passwd");
        text.replace("layout=1", "layout=one");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text + "\n[broken\n=no key\n");
    }
    // A contacts file that is not XML stays as it is.
    {
        QFile contacts(sandbox.path("/data/Kestrovia_Contacts.xml"));
        ASSERT_TRUE(contacts.open(QIODevice::WriteOnly));
        contacts.write("\x00\x01 not xml", 10);
    }
    QByteArray out;
    QByteArray err;
    ASSERT_EQ(sandbox.run(300, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Starting Kestrovia"));
    QSettings settings(sandbox.iniPath(), QSettings::IniFormat);
    EXPECT_EQ(settings.value("name").toString(), "Kestrovia");
    EXPECT_EQ(settings.value("autoAnswer").toString(), "false");
    EXPECT_EQ(settings.value("language").toString(), "../../etc/passwd");
    EXPECT_EQ(settings.value("call/layout").toString(), "one");
    EXPECT_EQ(sandbox.read("/data/Kestrovia_Contacts.xml"), QByteArray("\x00\x01 not xml", 10));
}

TEST(KxPhoneProcess, UnusableSettingsAndDataFoldersStillStart)
{
    Sandbox sandbox;
    // Plain files where the settings and data folders should be: nothing can be written.
    for (const char* sub : {"/config", "/data"}) {
        QDir(sandbox.path(sub)).removeRecursively();
        QFile blocker(sandbox.path(sub));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
    }
    QByteArray out;
    QByteArray err;
    EXPECT_EQ(sandbox.run(300, &out, &err), 0) << err.data();
    EXPECT_TRUE(out.contains("Starting Kestrovia"));
    EXPECT_EQ(sandbox.read("/config"), QByteArray("not a folder"));
    EXPECT_EQ(sandbox.read("/data"), QByteArray("not a folder"));
}

TEST(KxPhoneProcess, TraceStartsAfterStartUpAtLevelFourForLevelZero)
{
    Sandbox sandbox;
    {
        QSettings settings(sandbox.iniPath(), QSettings::IniFormat);
        settings.setValue("trace/enable", true);
        settings.setValue("trace/level", 0);
    }
    ASSERT_EQ(sandbox.run(500), 0);
    const QString file = sandbox.path("/tmp/kestrovia_trace.log");
    const QByteArray text = sandbox.read("/tmp/kestrovia_trace.log");
    EXPECT_TRUE(text.contains("PTRACE enabled level=4 file=" + file.toUtf8() + "\n"))
        << text.data();

    {
        QSettings settings(sandbox.iniPath(), QSettings::IniFormat);
        settings.setValue("trace/level", 6);
    }
    ASSERT_EQ(sandbox.run(500), 0);
    EXPECT_TRUE(sandbox.read("/tmp/kestrovia_trace.log").contains("PTRACE enabled level=6 file="));
}

TEST(KxPhoneProcess, SegmentAndSocketLeftByACrashDoNotBlockTheNextStart)
{
    Sandbox sandbox;
    // A process that takes the segment and dies without detaching, as a crash does.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QSharedMemory segment;
        segment.setNativeKey(sandbox.segmentKey());
        if (segment.create(8))
            _exit(0);
        // The fresh key file may name a segment some earlier run left: that one will do.
        QSharedMemory left;
        left.setNativeKey(sandbox.segmentKey());
        _exit(left.attach() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(segmentExists(sandbox));

    // ... and the socket file of its local server, with nobody listening.
    const QByteArray socketPath = sandbox.path("/runtime/Kestrovia").toUtf8();
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(std::size_t(socketPath.size()), sizeof address.sun_path);
        std::memcpy(address.sun_path, socketPath.constData(), socketPath.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }

    auto first = sandbox.start(5000);
    QByteArray firstOut;
    ASSERT_TRUE(waitForOutput(*first, firstOut, "Starting Kestrovia")) << firstOut.data();
    // Its server works despite the stale socket file: a second start reaches it.
    auto second = sandbox.start(0);
    ASSERT_TRUE(second->waitForFinished(30000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(second->readAllStandardOutput().contains("Starting Kestrovia"));
    EXPECT_TRUE(waitForOutput(*first, firstOut, "Show window")) << firstOut.data();
    ASSERT_TRUE(first->waitForFinished(30000));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_FALSE(segmentExists(sandbox));
}

// Logging out, Ctrl+C in a terminal and a closed terminal end the program in order, as its
// Quit does, even when the signal comes while it is still starting.
TEST(KxPhoneProcess, TermIntAndHupEndItInOrder)
{
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        Sandbox sandbox;
        auto phone = sandbox.start(0);
        QByteArray out;
        ASSERT_TRUE(waitForOutput(*phone, out, "Starting Kestrovia")) << out.data();
        ::kill(pid_t(phone->processId()), number);
        ASSERT_TRUE(phone->waitForFinished(20000));
        EXPECT_EQ(phone->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(phone->exitCode(), 0);
        EXPECT_FALSE(segmentExists(sandbox));
        EXPECT_TRUE(QFile(sandbox.iniPath()).exists());
    }
}

TEST(KxPhoneProcess, SegmentThatCanNeitherBeAttachedNorCreatedEndsWithAnError)
{
    Sandbox sandbox;
    // A key file that can be neither opened nor made: a link into a missing folder.
    ASSERT_TRUE(QFile::link(sandbox.path("/runtime/missing/file"), sandbox.segmentKey()));
    QByteArray out;
    QByteArray err;
    // No quit timer: without the orderly end the program would wait in an event loop.
    auto process = sandbox.start(0);
    ASSERT_TRUE(process->waitForFinished(30000)) << "no orderly end";
    out = process->readAllStandardOutput();
    err = process->readAllStandardError();
    EXPECT_EQ(process->exitCode(), 1);
    EXPECT_TRUE(err.contains("Failed to create shared memory\n")) << err.data();
    EXPECT_FALSE(out.contains("Starting Kestrovia")) << out.data();
    EXPECT_FALSE(QFile::exists(sandbox.iniPath()));
}

TEST(KxPhoneProcess, EachUserOfAMachineHasTheirOwnInstance)
{
    const QString setpriv = "/usr/bin/setpriv";
    if (getuid() != 0 || !QFile::exists(setpriv))
        KX_SKIP_WITHOUT_TOOL() << "needs root and setpriv to start a process as another user";

    // Two users who share one temporary folder, as /tmp is shared, each with a private
    // runtime folder: user "nobody" starts while this user's instance runs.
    Sandbox owner;
    QTemporaryDir other;
    ASSERT_TRUE(other.isValid());
    QFile::setPermissions(other.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                            QFileDevice::ExeOther);
    const QString shared = other.path() + "/shared-tmp";
    for (const char* sub : {"/home", "/home/config", "/home/data", "/home/runtime"})
        ASSERT_TRUE(QDir().mkpath(other.path() + sub));
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    const uid_t nobody = 65534;
    for (const char* sub : {"/home", "/home/config", "/home/data", "/home/runtime"})
        ASSERT_EQ(::chown(QFile::encodeName(other.path() + sub).constData(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(other.path() + "/home/runtime").constData(), 0700), 0);

    QProcessEnvironment ownerEnv = owner.environment(6000);
    ownerEnv.insert("TMPDIR", shared);
    QProcess first;
    first.setProcessEnvironment(ownerEnv);
    first.start(program, QStringList());
    QByteArray firstOut;
    ASSERT_TRUE(waitForOutput(first, firstOut, "Starting Kestrovia")) << firstOut.data();

    // A segment of this user's, left by a crash, that the other user's key names (a key
    // file whose inode an old one had): not the other user's to attach, so that user's
    // instance takes a key of its own instead of failing to start.
    const QString otherKey = other.path() + "/home/runtime/Kestrovia.instance";
    QSharedMemory foreign;
    foreign.setNativeKey(otherKey);
    ASSERT_TRUE(foreign.create(8)) << foreign.errorString().toStdString();
    ASSERT_EQ(::chown(QFile::encodeName(otherKey).constData(), nobody, nobody), 0);

    QProcessEnvironment otherEnv = QProcessEnvironment::systemEnvironment();
    otherEnv.insert("QT_QPA_PLATFORM", "offscreen");
    otherEnv.insert("HOME", other.path() + "/home");
    otherEnv.insert("XDG_CONFIG_HOME", other.path() + "/home/config");
    otherEnv.insert("XDG_DATA_HOME", other.path() + "/home/data");
    otherEnv.insert("XDG_RUNTIME_DIR", other.path() + "/home/runtime");
    otherEnv.insert("TMPDIR", shared);
    otherEnv.insert("KX_TEST_QUIT_AFTER_MS", "300");
    QProcess second;
    second.setProcessEnvironment(otherEnv);
    second.setWorkingDirectory("/");
    second.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", program});
    ASSERT_TRUE(second.waitForFinished(30000));
    const QByteArray secondOut = second.readAllStandardOutput();
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().data();
    EXPECT_TRUE(secondOut.contains("Starting Kestrovia")) << secondOut.data();

    ASSERT_TRUE(first.waitForFinished(30000));
    firstOut += first.readAllStandardOutput();
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(firstOut.contains("Show window")) << firstOut.data();
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
