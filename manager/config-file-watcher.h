// Watches the nine record folders and feeds changes made on disk to the cache.
#pragma once

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

class FileWatcher : public QObject {
    Q_OBJECT
public:
    static FileWatcher* Instance();
    explicit FileWatcher(QObject* parent = nullptr);

    // Announces that the service itself is about to create, rewrite or
    // delete `file`, so the next notification for it is dropped once.
    void IgnoreFile(const QString& file);
    // Withdraws an announcement made for a write that did not happen.
    void UnignoreFile(const QString& file);
    bool IsIgnored(const QString& file) const;

private:
    mutable QMutex ignore_mutex_;
    QSet<QString> ignore_list_;
};
