#include "ac-dbus-service.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

#include "access-control-dbus.h"
#include "ac-globals.h"
#include "ac-log.h"
#include "ac-signal.h"
#include "acconstants.h"
#include "adapter-manager.h"

namespace {

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// The longest the loop sleeps before it looks at the stop flag again.
constexpr uint64_t kBusWaitUsec = 2000000;

// One run of the loop serves at a time. Every start takes the next number
// and waits until the run before it has released the name and closed its
// connection; a stop ends every run numbered up to the latest start, and a
// newer start ends an older run. Whatever order the threads of a restart, a
// second restart and a stop run in, the latest request decides, and the end
// of a run can never undo a request made after it.
class RunControl {
public:
    // The number of a new run once it may serve; 0 when a newer start or a
    // stop came first (the run is then not needed).
    uint64_t Begin() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t run = started_.load() + 1;
        started_.store(run);
        changed_.notify_all();
        WakeLoop();
        changed_.wait(lock, [&] { return active_ == 0 || Superseded(run); });
        if (Superseded(run)) return 0;
        active_ = run;
        g_is_stop = 0;
        DrainWakeFd();
        return run;
    }

    void End() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            active_ = 0;
            g_is_stop = 1;
        }
        changed_.notify_all();
    }

    // Ends every run started so far; waits up to `timeout` for the one
    // serving to close. A run started after the stop may serve by then.
    void StopAll(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t last = started_.load();
        stopped_.store(last);
        g_is_stop = 1;
        changed_.notify_all();
        WakeLoop();
        changed_.wait_for(lock, timeout, [&] { return active_ == 0 || active_ > last; });
    }

    // Read by the loop without the lock.
    bool Superseded(uint64_t run) const { return stopped_.load() >= run || started_.load() != run; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<uint64_t> started_{0};
    std::atomic<uint64_t> stopped_{0};
    uint64_t active_ = 0;  // the run serving, 0 when none
};

// Never destroyed: a stop from another static's destructor at exit still
// finds it.
RunControl& Runs() {
    static RunControl& runs = *new RunControl;
    return runs;
}

uint64_t NowUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Waits until the connection has work, the wake descriptor fires (a stop,
// or a signal queued by another thread) or 2 s pass.
int WaitForBus(sd_bus* bus) {
    uint64_t until = UINT64_MAX;
    const int fd = sd_bus_get_fd(bus);
    const int events = sd_bus_get_events(bus);
    const int r = sd_bus_get_timeout(bus, &until);
    if (fd < 0) return fd;
    if (events < 0) return events;
    if (r < 0) return r;
    uint64_t wait = kBusWaitUsec;
    if (until != UINT64_MAX) {
        uint64_t now = NowUsec();
        wait = until <= now ? 0 : std::min(wait, until - now);
    }
    pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {WakeFd(), POLLIN, 0}};
    timespec ts{static_cast<time_t>(wait / 1000000u), static_cast<long>((wait % 1000000u) * 1000u)};
    if (ppoll(fds, WakeFd() >= 0 ? 2 : 1, &ts, nullptr) < 0) return errno == EINTR ? 0 : -errno;
    if (fds[1].revents & POLLIN) DrainWakeFd();
    return 0;
}

// Runs before sd-bus handles each message it has read, Ping included:
// signals queued before the message arrived go out first, so a peer that
// changed a file and then asks gets the file's signal before the answer.
int FlushBeforeHandling(sd_bus_message*, void*, sd_bus_error*) {
    FlushAcSignals();
    return 0;
}

void LogErrno(int negativeErrno, const char* text) {
    errno = -negativeErrno;
    AcLog(LOG_ERR, text, kSarvAcManagerInterface.c_str());
}

// ---- answering calls -----------------------------------------------------------------

// What a handler returns for a call it has answered with an error. sd-bus
// takes a positive result as "handled"; with 0 it would go on looking for
// another handler of the call and answer it a second time ("Unknown
// method"), and with a negative one it would send an errno error.
constexpr int kAnswered = 1;

// The result of a method that answers with nothing.
struct NoResult {};

int Append(sd_bus_message*, NoResult) { return 0; }

int Append(sd_bus_message* reply, const QString& text) {
    return sd_bus_message_append_basic(reply, 's', text.toUtf8().constData());
}

int Append(sd_bus_message* reply, int value) {
    const int32_t i = value;
    return sd_bus_message_append_basic(reply, 'i', &i);
}

int Append(sd_bus_message* reply, const QList<QString>& list) {
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (qsizetype i = 0; r >= 0 && i < list.size(); ++i) r = Append(reply, list[i]);
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int ReplyError(sd_bus_message* m, const Status& status) {
    const char* name = status.code == -EACCES ? SD_BUS_ERROR_ACCESS_DENIED : SD_BUS_ERROR_INVALID_ARGS;
    // The texts may carry bytes from outside (file contents, paths); the bus
    // takes only UTF-8, and a reply that cannot be built answers nothing.
    const QByteArray text = QString::fromUtf8(status.reason.c_str()).toUtf8();
    if (sd_bus_reply_method_errorf(m, name, "%s", text.constData()) < 0)
        sd_bus_reply_method_errorf(m, name, "%s", "");
    return kAnswered;
}

// The one place a method's call is answered: with the error of a failed
// status, or with the result. Being sent after the method has returned, the
// answer always comes after the method's signals and audit record.
template <typename Result>
int Reply(sd_bus_message* m, const Status& status, const Result& result) {
    if (!status.ok()) return ReplyError(m, status);
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    if (r < 0) {
        AcLog(LOG_ERR, "%s sd_bus_message_new_method_return error", sd_bus_message_get_member(m));
        return r;
    }
    MessagePtr reply(raw);
    r = Append(raw, result);
    if (r < 0) return r;
    return sd_bus_send(sd_bus_message_get_bus(m), raw, nullptr);
}

// Runs `call` (the method, given the service object and the result to fill)
// and answers. Nothing is allowed to unwind into sd-bus; a call that throws
// gets sd-bus's errno error.
template <typename Result, typename Call>
int Serve(sd_bus_message* m, Call call) {
    try {
        Result result{};
        const Status status = call(*AccessControlDbus::Instance(), result);
        return Reply(m, status, result);
    } catch (...) {
        AcLog(LOG_ERR, "%s failed: internal error", sd_bus_message_get_member(m));
        return -ENOMEM;
    }
}

std::optional<QString> ReadString(sd_bus_message* m) {
    const char* text = nullptr;
    if (sd_bus_message_read(m, "s", &text) <= 0) {
        AcLog(LOG_ERR, "%s sd_bus_message_read failed", sd_bus_message_get_member(m));
        return std::nullopt;
    }
    return QString::fromUtf8(text ? text : "");
}

// A query: one string in, one result out.
template <typename Result>
int OneString(sd_bus_message* m, Status (AccessControlDbus::*method)(sd_bus_message*, const QString&, Result&)) {
    const std::optional<QString> arg = ReadString(m);
    if (!arg) return -EINVAL;
    return Serve<Result>(m, [&](AccessControlDbus& ac, Result& result) { return (ac.*method)(m, *arg, result); });
}

// A change: one string in, nothing out.
int OneString(sd_bus_message* m, Status (AccessControlDbus::*method)(sd_bus_message*, const QString&)) {
    const std::optional<QString> arg = ReadString(m);
    if (!arg) return -EINVAL;
    return Serve<NoResult>(m, [&](AccessControlDbus& ac, NoResult&) { return (ac.*method)(m, *arg); });
}

// The handlers sd-bus calls, one per method.

int AcCanAuthorize(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t pid = 0;
    const char* object = nullptr;
    if (sd_bus_message_read(m, "is", &pid, &object) <= 0) {
        AcLog(LOG_ERR, "CanAuthorize sd_bus_message_read failed");
        return -EINVAL;
    }
    const QString qobject = QString::fromUtf8(object ? object : "");
    return Serve<QList<QString>>(m, [&](AccessControlDbus& ac, QList<QString>& operations) {
        return ac.CanAuthorize(m, pid, qobject, operations);
    });
}

int AcCheckAuthorization(sd_bus_message* m, void*, sd_bus_error*) {
    const char* first = nullptr;
    const char* second = nullptr;
    QList<QString> list;
    bool ok = sd_bus_message_read(m, "ss", &first, &second) > 0 && sd_bus_message_enter_container(m, 'a', "s") > 0;
    if (ok) {
        const char* item = nullptr;
        int r;
        while ((r = sd_bus_message_read(m, "s", &item)) > 0) list.append(QString::fromUtf8(item ? item : ""));
        ok = r == 0 && sd_bus_message_exit_container(m) >= 0;
    }
    if (!ok) {
        AcLog(LOG_ERR, "CheckAuthorization sd_bus_message_read failed");
        return -EINVAL;
    }
    const QString subject = QString::fromUtf8(first ? first : "");
    const QString object = QString::fromUtf8(second ? second : "");
    return Serve<int>(m, [&](AccessControlDbus& ac, int& permits) {
        return ac.CheckAuthorization(m, subject, object, list, permits);
    });
}

int AcListEntity(sd_bus_message* m, void*, sd_bus_error*) {
    return Serve<QList<QString>>(m, [&](AccessControlDbus& ac, QList<QString>& entities) {
        return ac.ListEntity(m, entities);
    });
}

int AcGetMode(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::GetMode); }
int AcSetMode(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::SetMode); }
int AcDeleteMode(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::DeleteMode); }
int AcGetEntity(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::GetEntity); }
int AcSetEntity(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::SetEntity); }
int AcDeleteEntity(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::DeleteEntity); }
int AcGetPolicy(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::GetPolicy); }
int AcSetPolicy(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::SetPolicy); }
int AcDeletePolicy(sd_bus_message* m, void*, sd_bus_error*) { return OneString(m, &AccessControlDbus::DeletePolicy); }

int AcGetStatus(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "i", AccessControlDbus::Instance()->Status());
}

int AcGetVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", AccessControlDbus::Instance()->Version().toUtf8().constData());
}

}  // namespace

// ---- the interface -------------------------------------------------------------------

const sd_bus_vtable ac_bus_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Status", "i", AcGetStatus, 0, 0),
    SD_BUS_PROPERTY("Version", "s", AcGetVersion, 0, 0),
    SD_BUS_METHOD("CanAuthorize", "is", "as", AcCanAuthorize, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckAuthorization", "ssas", "i", AcCheckAuthorization, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetMode", "s", "s", AcGetMode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetMode", "s", "", AcSetMode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DeleteMode", "s", "", AcDeleteMode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ListEntity", "", "as", AcListEntity, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetEntity", "s", "s", AcGetEntity, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetEntity", "s", "", AcSetEntity, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DeleteEntity", "s", "", AcDeleteEntity, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetPolicy", "s", "s", AcGetPolicy, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetPolicy", "s", "", AcSetPolicy, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DeletePolicy", "s", "", AcDeletePolicy, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PolicyChanged", "ss", 0),
    SD_BUS_SIGNAL("EntityChanged", "ss", 0),
    SD_BUS_SIGNAL("ModeChanged", "ss", 0),
    SD_BUS_VTABLE_END,
};

// ---- the loop ------------------------------------------------------------------------

namespace {

// Serves until the run is superseded; 0 after an orderly end, -1 after a
// failure. The connection is released and closed before it returns.
int ServeRun(uint64_t run) {
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    if (r < 0) {
        LogErrno(r, "Failed to connect to system bus: %m");
        return -1;
    }
    BusPtr bus(raw);
    OpenAcSignals(raw);
    SlotPtr slot;
    SlotPtr filter;
    bool named = false;
    int result = -1;

    do {
        sd_bus_slot* rawSlot = nullptr;
        r = sd_bus_add_object_vtable(raw, &rawSlot, kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str(),
                                     ac_bus_vtable, nullptr);
        if (r < 0) {
            LogErrno(r, "Failed to issue method call for interface %s: %m");
            break;
        }
        slot.reset(rawSlot);

        r = sd_bus_add_filter(raw, &rawSlot, FlushBeforeHandling, nullptr);
        if (r < 0) {
            LogErrno(r, "Failed to add filter for interface %s: %m");
            break;
        }
        filter.reset(rawSlot);

        r = sd_bus_request_name(raw, kSarvACManagerObject.c_str(), 0);
        if (r < 0) {
            LogErrno(r, "Failed to acquire service name: %m");
            break;
        }
        named = true;

        // Adapters may have been loaded since the last run (the host's stop
        // and start), so the status follows the registry every time.
        if (AdapterManager::Instance()->AdapterCount() == 0) {
            AcLog(LOG_ERR, "InitDBus no AcAdapters exist!");
            AccessControlDbus::Instance()->SetStatus(0);
        } else {
            AccessControlDbus::Instance()->SetStatus(1);
        }

        for (;;) {
            FlushAcSignals();
            r = sd_bus_process(raw, nullptr);
            if (r < 0) {
                LogErrno(r, "Failed to process bus: %m");
                break;
            }
            // Looked at after every message too, so that a steady stream of
            // calls cannot keep the service from stopping.
            if (r == 0) {
                r = WaitForBus(raw);
                if (r < 0) {
                    LogErrno(r, "Failed to wait on bus: %m");
                    break;
                }
            }
            if (Runs().Superseded(run)) {
                AcLog(LOG_INFO, "quit the dbus.");
                result = 0;
                break;
            }
        }
    } while (false);

    // What other threads queued still goes out, under the service's name.
    CloseAcSignals();
    filter.reset();
    slot.reset();
    // The name is given back and the connection closed before the next run
    // may start: it must find the name free, not merely on its way to being
    // freed once the bus daemon notices the closed socket.
    if (named) sd_bus_release_name(raw, kSarvACManagerObject.c_str());
    bus.reset();
    return result;
}

}  // namespace

int start_ac_dbus() {
    const uint64_t run = Runs().Begin();
    // A stop or a newer start came while this one waited for its turn.
    if (run == 0) return 0;
    const int result = ServeRun(run);
    Runs().End();
    return result;
}

void stop_ac_dbus() { Runs().StopAll(std::chrono::seconds(3)); }
