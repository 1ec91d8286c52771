#include "package-elf-list.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ac-log.h"
#include "policy-migration-helper.h"

extern char** environ;

namespace {

// `dpkg -L` of the largest packages prints a few megabytes.
constexpr size_t kMaxOutput = size_t(64) << 20;
// No path handed to open() can be longer.
constexpr size_t kMaxLine = 4095;

// Starts `dpkg -L name` with its standard output on a pipe; the name is one
// argument, never seen by a shell. Returns the child's pid, or -1.
pid_t SpawnDpkgList(std::string& name, int* read_fd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    // Keep the write end off 0-2 so that the dup onto stdout really clears
    // close-on-exec even when the host runs with closed standard streams.
    if (fds[1] <= STDERR_FILENO) {
        int high = fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
        close(fds[1]);
        fds[1] = high;
        if (high < 0) {
            close(fds[0]);
            return -1;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    // The service's sockets and files are none of dpkg's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    sigaddset(&mask, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &mask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char program[] = "dpkg";
    char option[] = "-L";
    char* argv[] = {program, option, name.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        errno = rc;
        return -1;
    }
    *read_fd = fds[0];
    return pid;
}

// Reads everything up to `limit` bytes; false when the output is longer.
bool ReadAll(int fd, size_t limit, std::string* out) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        if (out->size() + size_t(n) > limit) return false;
        out->append(buf, size_t(n));
    }
}

void Reap(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::vector<std::string> get_pkg_elf_list(const char* package) {
    std::vector<std::string> elves;
    std::string name = package ? package : "";
    std::string why;
    if (!IsValidPackageName(name.c_str(), &why)) {
        AcLog(LOG_WARNING, "get_pkg_elf_list: '%s' is not a package name, nothing listed", LogPrintable(name, 250).c_str());
        return elves;
    }

    int fd = -1;
    pid_t pid = SpawnDpkgList(name, &fd);
    if (pid < 0) {
        AcLog(LOG_WARNING, "Erro to popen %s", LogPrintable("dpkg -L " + name).c_str());
        AcLog(LOG_WARNING, "generate_pkg_file_list %s", LogPrintable(name).c_str());
        return elves;
    }
    std::string output;
    bool complete = false;
    try {
        complete = ReadAll(fd, kMaxOutput, &output);
    } catch (const std::exception&) {
        complete = false;
    }
    close(fd);
    if (!complete) kill(pid, SIGKILL);
    Reap(pid);
    if (!complete) {
        AcLog(LOG_WARNING, "generate_pkg_file_list %s: output of dpkg -L too large, ignored",
              LogPrintable(name).c_str());
        return elves;
    }

    try {
        size_t pos = 0;
        while (pos < output.size()) {
            size_t nl = output.find('\n', pos);
            size_t end = nl == std::string::npos ? output.size() : nl;
            std::string line = output.substr(pos, end - pos);
            pos = end + 1;
            line.resize(strnlen(line.c_str(), line.size()));
            if (line.empty() || line.size() > kMaxLine) continue;
            if (is_elf_file(line.c_str())) elves.push_back(std::move(line));
        }
    } catch (const std::exception&) {
        elves.clear();
    }
    return elves;
}
