#include "storage/recentstore.h"

#include <QMutexLocker>
#include <QStandardPaths>

#include "storage/recordfile.h"

namespace {

const recordfile::Layout& layout()
{
    static const recordfile::Layout recentLayout{
        "Recents",
        "Recent",
        {"name", "ip", "time", "duration", "protocol", "flow", "status"},
        {"seconds", "reason"}};
    return recentLayout;
}

} // namespace

RecentStore::RecentStore()
    : RecentStore(defaultPath())
{}

RecentStore::RecentStore(const QString& path)
    : filePath(path)
{
    load();
}

QString RecentStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           "/Kestrovia_Recents.xml";
}

QList<Recent> RecentStore::recents() const
{
    QMutexLocker lock(&mutex);
    return list;
}

void RecentStore::addRecent(const Recent& recent)
{
    QMutexLocker lock(&mutex);
    list.prepend(recent);
    saveLocked();
}

void RecentStore::removeRecent(int index)
{
    QMutexLocker lock(&mutex);
    if (index >= 0 && index < list.size())
        list.removeAt(index);
    saveLocked();
}

void RecentStore::clearRecents()
{
    QMutexLocker lock(&mutex);
    list.clear();
    saveLocked();
}

bool RecentStore::load()
{
    QList<QStringList> records;
    if (!recordfile::read(filePath, layout(), records))
        return false;
    QList<Recent> loaded;
    for (const QStringList& r : records)
        loaded.append(Recent{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8]});
    QMutexLocker lock(&mutex);
    list = loaded;
    return true;
}

bool RecentStore::save()
{
    QMutexLocker lock(&mutex);
    return saveLocked();
}

bool RecentStore::saveLocked()
{
    QList<QStringList> records;
    for (const Recent& r : list)
        records << QStringList{r.name, r.ip,     r.time,    r.duration, r.protocol,
                               r.flow, r.status, r.seconds, r.reason};
    return recordfile::write(filePath, layout(), records);
}
