#include "proc-readers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QByteArray>

#include "ac-log.h"
#include "unique-fd.h"

std::string get_pid_link(int pid, const char* name) {
    char path[4096];
    snprintf(path, sizeof(path), "/proc/%d/%s", pid, name ? name : "");
    char target[4096];
    const ssize_t n = readlink(path, target, sizeof(target));
    if (n < 0) {
        AcLog(LOG_ERR, "readlink error linkpath = %s!", path);
        return std::string();
    }
    return std::string(target, static_cast<size_t>(n));
}

QString get_caller_cmdline(int pid) {
    // Every audited question reads this file, so it is read with plain
    // calls: a QFile with a QTextStream makes twice the system calls for
    // the same first line.
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
    const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return QString();
    QByteArray line;
    bool ended = false;
    char buffer[4096];
    while (!ended) {
        const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const void* newline = memchr(buffer, '\n', static_cast<size_t>(n));
        const size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - buffer) : n;
        line.append(buffer, static_cast<qsizetype>(take));
        ended = newline != nullptr;
    }
    // A line ends at "\n" or "\r\n", as a text stream reads it.
    if (ended && line.endsWith('\r')) line.chop(1);
    return QString::fromUtf8(line);
}
