#include "own-writes.h"

#include <QMutexLocker>

void OwnWrites::Announce(const QString& file) {
    QMutexLocker lock(&mutex_);
    // Numbered anew: a look that covered the earlier write keeps this one.
    announced_[file] = ++announcements_;
}

void OwnWrites::Withdraw(const QString& file) {
    QMutexLocker lock(&mutex_);
    announced_.remove(file);
}

bool OwnWrites::IsAnnounced(const QString& file) const {
    QMutexLocker lock(&mutex_);
    return announced_.contains(file);
}

QHash<QString, quint64> OwnWrites::In(const QString& folder) const {
    QHash<QString, quint64> covered;
    QMutexLocker lock(&mutex_);
    for (auto it = announced_.begin(); it != announced_.end(); ++it)
        if (it.key().section('/', 0, -2) == folder) covered.insert(it.key(), it.value());
    return covered;
}

void OwnWrites::Forget(const QHash<QString, quint64>& covered) {
    QMutexLocker lock(&mutex_);
    for (auto it = covered.begin(); it != covered.end(); ++it) {
        auto now = announced_.find(it.key());
        if (now != announced_.end() && now.value() == it.value()) announced_.erase(now);
    }
}
