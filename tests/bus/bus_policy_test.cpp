// The bus policy the service installs, on a bus that denies by default as
// the system bus does: root may own the name, anyone may call the interface
// and read its properties, nobody else may own it or set properties.
//
// The service and the unprivileged client are child processes forked while
// this process has a single thread.
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

#include "ac-dbus-service.h"
#include "acconstants.h"
#include "bus-test-support.h"

#ifndef SARV_BUS_POLICY_CONF
#error "SARV_BUS_POLICY_CONF must name the installed bus policy"
#endif

namespace {

// What Debian's system bus allows by default, and the service's policy.
const char kSystemLikeBus[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>)" SARV_BUS_POLICY_CONF R"(</include>
</busconfig>
)";

constexpr uid_t kNobody = 65534;

// The checks an unprivileged client makes; 0 when all hold, else the
// number of the first that failed.
int UnprivilegedClient() {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return 101;
    const char* dest = kSarvACManagerObject.c_str();
    const char* path = kSarvACManagerPath.c_str();
    const char* iface = kSarvAcManagerInterface.c_str();
    int step = 0;

    // 1: may not own the name.
    ++step;
    if (sd_bus_request_name(bus, dest, 0) != -EACCES) return step;

    // 2: may read a property.
    ++step;
    char* version = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_get_property_string(bus, dest, path, iface, "Version", &error, &version) < 0) return step;
    bool ok = std::string(version) == "1.0";
    free(version);
    if (!ok) return step;

    // 3: may call a method, and gets the service's own answer.
    ++step;
    sd_bus_message* reply = nullptr;
    sd_bus_error_free(&error);
    int r = sd_bus_call_method(bus, dest, path, iface, "GetMode", &error, &reply, "s", "no-such-object");
    sd_bus_message_unref(reply);
    if (r >= 0 || !sd_bus_error_has_name(&error, SD_BUS_ERROR_INVALID_ARGS)) return step;

    // 4: may list.
    ++step;
    sd_bus_error_free(&error);
    r = sd_bus_call_method(bus, dest, path, iface, "ListEntity", &error, &reply, "");
    sd_bus_message_unref(reply);
    if (r < 0) return step;

    // 5: may not set a property (the bus refuses before the service sees it).
    ++step;
    sd_bus_error_free(&error);
    r = sd_bus_set_property(bus, dest, path, iface, "Version", &error, "s", "2.0");
    if (r >= 0 || !sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED)) return step;

    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return 0;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST(BusPolicy, RootOwnsTheNameAndAnyoneMayCall) {
    FakeCommands killall({"killall"});
    WriteTextFile("/tmp/system-like-bus.conf", kSystemLikeBus);
    PrivateBus bus("/tmp/system-like-bus.conf");
    ASSERT_TRUE(bus.ok());

    pid_t service = fork();
    ASSERT_GE(service, 0);
    if (service == 0) _exit(start_ac_dbus() == 0 ? 0 : 1);

    bool owned = false;
    {
        BusClient root;
        for (int i = 0; i < 2000 && !owned; ++i) {
            owned = root.HasOwner(kSarvACManagerObject);
            if (!owned) usleep(10000);
        }
    }
    EXPECT_TRUE(owned) << "root could not own the name";

    if (owned) {
        pid_t client = fork();
        ASSERT_GE(client, 0);
        if (client == 0) _exit(UnprivilegedClient());
        EXPECT_EQ(0, WaitFor(client)) << "the unprivileged client's check of that number failed";
    }
    kill(service, SIGTERM);
    WaitFor(service);
}

}  // namespace
