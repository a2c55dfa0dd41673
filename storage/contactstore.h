#pragma once

#include <QList>
#include <QString>

/// One address-book entry; every field is plain text, nothing is validated.
struct Contact
{
    QString name;     ///< display name
    QString ip;       ///< the address that is dialled
    QString org;      ///< organisation
    QString address;  ///< postal address
    QString protocol; ///< protocol of the contact, set by the contacts page

    bool operator==(const Contact&) const = default;
};

/// The address book: an ordered list of contacts, kept in the file
/// "Kestrovia_Contacts.xml" of the user's generic data folder and saved after every change.
/// Used on the GUI thread only.
class ContactStore
{
public:
    /// Sets the path and loads the file (an empty list when there is none).
    ContactStore();
    /// As above with another file; for tests and tools.
    explicit ContactStore(const QString& path);

    QList<Contact> contacts() const { return list; }
    const QString& path() const { return filePath; }

    void addContact(const QString& name, const QString& ip, const QString& org,
                    const QString& address, const QString& protocol);
    /// Replaces all fields of row `index`; an invalid index changes nothing but still saves.
    void updateContact(int index, const Contact& contact);
    /// Removes row `index` when it is valid; saves in every case.
    void removeContact(int index);

    /// Writes the current list to `path` in the same format; the own file is not touched.
    /// Returns false when the file could not be written.
    bool exportContacts(const QString& path) const;
    /// Replaces the list with the contacts of `path` and saves. An unreadable, malformed
    /// or foreign file (root other than "Contacts") changes nothing and saves nothing.
    /// Returns whether the list was replaced.
    bool importContacts(const QString& path);

    /// Reloads the list from the own file; on any failure the list stays as it was.
    bool load();
    /// Writes the list to the own file atomically; returns false when it could not.
    /// The list in memory keeps every change either way.
    bool save();

    /// "<generic data folder>/Kestrovia_Contacts.xml".
    static QString defaultPath();

private:
    bool readFrom(const QString& path);

    QString filePath;
    QList<Contact> list;
};
