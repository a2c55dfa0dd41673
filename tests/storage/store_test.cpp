#include "storage/contactstore.h"
#include "storage/recentstore.h"
#include "storage/recordfile.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

Recent call(const QString& name, const QString& minutes)
{
    return Recent{name, "10.0.0.9", "05/12/26 10:30", minutes, "H.323", "outgoing", "success"};
}

/// Every test runs with its own data folder (XDG_DATA_HOME), never the user's.
class StoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        dataFolder = home.path() + "/data/share";
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", dataFolder.toUtf8());
        contactsPath = dataFolder + "/Kestrovia_Contacts.xml";
        recentsPath = dataFolder + "/Kestrovia_Recents.xml";
    }

    QTemporaryDir home;
    QString dataFolder;
    QString contactsPath;
    QString recentsPath;
};

TEST_F(StoreTest, FilesLiveInTheGenericDataFolder)
{
    EXPECT_EQ(ContactStore::defaultPath(), contactsPath);
    EXPECT_EQ(RecentStore::defaultPath(), recentsPath);
}

TEST_F(StoreTest, FreshStartIsEmptyCreatesNothingUntilTheFirstChange)
{
    ContactStore contacts;
    RecentStore recents;
    EXPECT_TRUE(contacts.contacts().isEmpty());
    EXPECT_TRUE(recents.recents().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dataFolder));

    // The data folder does not exist yet on a fresh account: the first change creates it.
    contacts.addContact("Ann", "10.0.0.7", "", "", "H.323");
    EXPECT_TRUE(QFileInfo::exists(contactsPath));
    EXPECT_EQ(ContactStore().contacts().size(), 1);
}

TEST_F(StoreTest, ContactsFileIsExactlyTheKnownFormat)
{
    ContactStore store;
    store.addContact("Ann", "10.0.0.7", "Acme", "1 Main St", "H.323");
    store.addContact("Bob", "bob@example.org", "", "", "");
    EXPECT_EQ(readAll(contactsPath),
              QByteArray("<!DOCTYPE XML>\n"
                         "<Contacts>\n"
                         " <Contact name=\"Ann\" ip=\"10.0.0.7\" org=\"Acme\" address=\"1 Main "
                         "St\" protocol=\"H.323\"/>\n"
                         " <Contact name=\"Bob\" ip=\"bob@example.org\" org=\"\" address=\"\" "
                         "protocol=\"\"/>\n"
                         "</Contacts>\n"));
    store.removeContact(1);
    store.removeContact(0);
    EXPECT_EQ(readAll(contactsPath), QByteArray("<!DOCTYPE XML>\n<Contacts/>\n"));
}

TEST_F(StoreTest, RecentsFileIsExactlyTheKnownFormat)
{
    RecentStore store;
    store.addRecent(call("Ann", "3"));
    EXPECT_EQ(
        readAll(recentsPath),
        QByteArray("<!DOCTYPE XML>\n"
                   "<Recents>\n"
                   " <Recent name=\"Ann\" ip=\"10.0.0.9\" time=\"05/12/26 10:30\" "
                   "duration=\"3\" protocol=\"H.323\" flow=\"outgoing\" status=\"success\"/>\n"
                   "</Recents>\n"));

    // A record that kept its seconds adds them last; the record without stays as it was,
    // and both read back whole.
    Recent short_ = call("Bob", "0");
    short_.seconds = "40";
    store.addRecent(short_);
    EXPECT_EQ(
        readAll(recentsPath),
        QByteArray("<!DOCTYPE XML>\n"
                   "<Recents>\n"
                   " <Recent name=\"Bob\" ip=\"10.0.0.9\" time=\"05/12/26 10:30\" "
                   "duration=\"0\" protocol=\"H.323\" flow=\"outgoing\" status=\"success\" "
                   "seconds=\"40\"/>\n"
                   " <Recent name=\"Ann\" ip=\"10.0.0.9\" time=\"05/12/26 10:30\" "
                   "duration=\"3\" protocol=\"H.323\" flow=\"outgoing\" status=\"success\"/>\n"
                   "</Recents>\n"));
    EXPECT_EQ(RecentStore().recents(), (QList<Recent>{short_, call("Ann", "3")}));
}

TEST_F(StoreTest, AddingARecentPutsItFirstInListAndFile)
{
    {
        RecentStore store;
        store.addRecent(call("c", "1"));
        store.addRecent(call("b", "2"));
        store.addRecent(call("a", "3"));
    }
    RecentStore store;
    ASSERT_EQ(store.recents().size(), 3);
    store.addRecent(call("new", "0"));
    const QList<Recent> list = RecentStore().recents();
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[0].name, "new");
    EXPECT_EQ(list[1].name, "a");
    EXPECT_EQ(list[3].name, "c");
    EXPECT_LT(readAll(recentsPath).indexOf("name=\"new\""),
              readAll(recentsPath).indexOf("name=\"a\""));
}

TEST_F(StoreTest, MissingAttributesLoadAsEmptyAndOtherNodesAreSkipped)
{
    writeFile(recentsPath, "<!DOCTYPE XML>\n<Recents>\n"
                           " <!-- comment -->\n text\n"
                           " <Recent name=\"Ann\" ip=\"1.2.3.4\" flow=\"incoming\"/>\n"
                           " <Other name=\"skip\"/>\n"
                           " <Recent name=\"Bob\" unknown=\"x\"><child/></Recent>\n"
                           "</Recents>\n");
    const QList<Recent> list = RecentStore().recents();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0], (Recent{"Ann", "1.2.3.4", "", "", "", "incoming", ""}));
    EXPECT_EQ(list[1].name, "Bob");
    EXPECT_TRUE(list[1].duration.isEmpty());
}

TEST_F(StoreTest, ForeignRootIsIgnoredOnLoadAndImport)
{
    const QByteArray foreign =
        "<!DOCTYPE XML>\n<Recents>\n <Contact name=\"Eve\" ip=\"6.6.6.6\"/>\n</Recents>\n";
    writeFile(contactsPath, foreign);
    ContactStore store;
    EXPECT_TRUE(store.contacts().isEmpty());
    EXPECT_EQ(readAll(contactsPath), foreign);

    store.addContact("Ann", "10.0.0.7", "", "", "");
    const QByteArray saved = readAll(contactsPath);
    const QString other = home.path() + "/foreign.xml";
    writeFile(other, foreign);
    EXPECT_FALSE(store.importContacts(other));
    ASSERT_EQ(store.contacts().size(), 1);
    EXPECT_EQ(store.contacts()[0].name, "Ann");
    EXPECT_EQ(readAll(contactsPath), saved);
}

TEST_F(StoreTest, MalformedOrUnreadableFilesChangeNothing)
{
    const QByteArray broken = "<!DOCTYPE XML>\n<Contacts>\n <Contact name=\"Ann\"\n";
    writeFile(contactsPath, broken);
    ContactStore store;
    EXPECT_TRUE(store.contacts().isEmpty());
    EXPECT_FALSE(store.load());
    EXPECT_EQ(readAll(contactsPath), broken);

    ContactStore good(home.path() + "/good.xml");
    good.addContact("Ann", "1", "", "", "");
    for (const QByteArray& bad : {QByteArray(), QByteArray("\xff\xfe\x00garbage", 10),
                                  QByteArray("<Contacts><Contact name='a'></Contacts>")}) {
        const QString path = home.path() + "/bad.xml";
        writeFile(path, bad);
        EXPECT_FALSE(good.importContacts(path));
        EXPECT_EQ(good.contacts().size(), 1);
    }
    EXPECT_FALSE(good.importContacts(home.path() + "/does-not-exist.xml"));
    EXPECT_FALSE(good.importContacts(home.path())); // a folder, not a file
    EXPECT_EQ(good.contacts().size(), 1);
}

TEST_F(StoreTest, OutOfRangeRemovalsChangeNothingButRewriteTheFile)
{
    // A hand-edited file (other spacing, a comment) comes back in the program's own form.
    writeFile(recentsPath, "<!DOCTYPE XML>\n<Recents>   <!-- edited -->\n"
                           "<Recent name=\"a\" ip=\"\" time=\"\" duration=\"\" protocol=\"\" "
                           "flow=\"\" status=\"\"/></Recents>");
    RecentStore store;
    const QByteArray canonical =
        "<!DOCTYPE XML>\n<Recents>\n <Recent name=\"a\" ip=\"\" time=\"\" "
        "duration=\"\" protocol=\"\" flow=\"\" status=\"\"/>\n</Recents>\n";
    store.removeRecent(-1);
    EXPECT_EQ(store.recents().size(), 1);
    EXPECT_EQ(readAll(recentsPath), canonical);
    QFile::remove(recentsPath);
    store.removeRecent(1);
    EXPECT_EQ(store.recents().size(), 1);
    EXPECT_EQ(readAll(recentsPath), canonical);

    ContactStore contacts;
    contacts.addContact("Ann", "1", "", "", "");
    QFile::remove(contactsPath);
    contacts.removeContact(5);
    EXPECT_EQ(contacts.contacts().size(), 1);
    EXPECT_TRUE(QFileInfo::exists(contactsPath));
}

TEST_F(StoreTest, SpecialAndNonAsciiTextSurvivesSaveAndLoad)
{
    const QStringList names = {
        "Tom & Jerry",           "\"quoted\" and 'single'", "<tag> a > b < c",     "Nguyễn Văn Đức",
        "Trần Thị Ánh – Hà Nội", "Zoë Ørsted 東京 😀",       "two\nlines\tand tab", "  spaced  "};
    ContactStore store;
    for (const QString& name : names)
        store.addContact(name, name + "@host", name, name, "H.323");
    const QList<Contact> loaded = ContactStore().contacts();
    ASSERT_EQ(loaded.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        EXPECT_EQ(loaded[i].name, names[i]);
        EXPECT_EQ(loaded[i].address, names[i]);
    }
    EXPECT_TRUE(readAll(contactsPath).contains("Nguyễn Văn Đức")); // UTF-8, not escaped
}

TEST_F(StoreTest, CharactersXmlCannotCarryAreDroppedSoTheFileStillLoads)
{
    ContactStore store;
    store.addContact(QString("bell\x07") + QChar(0x0001) + "end", "ok", "", "", "");
    store.addContact(QString("lone ") + QChar(0xD800) + "surrogate", "ok", "", "", "");
    const QList<Contact> loaded = ContactStore().contacts();
    ASSERT_EQ(loaded.size(), 2);
    EXPECT_EQ(loaded[0].name, "bellend");
    EXPECT_EQ(loaded[1].name, "lone surrogate");
}

TEST_F(StoreTest, UpdateReplacesAllFieldsOfTheRow)
{
    ContactStore store;
    store.addContact("Ann", "1", "o", "a", "p");
    store.addContact("Bob", "2", "o", "a", "p");
    const Contact changed{"Bobby", "2.2.2.2", "Org", "Addr", "H.323"};
    store.updateContact(1, changed);
    store.updateContact(7, Contact{"x", "x", "x", "x", "x"});
    const QList<Contact> loaded = ContactStore().contacts();
    ASSERT_EQ(loaded.size(), 2);
    EXPECT_EQ(loaded[0].name, "Ann");
    EXPECT_EQ(loaded[1], changed);
}

TEST_F(StoreTest, ExportLeavesTheOwnFileAndImportReplacesIt)
{
    ContactStore store;
    store.addContact("Ann", "1", "", "", "");
    const QByteArray own = readAll(contactsPath);
    const QString exported = home.path() + "/out/export.xml";
    ASSERT_TRUE(store.exportContacts(exported));
    EXPECT_EQ(readAll(exported), own);

    ContactStore other(home.path() + "/other.xml");
    other.addContact("Bob", "2", "", "", "");
    other.addContact("Cid", "3", "", "", "");
    ASSERT_TRUE(other.exportContacts(exported));
    EXPECT_EQ(readAll(contactsPath), own);

    ASSERT_TRUE(store.importContacts(exported));
    ASSERT_EQ(store.contacts().size(), 2);
    EXPECT_EQ(store.contacts()[0].name, "Bob");
    EXPECT_EQ(readAll(contactsPath), readAll(exported));
}

TEST_F(StoreTest, FailingSaveLeavesTheOldFileIntact)
{
    ContactStore store;
    store.addContact("Ann", "10.0.0.7", "Acme", "", "H.323");
    const QByteArray before = readAll(contactsPath);

    // A child process whose files may not grow beyond 64 bytes: the write of the new
    // content fails part-way, as on a full disk.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        ContactStore inChild;
        inChild.addContact(QString(500, 'x'), "1", "", "", "");
        _exit(inChild.save() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save should have failed";
    EXPECT_EQ(readAll(contactsPath), before);
    EXPECT_EQ(QDir(dataFolder).entryList(QDir::Files), QStringList{"Kestrovia_Contacts.xml"});
}

TEST_F(StoreTest, UnwritableFolderKeepsTheChangeInMemory)
{
    writeFile(home.path() + "/blocked", "a file where a folder should be");
    ContactStore store(home.path() + "/blocked/contacts.xml");
    store.addContact("Ann", "1", "", "", "");
    EXPECT_FALSE(store.save());
    EXPECT_EQ(store.contacts().size(), 1);

    QDir().mkpath(home.path() + "/dir.xml");
    RecentStore recents(home.path() + "/dir.xml");
    recents.addRecent(call("a", "1"));
    EXPECT_EQ(recents.recents().size(), 1);
    EXPECT_TRUE(QFileInfo(home.path() + "/dir.xml").isDir());
}

TEST_F(StoreTest, AddRecentFromEngineThreadsWhileTheGuiReads)
{
    RecentStore store;
    constexpr int threadCount = 4;
    constexpr int perThread = 25;
    std::atomic<bool> done{false};
    std::vector<std::thread> engine;
    for (int t = 0; t < threadCount; ++t)
        engine.emplace_back([&store, t] {
            for (int i = 0; i < perThread; ++i)
                store.addRecent(call(QString("t%1-%2").arg(t).arg(i), QString::number(i)));
        });
    int reads = 0;
    while (!done) {
        const QList<Recent> seen = store.recents();
        for (const Recent& r : seen)
            ASSERT_EQ(r.protocol, "H.323");
        ++reads;
        done = seen.size() == threadCount * perThread;
    }
    for (auto& thread : engine)
        thread.join();
    EXPECT_GT(reads, 0);

    const QList<Recent> fromFile = RecentStore().recents();
    ASSERT_EQ(fromFile.size(), threadCount * perThread);
    // Each thread's records keep their own order (newest first).
    for (int t = 0; t < threadCount; ++t) {
        int last = perThread;
        for (const Recent& r : fromFile)
            if (r.name.startsWith(QString("t%1-").arg(t))) {
                EXPECT_LT(r.duration.toInt(), last);
                last = r.duration.toInt();
            }
    }
}

TEST_F(StoreTest, ClearRecentsEmptiesListAndFile)
{
    RecentStore store;
    store.addRecent(call("a", "1"));
    store.clearRecents();
    EXPECT_TRUE(store.recents().isEmpty());
    EXPECT_EQ(readAll(recentsPath), QByteArray("<!DOCTYPE XML>\n<Recents/>\n"));
}

} // namespace
