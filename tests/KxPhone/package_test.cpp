// The Debian package as a user gets it: made by cpack from this build, unpacked into a
// scratch root with dpkg-deb (no installation on the machine), checked by Debian's and
// AppStream's own tools, and the client started from the unpacked files.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "tests/support/toolskip.h"

namespace {

struct Result
{
    int code = -1;
    QString out;
    QString err;
};

Result run(const QString& program, const QStringList& arguments, int timeoutMs = 60000,
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

bool haveTools(QString& missing)
{
    for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "appstreamcli",
                             "desktop-file-validate", "groff", "gzip"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing += QString(missing.isEmpty() ? "" : ", ") + tool;
    return missing.isEmpty();
}

TEST(Package, BuiltUnpackedCheckedAndStartedFromTheUnpackedFiles)
{
    QString missing;
    if (!haveTools(missing))
        KX_SKIP_WITHOUT_TOOL() << "missing: " << missing.toStdString();
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString out = scratch.filePath("out");
    const Result made = run("cpack", {"-G", "DEB", "-B", out, "--config",
                                      QString(KX_BINARY_DIR) + "/CPackConfig.cmake"},
                            300000);
    ASSERT_EQ(made.code, 0) << made.out.toStdString() << made.err.toStdString();
    const QStringList debs = QDir(out).entryList({"kestrovia_*.deb"}, QDir::Files);
    ASSERT_EQ(debs.size(), 1) << made.out.toStdString();
    const QString deb = out + "/" + debs.first();
    EXPECT_EQ(debs.first(), QString("kestrovia_" KX_VERSION "_amd64.deb"));

    // The control fields, dependencies read from the binaries among them.
    const Result fields =
        run("dpkg-deb", {"-f", deb, "Package", "Version", "Architecture", "Depends"});
    ASSERT_EQ(fields.code, 0) << fields.err.toStdString();
    EXPECT_TRUE(fields.out.contains("Package: kestrovia\n"));
    EXPECT_TRUE(fields.out.contains("Version: " KX_VERSION "\n"));
    const QString depends = fields.out.section("Depends: ", 1);
    for (const char* library : {"libc6", "libqt5widgets5", "libpulse0", "libavcodec",
                                "libavutil", "libstdc++6"})
        EXPECT_TRUE(depends.contains(library)) << library << " in " << depends.toStdString();

    // Unpacked: every part where a desktop looks for it.
    const QString root = scratch.filePath("root");
    const Result unpacked = run("dpkg-deb", {"-x", deb, root});
    ASSERT_EQ(unpacked.code, 0) << unpacked.err.toStdString();
    const QString usr = root + "/usr";
    for (const char* program : {"/bin/kxphone", "/bin/kxcall", "/bin/kxdecode"})
        EXPECT_TRUE(QFileInfo(usr + program).isExecutable()) << program;
    EXPECT_EQ(QFileInfo(usr + "/bin/kxphone").symLinkTarget(),
              QFileInfo(usr + "/lib/kestrovia/kxphone").absoluteFilePath());
    EXPECT_TRUE(QFileInfo::exists(usr + "/lib/kestrovia/LICENSES_VI.txt"));
    EXPECT_TRUE(QFileInfo::exists(usr + "/share/icons/hicolor/128x128/apps/kestrovia.png"));
    EXPECT_TRUE(QFileInfo::exists(usr + "/share/icons/hicolor/scalable/apps/kestrovia.svg"));

    const QString desktop = usr + "/share/applications/kestrovia.desktop";
    const Result entry = run("desktop-file-validate", {desktop});
    EXPECT_EQ(entry.code, 0) << entry.out.toStdString() << entry.err.toStdString();

    const QString metainfo = usr + "/share/metainfo/io.github.kestrovia.Kestrovia.metainfo.xml";
    const Result metadata = run("appstreamcli", {"validate", "--no-net", metainfo});
    EXPECT_EQ(metadata.code, 0) << metadata.out.toStdString() << metadata.err.toStdString();
    QFile text(metainfo);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    const QByteArray xml = text.readAll();
    EXPECT_TRUE(xml.contains("<launchable type=\"desktop-id\">kestrovia.desktop</launchable>"));
    EXPECT_GE(xml.count("<screenshot"), 2);

    // The manual pages read without a warning from groff.
    for (const char* page : {"kxphone", "kxcall", "kxdecode"}) {
        const QString path = usr + "/share/man/man1/" + page + ".1.gz";
        ASSERT_TRUE(QFileInfo::exists(path)) << page;
        const Result shown = run("sh", {"-c", "gzip -dc '" + path + "' | groff -man -Tutf8 -ww -P-cbou"});
        EXPECT_EQ(shown.code, 0) << page;
        EXPECT_TRUE(shown.err.isEmpty()) << page << ": " << shown.err.toStdString();
        EXPECT_TRUE(shown.out.contains("SYNOPSIS")) << page;
        EXPECT_TRUE(shown.out.contains(QString(page).toUpper())) << page;
    }

    // The unpacked programs run from there, on the machine's libraries alone.
    const Result help = run(usr + "/bin/kxcall", {"--help"});
    EXPECT_TRUE(help.out.contains("Usage: kxcall") || help.err.contains("Usage: kxcall"));
    const Result decoded = run(usr + "/bin/kxdecode", {"--hex", "ras", "00"});
    EXPECT_TRUE(decoded.out.contains("RAS")) << decoded.out.toStdString();

    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    env.insert("TMPDIR", home.path());
    env.insert("KX_TEST_QUIT_AFTER_MS", "500");
    env.remove("LD_LIBRARY_PATH");
    const Result started = run(usr + "/bin/kxphone", {}, 60000, env);
    EXPECT_EQ(started.code, 0) << started.err.toStdString();
    EXPECT_TRUE(started.out.startsWith("Starting Kestrovia")) << started.out.toStdString();
    EXPECT_TRUE(QFileInfo::exists(home.filePath("config/Kestrovia/Kestrovia.ini")));
}

} // namespace
