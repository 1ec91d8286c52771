// The cache's announcements of its own writes, which the folder watcher
// consults so that it does not take such a write in as someone else's.
#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

class OwnWrites {
public:
    // Announces that the cache is about to create, rewrite or delete `file`
    // (it does so while it holds its lock for the whole change). The
    // announcement lasts until the watcher's next look at the folder: that
    // look sees the write done.
    void Announce(const QString& file);
    // Withdraws an announcement made for a write that did not happen.
    void Withdraw(const QString& file);
    bool IsAnnounced(const QString& file) const;

    // The announcements of files directly in `folder` (path -> number).
    QHash<QString, quint64> In(const QString& folder) const;
    // Ends the announcements `covered` holds, unless made again since.
    void Forget(const QHash<QString, quint64>& covered);

private:
    mutable QMutex mutex_;
    QHash<QString, quint64> announced_;  // path -> number of its latest announcement
    quint64 announcements_ = 0;
};
