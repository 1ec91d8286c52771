/* Stands in for libaudit's record calls so that tests can read the records
 * a program writes, without a kernel audit subsystem.
 *
 * Preloaded (LD_PRELOAD) or linked into a test program, it appends one line
 * per record to the file named by SARV_AUDIT_LOG:
 *
 *   type=T<TAB>message=M<TAB>comm=C<TAB>hostname=H<TAB>addr=A<TAB>tty=Y<TAB>result=R
 *
 * The texts are written as received, so a record whose text holds a tab or
 * a newline shows up as extra fields or lines. A null text is "(null)".
 * With SARV_AUDIT_OPEN_FAIL=1 audit_open fails as it does where the audit
 * subsystem is unreachable, and nothing is recorded. */
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
    const char* log = getenv("SARV_AUDIT_LOG");
    if (!log || !*log) return 0;

    static const char format[] = "type=%d\tmessage=%s\tcomm=%s\thostname=%s\taddr=%s\ttty=%s\tresult=%d\n";
    int n = snprintf(NULL, 0, format, type, text_or_null(message), text_or_null(comm), text_or_null(hostname),
                     text_or_null(addr), text_or_null(tty), result);
    if (n < 0) return -1;
    char* line = malloc((size_t)n + 1);
    if (!line) return -1;
    snprintf(line, (size_t)n + 1, format, type, text_or_null(message), text_or_null(comm), text_or_null(hostname),
             text_or_null(addr), text_or_null(tty), result);

    /* One write per record with O_APPEND, so records of concurrent writers
     * never interleave. */
    int rc = -1;
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = write(fd, line, (size_t)n);
        rc = (w == n) ? 0 : -1;
        close(fd);
    }
    free(line);
    return rc;
}
