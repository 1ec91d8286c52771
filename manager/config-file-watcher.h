// Watches the nine record folders and feeds changes made on disk to the cache.
#pragma once

#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QHash>
#include <QMutex>
#include <QPair>
#include <QObject>
#include <QString>

#include <atomic>

class QFileSystemWatcher;

class FileWatcher : public QObject {
    Q_OBJECT
public:
    static FileWatcher* Instance();
    explicit FileWatcher(QObject* parent = nullptr);
    ~FileWatcher() override;

    // Starts watching one folder, creating it (and its parents) first.
    void WatchPath(const QString& folder);
    // Starts watching every configuration folder from the calling thread,
    // which must run an event loop afterwards; returns 0.
    int WatchConfigPath();

    // Announces that the service itself is about to create, rewrite or
    // delete `file`, so the next addition or deletion of it is dropped once.
    void IgnoreFile(const QString& file);
    // Withdraws an announcement made for a write that did not happen.
    void UnignoreFile(const QString& file);
    bool IsIgnored(const QString& file) const;

public slots:
    // Compares the folder with its remembered listing and hands every added
    // or removed name to the cache; returns 0.
    int FileChanged(const QString& folder);

private:
    bool AttachToCurrentThread();
    void DetachFromThread();
    // Removes `file` from the ignore list; true when it was there.
    bool TakeIgnored(const QString& file);

    QFileSystemWatcher* watcher_ = nullptr;
    QMap<QString, QList<QString>> listings_;
    // Inode and modification time of every listed entry: a file replaced
    // under its own name (an atomic rewrite) keeps its name but not these.
    QHash<QString, QPair<quint64, qint64>> identities_;
    mutable QMutex ignore_mutex_;
    QList<QString> ignore_list_;
    QMetaObject::Connection thread_finished_;
    // Counts the watching threads that have let go of the object. Whoever
    // waited for such a thread is ordered after its last writes by Qt's own
    // primitives, which thread checkers cannot see; reading this counter
    // with acquire states the same order in a form they do see.
    std::atomic<unsigned> detached_{0};
};

// 1 when the system bus daemon is not newer than the service's bus policy
// file and must reload its configuration, else 0.
int is_dbusdaemon_early_then_sarvconfig();
