#include "storage/contactstore.h"

#include <QStandardPaths>

#include "storage/recordfile.h"

namespace {

const recordfile::Layout& layout()
{
    static const recordfile::Layout contactLayout{
        "Contacts", "Contact", {"name", "ip", "org", "address", "protocol"}};
    return contactLayout;
}

QList<QStringList> toRecords(const QList<Contact>& contacts)
{
    QList<QStringList> records;
    for (const Contact& c : contacts)
        records << QStringList{c.name, c.ip, c.org, c.address, c.protocol};
    return records;
}

} // namespace

ContactStore::ContactStore()
    : ContactStore(defaultPath())
{}

ContactStore::ContactStore(const QString& path)
    : filePath(path)
{
    load();
}

QString ContactStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           "/Kestrovia_Contacts.xml";
}

void ContactStore::addContact(const QString& name, const QString& ip, const QString& org,
                              const QString& address, const QString& protocol)
{
    list.append(Contact{name, ip, org, address, protocol});
    save();
}

void ContactStore::updateContact(int index, const Contact& contact)
{
    if (index >= 0 && index < list.size())
        list[index] = contact;
    save();
}

void ContactStore::removeContact(int index)
{
    if (index >= 0 && index < list.size())
        list.removeAt(index);
    save();
}

bool ContactStore::exportContacts(const QString& path) const
{
    return recordfile::write(path, layout(), toRecords(list));
}

bool ContactStore::importContacts(const QString& path)
{
    if (!readFrom(path))
        return false;
    save();
    return true;
}

bool ContactStore::load()
{
    return readFrom(filePath);
}

bool ContactStore::save()
{
    return recordfile::write(filePath, layout(), toRecords(list));
}

bool ContactStore::readFrom(const QString& path)
{
    QList<QStringList> records;
    if (!recordfile::read(path, layout(), records))
        return false;
    list.clear();
    for (const QStringList& r : records)
        list.append(Contact{r[0], r[1], r[2], r[3], r[4]});
    return true;
}
