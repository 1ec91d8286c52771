// Watches the nine record folders and feeds changes made on disk to the cache.
#pragma once

#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QHash>
#include <QPair>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <set>
#include <string>

class QFileSystemWatcher;

class FileWatcher : public QObject {
    Q_OBJECT
public:
    // The one the service object installed (installed.h); null when none is.
    static FileWatcher* Instance();
    explicit FileWatcher(QObject* parent = nullptr);
    ~FileWatcher() override;

    // Starts watching one folder, creating it (and its parents) first.
    void WatchPath(const QString& folder);
    // Starts watching every configuration folder from the calling thread,
    // which must run an event loop afterwards; returns 0.
    int WatchConfigPath();

    // The cache's own writes (OwnWrites, in ConfigManager::ownWrites): an
    // announced write is not taken in as a change made by someone else.
    void IgnoreFile(const QString& file);
    void UnignoreFile(const QString& file);
    bool IsIgnored(const QString& file) const;

public slots:
    // Compares the folder with its remembered listing and hands every added
    // or removed name to the cache; returns 0.
    int FileChanged(const QString& folder);

private:
    using Identity = QPair<quint64, qint64>;
    // One look at a folder, taken between two of the service's own changes.
    struct Look {
        QStringList names;
        QHash<QString, Identity> identities;  // by full path
        // The announcements made before the look (path -> number): their
        // writes are done and the look shows them.
        QHash<QString, quint64> covered;
        // The covered paths whose file the cache holds as it is on disk:
        // a change found there is the service's own.
        QSet<QString> own;
        std::set<std::string> cached;  // first look only: the files the cache holds
    };

    bool AttachToCurrentThread();
    void DetachFromThread();
    Look LookAt(const QString& folder, bool first);
    // Brings in what changed on disk before the first look (from when the
    // cache read the trees).
    void TakeInMissed(const QString& folder, const Look& look);

    QFileSystemWatcher* watcher_ = nullptr;
    QMap<QString, QList<QString>> listings_;
    // Inode and modification time of every listed entry: a file replaced
    // under its own name (an atomic rewrite) keeps its name but not these.
    QHash<QString, Identity> identities_;
    QMetaObject::Connection thread_finished_;
    // Counts the watching threads that have let go of the object. Whoever
    // waited for such a thread is ordered after its last writes by Qt's own
    // primitives, which thread checkers cannot see; reading this counter
    // with acquire states the same order in a form they do see.
    std::atomic<unsigned> detached_{0};
};
