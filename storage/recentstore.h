#pragma once

#include <QList>
#include <QMutex>
#include <QString>

/// One call of the history; every field is plain text, nothing is validated.
struct Recent
{
    QString name;         ///< the other party's name ("*" when none was found)
    QString ip;           ///< the other party's address
    QString time;         ///< start of the call, "dd/MM/yy hh:mm", local time
    QString duration;     ///< whole minutes, decimal
    QString protocol;     ///< "H.323"
    QString flow;         ///< "outgoing" or "incoming"
    QString status;       ///< "success" or "failure"
    QString seconds = {}; ///< the duration in whole seconds; empty in older records
    /// Why a failed call failed: the end reason's number, then ":" and the Q.931 cause
    /// when one came; empty for calls that went well and in older records.
    QString reason = {};

    bool operator==(const Recent&) const = default;
};

/// The recent calls, newest first, kept in the file "Kestrovia_Recents.xml" of the user's
/// generic data folder and saved after every change.
///
/// Thread safety: every member may be called from any thread. The call engine adds the
/// record of a finished call from its own thread while the GUI thread reads the list;
/// `mutex` guards `list` and the writing of the file, so each change and its save are one
/// step and the file always holds a complete list.
class RecentStore
{
public:
    /// Sets the path and loads the file (an empty list when there is none).
    RecentStore();
    /// As above with another file; for tests and tools.
    explicit RecentStore(const QString& path);

    /// A copy of the list, newest first.
    QList<Recent> recents() const;
    const QString& path() const { return filePath; }

    /// Puts `recent` at the front and saves. Safe from any thread.
    void addRecent(const Recent& recent);
    /// Removes row `index` when it is valid; saves in every case.
    void removeRecent(int index);
    /// Empties the list and saves.
    void clearRecents();

    /// Reloads the list from the file; on any failure the list stays as it was.
    bool load();
    /// Writes the list to the file atomically; returns false when it could not.
    bool save();

    /// "<generic data folder>/Kestrovia_Recents.xml".
    static QString defaultPath();

private:
    bool saveLocked();

    const QString filePath;
    mutable QMutex mutex;
    QList<Recent> list; // guarded by mutex
};
