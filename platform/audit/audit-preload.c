/* libaudit's record calls for runs that must not reach the machine's audit system, preloaded or linked in. A
 * record is a line of SARV_AUDIT_LOG: type message comm hostname addr tty result as NAME=VALUE, tab-separated, texts
 * as received ("(null)": none). SARV_AUDIT_OPEN_FAIL=1: no audit subsystem; a connection opened before drops
 * records, as the kernel does with auditing switched off. Held to libaudit 3.0.9's limits: a name it would
 * hex-encode past its 8192-byte buffer aborts, as its stack overflow does; a record text over the kernel's 8560
 * bytes (it cuts silently) is -EINVAL. Success is positive. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define VISIBLE __attribute__((visibility("default")))
enum { kNameBuffer = 8192, kMaxText = 8560, kMaxAddr = 45 /* INET6_ADDRSTRLEN - 1 */ };

/* NAME=VALUE's value as libaudit writes it: quoted, or hex-encoded into its fixed buffer. */
static size_t rendered(const char* value) {
    const size_t n = strlen(value);
    for (const char* c = value; *c; ++c)
        if (*c == '"' || (unsigned char)*c < 0x21 || (unsigned char)*c > 0x7e) {
            if (2 * n + 1 > kNameBuffer) fprintf(stderr, "audit stand-in: %zu bytes overrun libaudit\n", n), abort();
            return 2 * n;
        }
    return (n < kNameBuffer - 2 ? n : kNameBuffer - 3) + 2;
}

static const char* text(const char* s) { return s ? s : "(null)"; }

static int audit_off(void) {
    const char* fail = getenv("SARV_AUDIT_OPEN_FAIL");
    return fail && strcmp(fail, "1") == 0;
}

VISIBLE int audit_open(void) { return audit_off() ? (errno = EPROTONOSUPPORT, -1) : open("/dev/null", O_RDWR | O_CLOEXEC); }

VISIBLE void audit_close(int fd) { if (fd >= 0) close(fd); }

VISIBLE int audit_log_user_comm_message(int fd, int type, const char* message, const char* comm, const char* host,
                                        const char* addr, const char* tty, int result) {
    if (fd < 0) return 0;
    if (audit_off()) return 1;
    /* Read once, as libaudit does; the callers take turns. */
    static char exe[4096] = "";
    char* line = NULL;
    if (!exe[0]) exe[readlink("/proc/self/exe", exe, sizeof exe - 1) & 4095] = 0;
    const size_t a = addr && *addr ? strlen(addr) : kMaxAddr; /* without one libaudit looks the host up */
    const size_t length = strlen(message ? message : "") + (comm ? 6 + rendered(comm) : 0) + 5 + rendered(exe) + 10 +
                          (host && *host ? strlen(host) : 1) + 6 + (a < kMaxAddr ? a : kMaxAddr) + 10 +
                          (tty && *tty ? strlen(tty) : 7) + 5 + (result ? 7 : 6);
    if (length > kMaxText) return errno = EINVAL, -EINVAL;
    const char* log = getenv("SARV_AUDIT_LOG");
    if (!log || !*log) return 1;
    const int n = asprintf(&line, "type=%d\tmessage=%s\tcomm=%s\thostname=%s\taddr=%s\ttty=%s\tresult=%d\n", type,
                           text(message), text(comm), text(host), text(addr), text(tty), result);
    if (n < 0) return -ENOMEM;
    /* One write with O_APPEND: records of concurrent writers never interleave. */
    const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int rc = out < 0 ? -errno : write(out, line, n) == n ? 1 : -EIO;
    if (out >= 0) close(out);
    free(line);
    return rc;
}
