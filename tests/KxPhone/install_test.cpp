// `cmake --install` of the build folder into a temporary prefix, as a package build or a
// user's local install does it.
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// Installs the build into `root` + `prefix` (with DESTDIR=`root` when it is not empty).
void install(const QString& destdir, const QString& prefix)
{
    QProcess cmake;
    if (!destdir.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", destdir);
        cmake.setProcessEnvironment(env);
    }
    cmake.start(KX_CMAKE_COMMAND, {"--install", KX_BINARY_DIR, "--prefix", prefix});
    ASSERT_TRUE(cmake.waitForFinished(120000));
    ASSERT_EQ(cmake.exitCode(), 0) << cmake.readAllStandardError().toStdString();
}

void expectLayout(const QString& root)
{
    const QFileInfo program(root + "/lib/kestrovia/kxphone");
    ASSERT_TRUE(program.isFile());
    EXPECT_TRUE(program.isExecutable());

    // The licences sit beside the program, with the texts of the libraries it uses.
    const QByteArray licences = readAll(root + "/lib/kestrovia/LICENSES_VI.txt");
    EXPECT_TRUE(licences.contains("Qt 5 (Debian package libqt5core5a)"));
    EXPECT_TRUE(licences.contains("spdlog (Debian package"));
    EXPECT_TRUE(licences.contains("Copyright"));

    const QFileInfo link(root + "/bin/kxphone");
    ASSERT_TRUE(link.isSymLink());
    EXPECT_EQ(QFile::symLinkTarget(link.filePath()), program.canonicalFilePath());

    const QString desktopPath = root + "/share/applications/kestrovia.desktop";
    ASSERT_TRUE(QFile::exists(desktopPath));
    const QByteArray desktop = readAll(desktopPath);
    EXPECT_TRUE(desktop.startsWith("[Desktop Entry]\n"));
    for (const char* line :
         {"\nType=Application\n", "\nName=Kestrovia\n", "\nExec=kxphone\n", "\nIcon=kestrovia\n",
          "\nCategories=Network;Telephony;VideoConference;\n"})
        EXPECT_TRUE(desktop.contains(line)) << line;
}

TEST(Install, ProgramLicencesLinkAndDesktopEntry)
{
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    install({}, prefix.path());
    expectLayout(prefix.path());
    // The icon the desktop entry names, from the resource bundle's install rules.
    EXPECT_TRUE(QFile::exists(prefix.path() + "/share/icons/hicolor/scalable/apps/kestrovia.svg") ||
                QFile::exists(prefix.path() + "/share/icons/hicolor/128x128/apps/kestrovia.png"));
}

TEST(Install, StagedIntoDestdirWithARelativeLink)
{
    QTemporaryDir stage;
    ASSERT_TRUE(stage.isValid());
    install(stage.path(), "/usr");
    expectLayout(stage.path() + "/usr");
    EXPECT_EQ(QFileInfo(stage.path() + "/usr/bin/kxphone").symLinkTarget(),
              stage.path() + "/usr/lib/kestrovia/kxphone");
    // Relative, so the staged tree works wherever it is finally unpacked.
    char target[256] = {};
    const QByteArray linkPath = QFile::encodeName(stage.path() + "/usr/bin/kxphone");
    ASSERT_GT(::readlink(linkPath.constData(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../lib/kestrovia/kxphone");
}

} // namespace
