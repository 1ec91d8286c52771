// A plug-in for sarvd that records every call of its entry points, one line
// each, in the file named by SARVD_TEST_LOG:
//   ID CALL tid=THREAD main=0|1
// start and restart block like a service until stop (or the next restart)
// ends their session; with SARVD_TEST_START_RETURNS=ID start returns at once,
// with SARVD_TEST_START_LATE=ID it pauses before it begins to serve.
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#ifndef TEST_PLUGIN_ID
#define TEST_PLUGIN_ID "test"
#endif

namespace {

std::mutex mutex;
std::condition_variable changed;
unsigned session = 0;

void Record(const char* call) {
    const char* file = getenv("SARVD_TEST_LOG");
    if (file == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (FILE* out = fopen(file, "a")) {
        long tid = syscall(SYS_gettid);
        fprintf(out, "%s %s tid=%ld main=%d\n", TEST_PLUGIN_ID, call, tid, tid == getpid() ? 1 : 0);
        fclose(out);
    }
}

// Blocks until the current session is ended by stop or restart.
void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    unsigned mine = session;
    changed.wait(lock, [mine] { return session != mine; });
}

void EndSession() {
    std::lock_guard<std::mutex> lock(mutex);
    ++session;
    changed.notify_all();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* pluginID() {
    Record("pluginID");
    return TEST_PLUGIN_ID;
}

extern "C" __attribute__((visibility("default"))) void start() {
    Record("start");
    // Lets a test stop the plug-in before it serves.
    const char* late = getenv("SARVD_TEST_START_LATE");
    if (late != nullptr && strcmp(late, TEST_PLUGIN_ID) == 0) usleep(500000);
    const char* returns = getenv("SARVD_TEST_START_RETURNS");
    if (returns == nullptr || strcmp(returns, TEST_PLUGIN_ID) != 0) Serve();
    Record("start-returned");
}

extern "C" __attribute__((visibility("default"))) void stop() {
    Record("stop");
    EndSession();
}

#ifndef TEST_PLUGIN_NO_RESTART
extern "C" __attribute__((visibility("default"))) void restart() {
    Record("restart");
    EndSession();
    Serve();
    Record("restart-returned");
}
#endif

#ifdef TEST_PLUGIN_UNRESOLVED
// Resolved by nobody: loading this plug-in with RTLD_NOW must fail.
extern "C" void sarvd_test_no_such_function();
extern "C" __attribute__((visibility("default"))) void sarvd_test_use_missing() { sarvd_test_no_such_function(); }
#endif
