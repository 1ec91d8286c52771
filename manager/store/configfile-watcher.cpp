#include "configfile-watcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileSystemWatcher>
#include <QSet>
#include <QThread>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <mutex>
#include <string>

#include "ac-log.h"
#include "installed.h"
#include "acconstants.h"
#include "config-manager.h"

namespace {

// Files, sub-directories and links, no hidden names, directories first.
QStringList ListFolder(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::AllDirs | QDir::NoDotAndDotDot, QDir::DirsFirst);
}

QPair<quint64, qint64> IdentityOf(const QString& path) {
    struct stat st {};
    if (lstat(path.toUtf8().constData(), &st) != 0) return {0, 0};
    return {static_cast<quint64>(st.st_ino), static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Creates every missing directory of `path` that is followed by a "/".
void recurive_create_dir(const char* path) {
    char prefix[4096];
    const size_t len = strlen(path);
    for (size_t i = 1; i < len; ++i) {
        if (path[i] != '/') continue;
        if (i >= sizeof prefix) return;
        memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (access(prefix, F_OK) == 0) continue;
        if (mkdir(prefix, 0755) != 0) return;
        // The umask of the host must not narrow what other readers need.
        chmod(prefix, 0755);
    }
}

QtMessageHandler g_previous_handler = nullptr;

void QuietAboutTheThread(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("not created in the main() thread"))) return;
    if (g_previous_handler) g_previous_handler(type, context, message);
}

// Qt 6 delivers no event to any thread (the watcher's notifications among
// them) while no application object exists, and a host that loads the
// plug-in has none. One is made here, once, on the watching thread, and kept
// for the life of the process. Qt's complaint that this is not the host's
// main thread is expected, and the host's locale is left as it was.
void EnsureApplication() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (QCoreApplication::instance() != nullptr) return;
        static int argc = 1;
        static char name[] = "sarv-ac-manager";
        static char* argv[] = {name, nullptr};
        const char* current = setlocale(LC_ALL, nullptr);
        std::string locale = current ? current : "C";
        g_previous_handler = qInstallMessageHandler(QuietAboutTheThread);
        new QCoreApplication(argc, argv);
        qInstallMessageHandler(g_previous_handler);
        setlocale(LC_ALL, locale.c_str());
    });
}

}  // namespace

FileWatcher* FileWatcher::Instance() { return InstalledSlot<FileWatcher>::Get(); }

// The first caller may be a thread that never runs a Qt event loop (the
// start-up thread of the plug-in, which goes on to serve the bus). The
// object therefore starts without a thread, and the thread that calls
// WatchConfigPath takes it over together with the file-system watcher, so
// every notification arrives in that thread's event loop.
FileWatcher::FileWatcher(QObject* parent) : QObject(parent) {
    if (parent == nullptr) moveToThread(nullptr);
}

FileWatcher::~FileWatcher() {
    (void)detached_.load(std::memory_order_acquire);
    disconnect(thread_finished_);
}

bool FileWatcher::AttachToCurrentThread() {
    QThread* current = QThread::currentThread();
    if (thread() != current) {
        if (thread() != nullptr) {
            AcLog(LOG_ERR, "FileWatcher: folders can only be watched from the watcher's own thread");
            return false;
        }
        moveToThread(current);
    }
    if (watcher_ == nullptr) {
        watcher_ = new QFileSystemWatcher(this);
        connect(watcher_, SIGNAL(fileChanged(QString)), this, SLOT(FileChanged(QString)));
        connect(watcher_, SIGNAL(directoryChanged(QString)), this, SLOT(FileChanged(QString)));
        // The watcher's notifier lives in this thread's event dispatcher,
        // which goes away with the thread; a later run (the service started
        // again) builds a fresh watcher on its own thread.
        disconnect(thread_finished_);
        thread_finished_ =
            connect(current, &QThread::finished, this, &FileWatcher::DetachFromThread, Qt::DirectConnection);
    }
    return true;
}

// Runs on the finishing thread itself, just before its event loop is gone.
void FileWatcher::DetachFromThread() {
    disconnect(thread_finished_);
    delete watcher_;
    watcher_ = nullptr;
    listings_.clear();
    identities_.clear();
    if (parent() == nullptr) moveToThread(nullptr);
    detached_.fetch_add(1, std::memory_order_release);
}

void FileWatcher::WatchPath(const QString& folder) {
    if (!AttachToCurrentThread()) return;
    recurive_create_dir((folder + "/").toUtf8().constData());
    if (!watcher_->addPath(folder)) {
        AcLog(LOG_ERR, "ConfigFileWatcher::AddPath faied: %s", folder.toUtf8().constData());
        return;
    }
    const Look look = LookAt(folder, true);
    listings_[folder] = look.names;
    for (auto it = look.identities.begin(); it != look.identities.end(); ++it) identities_[it.key()] = it.value();
    ConfigManager::Instance()->ownWrites.Forget(look.covered);
    TakeInMissed(folder, look);
}

FileWatcher::Look FileWatcher::LookAt(const QString& folder, bool first) {
    Look look;
    ConfigManager* cache = ConfigManager::Instance();
    cache->BetweenChanges([&] {
        for (const QString& name : ListFolder(folder)) {
            const Identity identity = IdentityOf(folder + "/" + name);
            // Removed since it was listed: the look shows it removed, as
            // the next one would.
            if (identity == Identity{0, 0}) continue;
            look.names.append(name);
            look.identities[folder + "/" + name] = identity;
        }
        look.covered = cache->ownWrites.In(folder);
        for (auto it = look.covered.begin(); it != look.covered.end(); ++it)
            if (cache->HoldsAsOnDisk(it.key().toStdString())) look.own.insert(it.key());
        if (first) look.cached = cache->CachedPaths(folder.toStdString());
    });
    return look;
}

// Files added after the cache read the trees and before this look (by an
// administrator, a package, or start-up's renaming of legacy files), and
// files removed meanwhile, are taken in as if they had been reported; so is
// a file changed by someone else after the service's own write of it.
void FileWatcher::TakeInMissed(const QString& folder, const Look& look) {
    QSet<QString> listed;
    for (const QString& name : look.names) {
        const QString path = folder + "/" + name;
        listed.insert(path);
        const std::string file = path.toStdString();
        struct stat st {};
        if (ParseConfigType(file) == UnknownType || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (look.cached.count(file) != 0 && (!look.covered.contains(path) || look.own.contains(path))) continue;
        usleep(100000);
        AC_LOG_DEBUG("file added: %s", path.toUtf8().constData());
        ConfigManager::Instance()->SetCacheAndUpdatePolicy(path, true);
    }
    for (const std::string& file : look.cached) {
        const QString path = QString::fromStdString(file);
        if (listed.contains(path)) continue;
        usleep(100000);
        AC_LOG_DEBUG("file deleted: %s", path.toUtf8().constData());
        ConfigManager::Instance()->SetCacheAndUpdatePolicy(path, false);
    }
}

int FileWatcher::WatchConfigPath() {
    EnsureApplication();
    const CacheCallbacks& callbacks = ConfigManager::Instance()->Callbacks();
    if (callbacks.watching) callbacks.watching();
    for (const auto& folder : kConfigFolderList) WatchPath(QString::fromStdString(folder));
    return 0;
}

void FileWatcher::IgnoreFile(const QString& file) {
    ConfigManager::Instance()->ownWrites.Announce(file);
}

void FileWatcher::UnignoreFile(const QString& file) {
    ConfigManager::Instance()->ownWrites.Withdraw(file);
}

bool FileWatcher::IsIgnored(const QString& file) const {
    return ConfigManager::Instance()->ownWrites.IsAnnounced(file);
}

int FileWatcher::FileChanged(const QString& folder) {
    const Look look = LookAt(folder, false);
    const QStringList& current = look.names;
    const QStringList remembered = listings_.value(folder);
    const QSet<QString> now(current.begin(), current.end());
    const QSet<QString> before(remembered.begin(), remembered.end());

    for (const QString& name : now - before) {
        // A package unpacks under a temporary name and renames it; only the
        // final name is a configuration file.
        if (name.endsWith(QStringLiteral(".dpkg-new"))) continue;
        int r = ConfigManager::ProtectConfig();
        if (r != 0) AcLog(LOG_ERR, "ProtectConfig failed! res = %d\n", r);
        const QString path = folder + "/" + name;
        if (look.own.contains(path)) continue;
        // Give a writer that is not atomic time to finish the file.
        usleep(100000);
        AC_LOG_DEBUG("file added: %s", path.toUtf8().constData());
        ConfigManager::Instance()->SetCacheAndUpdatePolicy(path, true);
    }
    for (const QString& name : before - now) {
        if (name.endsWith(QStringLiteral(".dpkg-new"))) continue;
        const QString path = folder + "/" + name;
        if (look.own.contains(path)) continue;
        usleep(100000);
        AC_LOG_DEBUG("file deleted: %s", path.toUtf8().constData());
        ConfigManager::Instance()->SetCacheAndUpdatePolicy(path, false);
    }
    // A file replaced under its own name: its new content is taken in as if
    // it had been added (the cache replaces what it held for that path).
    for (const QString& name : now & before) {
        const QString path = folder + "/" + name;
        const Identity identity = look.identities.value(path);
        if (identity == identities_.value(path)) continue;
        identities_[path] = identity;
        if (name.endsWith(QStringLiteral(".dpkg-new")) || look.own.contains(path)) continue;
        usleep(100000);
        AC_LOG_DEBUG("file replaced: %s", path.toUtf8().constData());
        ConfigManager::Instance()->SetCacheAndUpdatePolicy(path, true);
    }
    for (const QString& name : before - now) identities_.remove(folder + "/" + name);
    for (const QString& name : now - before) {
        const QString path = folder + "/" + name;
        identities_[path] = look.identities.value(path);
    }
    listings_[folder] = current;
    ConfigManager::Instance()->ownWrites.Forget(look.covered);
    return 0;
}
