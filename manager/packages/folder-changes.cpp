#include "folder-changes.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Everything that changes a file's or a folder's stat, or which entry a name
// stands for; reads and opens are left out.
constexpr uint32_t kChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

void FolderChanges::Watch(const std::vector<std::string>& required, const std::vector<std::string>& optional) {
    fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_) return;
    bool watched = true;
    for (const auto& folder : required) watched = watched && inotify_add_watch(fd_.get(), folder.c_str(), kChanges) >= 0;
    for (const auto& folder : optional)
        if (inotify_add_watch(fd_.get(), folder.c_str(), kChanges) < 0 && errno != ENOENT) watched = false;
    if (!watched) {
        // Without every watch nothing can be told: Quiet() never holds.
        fd_.reset();
    }
}

bool FolderChanges::Quiet() {
    if (!fd_) return false;
    alignas(inotify_event) char buffer[4096];
    bool quiet = true;
    for (;;) {
        const ssize_t n = read(fd_.get(), buffer, sizeof buffer);
        if (n > 0) {
            quiet = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN: the queue is empty. Anything else: the queue cannot be
        // trusted, so it is not used again.
        if (n < 0 && errno != EAGAIN) {
            fd_.reset();
            return false;
        }
        return quiet;
    }
}
