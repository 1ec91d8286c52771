// The bus policy the service installs, on a bus that denies by default as
// the system bus does (tests/data/bus/system-like-bus.conf): root may own
// the name; anyone else may call the interface and read its properties, but
// neither own the name nor set a property.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "harness.h"

using namespace sarvtest;

namespace {

const char kName[] = "org.nimbra.sarv1";
const char kPath[] = "/org/nimbra/sarv1/AccessControl";
const char kInterface[] = "org.nimbra.sarv1.AccessControl";
constexpr uid_t kNobody = 65534;

// The checks of an unprivileged client: 0 when all hold, else the number
// of the first that failed.
int UnprivilegedClient() {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return 101;
    if (sd_bus_request_name(bus, kName, 0) != -EACCES) return 1;
    char* version = nullptr;
    if (sd_bus_get_property_string(bus, kName, kPath, kInterface, "Version", nullptr, &version) < 0 ||
        std::string(version) != "1.0")
        return 2;
    free(version);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // The service's own answer, not the bus's refusal.
    if (sd_bus_call_method(bus, kName, kPath, kInterface, "GetMode", &error, &reply, "s", "ghost") >= 0 ||
        !sd_bus_error_has_name(&error, SD_BUS_ERROR_INVALID_ARGS))
        return 3;
    sd_bus_error_free(&error);
    if (sd_bus_call_method(bus, kName, kPath, kInterface, "ListEntity", nullptr, &reply, "") < 0) return 4;
    sd_bus_message_unref(reply);
    if (sd_bus_set_property(bus, kName, kPath, kInterface, "Version", &error, "s", "2.0") >= 0 ||
        !sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED))
        return 5;
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return 0;
}

TEST(BusPolicy, RootOwnsTheNameAndAnyoneMayCall) {
    World world("", /*own_bus=*/false);
    PrivateBus bus(Source("tests/data/bus/system-like-bus.conf"));
    ASSERT_TRUE(bus.ok());
    Service service;
    ASSERT_TRUE(service.Start()) << "root could not own the name";
    const pid_t client = fork();
    ASSERT_GE(client, 0);
    if (client == 0) _exit(UnprivilegedClient());
    int status = 0;
    while (waitpid(client, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged client's check of that number failed";
    EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
