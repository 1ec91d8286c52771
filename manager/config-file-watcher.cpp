#include "config-file-watcher.h"

#include <QMutexLocker>

FileWatcher* FileWatcher::Instance() {
    static FileWatcher instance(nullptr);
    return &instance;
}

FileWatcher::FileWatcher(QObject* parent) : QObject(parent) {}

void FileWatcher::IgnoreFile(const QString& file) {
    QMutexLocker lock(&ignore_mutex_);
    ignore_list_.insert(file);
}

void FileWatcher::UnignoreFile(const QString& file) {
    QMutexLocker lock(&ignore_mutex_);
    ignore_list_.remove(file);
}

bool FileWatcher::IsIgnored(const QString& file) const {
    QMutexLocker lock(&ignore_mutex_);
    return ignore_list_.contains(file);
}
