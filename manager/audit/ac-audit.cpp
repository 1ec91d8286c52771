#include "ac-audit.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include <libaudit.h>

#include <QHostInfo>
#include <QNetworkInterface>

#include "ac-log.h"
#include "proc-readers.h"
#include "unique-fd.h"

namespace {

QString EnumerateNetIdentity() {
    QString text;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const auto type = iface.type();
        if (type != QNetworkInterface::Ethernet && type != QNetworkInterface::Wifi) continue;
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        if (entries.isEmpty()) continue;
        if (!text.isEmpty()) text += QStringLiteral(", ");
        text += iface.hardwareAddress();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip().toIPv4Address() != 0) {
                text += QLatin1Char('-');
                text += entry.ip().toString();
            }
        }
    }
    return text;
}

// Listing the interfaces costs a netlink dump and several ioctls per
// interface, while records are written far more often than links or
// addresses change. The text is therefore kept and rebuilt only after the
// kernel has announced a link or address change on a route netlink socket.
// The kernel queues that announcement before the call that made the change
// returns, so draining the socket when a record is written sees every change
// made before it; a change racing with the rebuild stays queued and causes
// the next one. Without the socket the interfaces are listed every time.
//
// The socket belongs to the network namespace the process had when it was
// created; the service never changes its namespace.
class NetIdentity {
public:
    static NetIdentity& Instance() {
        static NetIdentity instance;
        return instance;
    }

    QString Get() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!fd_) return EnumerateNetIdentity();
        if (Drain()) text_ = EnumerateNetIdentity();
        return text_;
    }

    NetIdentity(const NetIdentity&) = delete;
    NetIdentity& operator=(const NetIdentity&) = delete;

private:
    NetIdentity() {
        fd_.reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (!fd_) return;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) fd_.reset();
    }

    // Whether the kept text may be out of date: something was announced (or
    // announcements were lost to an overflow) since the last look.
    bool Drain() {
        bool changed = stale_;
        char buffer[4096];
        for (;;) {
            // The contents do not matter; a datagram longer than the buffer
            // is consumed whole all the same.
            ssize_t n = recv(fd_.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n >= 0) {
                changed = true;
                continue;
            }
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            // A socket that fails otherwise can no longer be trusted to
            // announce anything.
            fd_.reset();
            return true;
        }
        stale_ = false;
        return changed;
    }

    std::mutex mutex_;
    UniqueFd fd_;
    bool stale_ = true;
    QString text_;
};

}  // namespace

std::string AuditEscape(std::string_view text) { return EscapeControls(text); }

QString GetIp() {
    return NetIdentity::Instance().Get();
}

namespace {

constexpr char kCutMark[] = "...";

// At most `limit` bytes of `text`; a cut is marked.
std::string Bounded(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    text.resize(limit - (sizeof kCutMark - 1));
    return text + kCutMark;
}

// Upper-case hexadecimal digits in pairs: what libaudit's encoding writes.
bool LooksEncoded(std::string_view value) {
    if (value.empty() || value.size() % 2 != 0) return false;
    for (char c : value)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// The process's one audit connection, opened for the first record and kept:
// opening a netlink socket for every record cost more than writing it. A
// record that cannot be written closes the connection, and the next record
// opens a new one, so that a connection the audit system has given up on is
// not written to again; while none can be opened, every record tries anew.
//
// Records of several threads (the bus thread, the watcher's thread, the
// installer command's) take turns on it: libaudit waits on the connection for
// the acknowledgement of each record, and numbers its requests with a
// counter of its own.
class AuditConnection {
public:
    static AuditConnection& Instance() {
        // Never destroyed: another thread may write a record while the
        // process exits.
        static AuditConnection* instance = new AuditConnection;
        return *instance;
    }

    // 0 or libaudit's negative result. `comm` is asked for only when there
    // is a connection to write to.
    int Write(const std::string& message, const std::function<std::string()>& comm, int result) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) fd_ = audit_open();
        // When the audit system cannot be reached nothing is recorded, and
        // the operation that asked for the record goes on as if it had been.
        if (fd_ < 0) return 0;
        const std::string text = Bounded(AuditEscape(message), kAuditMessageLimit);
        // libaudit encodes the name itself, into a buffer of fixed size.
        const std::string name = Bounded(AuditEscape(comm()), kAuditCommLimit);
        const int r = audit_log_user_comm_message(fd_, AUDIT_USER_MAC_CONFIG_CHANGE, text.c_str(), name.c_str(),
                                                  HostName().c_str(), Address().c_str(), nullptr, result);
        if (r >= 0) return 0;  // 0 stands for an audit system that is switched off
        audit_close(fd_);
        fd_ = -1;
        return r;
    }

    AuditConnection(const AuditConnection&) = delete;
    AuditConnection& operator=(const AuditConnection&) = delete;

private:
    AuditConnection() = default;

    // The host name as records carry it. Qt asks the kernel and converts
    // the name twice for every record; the kernel's name is compared
    // instead, and the text is built again only when it differs, so that a
    // renamed host shows from the next record on. The name is taken before
    // Qt is asked: a rename in between leaves a text newer than the name it
    // is kept for, which the next record then replaces.
    const std::string& HostName() {
        utsname u {};
        const bool named = uname(&u) == 0;
        if (!named || !host_known_ || host_node_ != u.nodename) {
            host_text_ = Bounded(AuditEscape(QHostInfo::localHostName().toLocal8Bit().toStdString()), kAuditHostLimit);
            host_node_ = named ? u.nodename : "";
            host_known_ = named;
        }
        return host_text_;
    }

    // The address text as records carry it, converted again only when
    // GetIp's text has changed.
    const std::string& Address() {
        const QString ip = GetIp();
        if (!address_known_ || ip != address_ip_) {
            address_text_ = Bounded(AuditEscape(ip.toLocal8Bit().toStdString()), kAuditAddrLimit);
            address_ip_ = ip;
            address_known_ = true;
        }
        return address_text_;
    }

    std::mutex mutex_;
    int fd_ = -1;
    bool address_known_ = false;
    QString address_ip_;
    std::string address_text_;
    bool host_known_ = false;
    std::string host_node_;
    std::string host_text_;
};

}  // namespace

std::string AuditValue(std::string_view value, size_t limit) {
    const bool encode =
        audit_value_needs_encoding(value.data(), static_cast<unsigned>(value.size())) != 0 || LooksEncoded(value);
    const size_t perByte = encode ? 2 : 1;
    const bool cut = value.size() * perByte > limit;
    if (cut) value = value.substr(0, (limit - (sizeof kCutMark - 1)) / perByte);
    std::string out;
    if (encode) {
        out.resize(value.size() * 2 + 1);
        audit_encode_value(out.data(), value.data(), static_cast<unsigned>(value.size()));
        out.resize(value.size() * 2);
    } else {
        out.assign(value);
    }
    if (cut) out += kCutMark;
    return out;
}

int AcAudit::AuditLogMsg(const std::string& message, const std::string& comm, int result) {
    return AuditConnection::Instance().Write(message, [&comm] { return comm; }, result);
}

int AcAudit::AuditLogMsgFrom(const std::string& message, const std::function<std::string()>& comm, int result) {
    return AuditConnection::Instance().Write(message, comm, result);
}

int AcAudit::AuditLogMsg(const char* message, const char* comm, int result) {
    return AuditLogMsg(std::string(message ? message : ""), std::string(comm ? comm : ""), result);
}

std::string AuditCallerComm(int pid) {
    const QByteArray cmdline = get_caller_cmdline(pid).toLocal8Bit();
    // The arguments are NUL-separated: the record names the program as it
    // was invoked, the text before the first NUL.
    std::string comm(cmdline.constData());
    // A record shows at most kAuditCommLimit bytes of it and marks a longer
    // name as cut; one byte more is all it takes to keep that mark.
    if (comm.size() > kAuditCommLimit + 1) comm.resize(kAuditCommLimit + 1);
    return comm;
}
