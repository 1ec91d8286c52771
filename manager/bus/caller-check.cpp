#include "caller-check.h"

#include <fcntl.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "ac-audit.h"
#include "ac-globals.h"
#include "proc-readers.h"
#include "unique-fd.h"

const QList<QString> kWhiteCallerExes = {
    QStringLiteral("/usr/bin/sarv-ac-manager-tools"),
    QStringLiteral("/usr/bin/calvora"),
    QStringLiteral("/usr/sbin/sarvd"),
};

namespace {

// Only the first bytes of a label file are looked at.
constexpr size_t kLabelReadSize = 256;

const char* const kAcceptedLabels[] = {"nimbra_app", "nimbra_sys", "nimbra_sec"};

// A bus peer that connects and disconnects in a loop must not make the
// table grow without bound should the bus ever fail to announce departures;
// every entry can be learnt again.
constexpr size_t kMaxKnownSenders = 65536;

int QuerySenderPid(sd_bus_message* m) {
    sd_bus_creds* creds = nullptr;
    pid_t pid = 0;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_PID, &creds) >= 0 && sd_bus_creds_get_pid(creds, &pid) < 0)
        pid = 0;
    sd_bus_creds_unref(creds);
    return pid;
}

// Unique bus name -> process id and the name its records give it, for the
// one connection the service dispatches on. A restart of the service brings
// a new connection, and the table starts again with it.
class SenderPids {
public:
    static SenderPids& Instance() {
        // Never destroyed: at exit the slot may still refer to a connection
        // that another thread is closing.
        static SenderPids* instance = new SenderPids;
        return *instance;
    }

    int Get(sd_bus_message* m) {
        sd_bus* bus = sd_bus_message_get_bus(m);
        const char* sender = sd_bus_message_get_sender(m);
        // A direct connection has no names to key by.
        if (!bus || !sender || sender[0] != ':') return QuerySenderPid(m);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bus != bus_) Follow(bus);
            if (const Sender* known = Find(bus, sender)) return known->pid;
        }
        const int pid = QuerySenderPid(m);
        if (pid <= 0) return pid;
        std::lock_guard<std::mutex> lock(mutex_);
        // Only names whose departure will be heard of are kept.
        if (watching_ && bus == bus_) {
            if (senders_.size() >= kMaxKnownSenders) senders_.clear();
            senders_.emplace(sender, Sender{pid, false, std::string()});
        }
        return pid;
    }

    std::string Comm(sd_bus_message* m) {
        const int pid = Get(m);
        sd_bus* bus = sd_bus_message_get_bus(m);
        const char* sender = sd_bus_message_get_sender(m);
        const bool keyed = bus && sender && sender[0] == ':';
        if (keyed) {
            std::lock_guard<std::mutex> lock(mutex_);
            const Sender* known = Find(bus, sender);
            if (known && known->comm_known) return known->comm;
        }
        // Read outside the lock: the process may be slow to answer.
        std::string comm = AuditCallerComm(pid);
        if (keyed) {
            std::lock_guard<std::mutex> lock(mutex_);
            // Gone meanwhile: its name is never seen again.
            if (Sender* known = Find(bus, sender)) {
                known->comm = comm;
                known->comm_known = true;
            }
        }
        return comm;
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return senders_.size();
    }

private:
    struct Sender {
        int pid;
        bool comm_known;
        std::string comm;  // AuditCallerComm(pid), once a record has needed it
    };

    Sender* Find(sd_bus* bus, const char* sender) {
        if (!watching_ || bus != bus_) return nullptr;
        auto it = senders_.find(sender);
        return it == senders_.end() ? nullptr : &it->second;
    }

    // Starts over on `bus`. The match slot holds a reference to its
    // connection, so a connection that has been closed stays allocated until
    // this moment and a new one can never be mistaken for it by address.
    void Follow(sd_bus* bus) {
        senders_.clear();
        sd_bus_slot_unref(match_);
        match_ = nullptr;
        bus_ = bus;
        // Installed without waiting for the bus's answer; a departure missed
        // meanwhile only leaves an entry that no later call can use, since
        // unique names are never given out again.
        const int r = sd_bus_match_signal_async(bus, &match_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameOwnerChanged", OnNameOwnerChanged,
                                                nullptr, this);
        watching_ = r >= 0;
        if (!watching_) match_ = nullptr;
    }

    static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || !name || name[0] != ':') return 0;
        if (newOwner && newOwner[0] != '\0') return 0;
        auto* self = static_cast<SenderPids*>(userdata);
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (sd_bus_message_get_bus(m) == self->bus_) self->senders_.erase(name);
        return 0;
    }

    std::mutex mutex_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* match_ = nullptr;
    bool watching_ = false;
    std::unordered_map<std::string, Sender> senders_;
};

// The effective user of the sender's connection as the bus recorded it
// when the connection was made; it stays fixed across exec, unlike what /proc
// shows later. -1 when the bus cannot tell (never read from /proc instead).
int64_t SenderUid(sd_bus_message* m) {
    sd_bus_creds* creds = nullptr;
    uid_t uid = 0;
    int64_t result = -1;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID, &creds) >= 0 &&
        !(sd_bus_creds_get_augmented_mask(creds) & SD_BUS_CREDS_EUID) && sd_bus_creds_get_euid(creds, &uid) >= 0)
        result = uid;
    sd_bus_creds_unref(creds);
    return result;
}

// Reads up to `size` bytes; the count read, or -1.
ssize_t ReadUpTo(int fd, char* buffer, size_t size) {
    size_t total = 0;
    while (total < size) {
        const ssize_t n = read(fd, buffer + total, size - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            return total > 0 ? static_cast<ssize_t>(total) : -1;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

bool HasAcceptedLabel(const char* label, size_t size) {
    for (const char* accepted : kAcceptedLabels)
        if (memmem(label, size, accepted, strlen(accepted)) != nullptr) return true;
    return false;
}

}  // namespace

const std::string& ProcAttrRoot() {
    static const std::string root = [] {
        const char* env = getenv("SARV_PROC_ATTR_ROOT");
        return std::string(env && *env ? env : "/proc");
    }();
    return root;
}

bool security_module_present() { return access((ProcAttrRoot() + "/1/attr/olmsec/cred").c_str(), F_OK) == 0; }

int get_sender_pid(sd_bus_message* m) {
    if (!m) return 0;
    return SenderPids::Instance().Get(m);
}

size_t known_sender_pids() { return SenderPids::Instance().Count(); }

std::string get_sender_comm(sd_bus_message* m) {
    if (!m) return std::string();  // process 0 has no command line
    return SenderPids::Instance().Comm(m);
}

Status check_caller(sd_bus_message* m) {
    const int pid = get_sender_pid(m);
    const std::string pidText = std::to_string(pid);

    static const std::string self_ns_mount = get_pid_link(getpid(), "ns/mnt");
    // A link that cannot be read names no namespace; it never matches, not
    // even when the service could not read its own either.
    const std::string callerNs = get_pid_link(pid, "ns/mnt");
    if (callerNs.empty() || callerNs != self_ns_mount) {
        return {-1, "caller(" + pidText + ") and sarv-ac-manager not in same ns/mnt"};
    }

    const QString exe = QString::fromStdString(get_pid_link(pid, "exe"));
    const std::string exeText = exe.toStdString();
    if (kWhiteCallerExes.contains(exe)) {
        if (security_module_present() || SenderUid(m) == 0) return {};
        return {-1, "process " + exeText + "(" + pidText + ") not run by root"};
    }

    const std::string noSign = "process " + exeText + "(" + pidText + ") has no security sign";
    const std::string path = ProcAttrRoot() + "/" + pidText + "/attr/usid";
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {-1, noSign};
    char label[kLabelReadSize];
    const ssize_t n = ReadUpTo(fd.get(), label, sizeof(label));
    if (n <= 0) return {-1, noSign};
    if (HasAcceptedLabel(label, static_cast<size_t>(n))) return {};

    const std::string text(label, strnlen(label, static_cast<size_t>(n)));
    return {-1, "process " + exeText + "(" + pidText + text + ") not security sign"};
}

int check_caller_usid(sd_bus_message* m) {
    const Status checked = check_caller(m);
    if (!checked.ok()) ac_error_msg = checked.reason;
    return checked.code;
}
