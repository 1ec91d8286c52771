#include "run-program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "unique-fd.h"

extern char** environ;

namespace {

// Owns the spawn attributes and file actions, which need their destroy calls.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// A pipe whose write end lies above standard error, so that its dup onto
// standard output really clears close-on-exec even when the host runs with
// closed standard streams. False with errno set.
bool OpenPipe(UniqueFd* read_end, UniqueFd* write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end->reset(fds[0]);
    write_end->reset(fds[1]);
    if (fds[1] > STDERR_FILENO) return true;
    write_end->reset(fcntl(fds[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    return bool(*write_end);
}

// Reads up to `limit` bytes; true when the output ended within them.
bool ReadBounded(int fd, size_t limit, std::string* out) {
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        const size_t room = limit - out->size();
        out->append(buf, std::min(room, size_t(n)));
        if (size_t(n) > room) return false;
    }
}

}  // namespace

int ProgramResult::ExitCode() const {
    return started && status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
    ProgramResult result;
    UniqueFd read_end, write_end;
    pid_t pid = -1;
    try {
        if (argv.empty()) {
            result.error = EINVAL;
            return result;
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (options.capture && !OpenPipe(&read_end, &write_end)) {
            result.error = errno;
            return result;
        }

        SpawnSetup setup;
        if (options.capture) posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // The service's sockets and files are none of the child's business.
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
        // A host may block or ignore signals in all its threads.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&setup.attr, &none);
        posix_spawnattr_setsigdefault(&setup.attr, &all);
        posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
        if (rc != 0) {
            result.error = rc;
            return result;
        }
    } catch (...) {
        result.error = ENOMEM;
        return result;
    }
    result.started = true;
    write_end.reset();

    if (options.capture) {
        try {
            result.truncated = !ReadBounded(read_end.get(), options.capture_limit, &result.output);
        } catch (...) {
            result.truncated = true;
        }
        read_end.reset();
        if (result.truncated) kill(pid, SIGKILL);
    }
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid)
        result.status = status;
    else
        result.error = errno;
    return result;
}
