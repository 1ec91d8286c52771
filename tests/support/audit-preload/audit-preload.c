/* Stands in for libaudit's record calls so that tests can read the records a program writes,
 * without a kernel audit subsystem. Preloaded (LD_PRELOAD) or linked into a test program, it
 * appends one line per record to the file named by SARV_AUDIT_LOG:
 *   type=T<TAB>message=M<TAB>comm=C<TAB>hostname=H<TAB>addr=A<TAB>tty=Y<TAB>result=R
 * The texts are written as received (a tab or a newline in one shows up as extra fields or
 * lines; a null text is "(null)"). With SARV_AUDIT_OPEN_FAIL=1 audit_open fails as it does
 * where the audit subsystem is unreachable, and nothing is recorded.
 * It holds the caller to the limits of libaudit 3.0.9 and the kernel, so that a test sees an
 * oversize text: a program name that libaudit would hex-encode past its 8192-byte buffer
 * aborts the process, as the library's stack overflow does; a record whose text would be
 * longer than libaudit sends (8951 bytes) or than the kernel keeps (8560 bytes, where the real
 * one is cut silently) is refused with -EINVAL and not written. Success is positive, as there. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libaudit.h>

#define VISIBLE __attribute__((visibility("default")))

static const char* text_or_null(const char* s) { return s ? s : "(null)"; }

enum {
    kLibNameBuffer = 8192,   /* PATH_MAX * 2: comm and exe are encoded into it */
    kLibMaxText = 8951,      /* the longest text that still fits a netlink message */
    kKernelMaxText = 8560,   /* AUDIT_MESSAGE_TEXT_MAX */
    kLibMaxAddr = 45,        /* INET6_ADDRSTRLEN - 1 */
};

/* libaudit's rule: such a value is written as hexadecimal digits. */
static int needs_encoding(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '"' || c < 0x21 || c > 0x7e) return 1;
    }
    return 0;
}

/* The length of NAME=VALUE's VALUE as libaudit writes it: quoted, or encoded
 * into its fixed buffer, which a long encoded value overruns. */
static size_t rendered_length(const char* what, const char* value) {
    const size_t n = strlen(value);
    if (!needs_encoding(value, n)) return (n < kLibNameBuffer - 2 ? n : kLibNameBuffer - 3) + 2;
    if (2 * n + 1 > kLibNameBuffer) {
        fprintf(stderr, "audit stand-in: %s of %zu bytes overruns libaudit's buffer of %d bytes\n", what, n,
                kLibNameBuffer);
        abort();
    }
    return 2 * n;
}

/* The length of the text libaudit would send for this record. */
static size_t record_length(const char* message, const char* comm, const char* hostname, const char* addr,
                            const char* tty, int result) {
    char exe[4096] = "";
    const ssize_t e = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (e > 0) exe[e] = 0;
    size_t n = strlen(message ? message : "");
    if (comm) n += strlen(" comm=") + rendered_length("comm", comm);
    n += strlen(" exe=") + rendered_length("exe", exe);
    n += strlen(" hostname=") + (hostname && *hostname ? strlen(hostname) : 1);
    /* Without an address libaudit looks the host name up: count the most it keeps. */
    const size_t a = addr && *addr ? strlen(addr) : kLibMaxAddr;
    n += strlen(" addr=") + (a < kLibMaxAddr ? a : kLibMaxAddr);
    n += strlen(" terminal=") + (tty && *tty ? strlen(tty) : strlen("pts/999"));
    n += strlen(" res=") + strlen(result ? "success" : "failed");
    return n;
}

VISIBLE int audit_open(void) {
    const char* fail = getenv("SARV_AUDIT_OPEN_FAIL");
    if (fail && strcmp(fail, "1") == 0) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    return open("/dev/null", O_RDWR | O_CLOEXEC);
}

VISIBLE void audit_close(int fd) {
    if (fd >= 0) close(fd);
}

VISIBLE int audit_log_user_comm_message(int audit_fd, int type, const char* message, const char* comm,
                                        const char* hostname, const char* addr, const char* tty, int result) {
    if (audit_fd < 0) return 0;
    const size_t length = record_length(message, comm, hostname, addr, tty, result);
    if (length > kLibMaxText || length > kKernelMaxText) {
        errno = EINVAL;
        return -EINVAL;
    }
    const char* log = getenv("SARV_AUDIT_LOG");
    if (!log || !*log) return 1;

    char* line = NULL;
    const int n = asprintf(&line, "type=%d\tmessage=%s\tcomm=%s\thostname=%s\taddr=%s\ttty=%s\tresult=%d\n", type,
                           text_or_null(message), text_or_null(comm), text_or_null(hostname), text_or_null(addr),
                           text_or_null(tty), result);
    if (n < 0) return -1;

    /* One write per record with O_APPEND: records of concurrent writers never interleave. */
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int rc = fd < 0 ? -errno : write(fd, line, (size_t)n) == n ? 1 : -EIO;
    if (fd >= 0) close(fd);
    free(line);
    return rc;
}
