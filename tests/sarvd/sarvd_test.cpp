// sarvd driving the recording test plug-ins: loading, the order and threads
// of the entry-point calls, and the signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

const std::string kPlugins = TEST_PLUGIN_DIR;

std::string Plugin(const std::string& name) { return kPlugins + "/" + name + ".so"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One recorded call: "ID CALL tid=N main=M".
struct Call {
    std::string id, call;
    long tid = 0;
    bool main = false;
};

class Sarvd {
public:
    explicit Sarvd(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        dir_ = fs::temp_directory_path() / ("sarvd-test-" + std::to_string(getpid()) + "-" + std::to_string(++count_));
        fs::create_directories(dir_);
        log_ = (dir_ / "calls").string();
        err_ = (dir_ / "stderr").string();
        pid_ = fork();
        if (pid_ == 0) {
            setenv("SARVD_TEST_LOG", log_.c_str(), 1);
            for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
            int fd = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            std::vector<char*> argv{const_cast<char*>(SARVD_BIN)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(SARVD_BIN, argv.data());
            _exit(127);
        }
    }
    ~Sarvd() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::vector<Call> Calls() const {
        std::vector<Call> calls;
        std::istringstream in(ReadFile(log_));
        std::string line;
        while (std::getline(in, line)) {
            Call c;
            std::istringstream fields(line);
            std::string tid, main;
            fields >> c.id >> c.call >> tid >> main;
            c.tid = std::stol(tid.substr(4));
            c.main = main == "main=1";
            calls.push_back(c);
        }
        return calls;
    }
    int Count(const std::string& id, const std::string& call) const {
        int n = 0;
        for (const auto& c : Calls()) n += c.id == id && c.call == call;
        return n;
    }
    // The nth recorded CALL of ID; a Call with tid 0 when there is none.
    Call Find(const std::string& id, const std::string& call, int nth = 0) const {
        for (const auto& c : Calls())
            if (c.id == id && c.call == call && nth-- == 0) return c;
        return Call{};
    }
    int Index(const std::string& id, const std::string& call) const {
        auto calls = Calls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].id == id && calls[i].call == call) return static_cast<int>(i);
        return -1;
    }
    std::string Stderr() const { return ReadFile(err_); }

    // Waits (generously) for a condition; false when it never came true.
    static bool Eventually(const std::function<bool()>& condition) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool WaitCall(const std::string& id, const std::string& call, int times = 1) {
        return Eventually([&] { return Count(id, call) >= times; });
    }
    void Signal(int sig) { kill(pid_, sig); }
    bool Running() {
        if (status_ >= 0) return false;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_ < 0;
    }
    // The exit status, or -1 when the daemon does not exit.
    int Wait() {
        Eventually([&] { return !Running(); });
        return status_;
    }

private:
    static inline int count_ = 0;
    fs::path dir_;
    std::string log_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

TEST(Sarvd, DrivesPluginsGivenAsPathsThroughRestartAndStop) {
    Sarvd d({Plugin("alpha"), Plugin("beta")});
    ASSERT_TRUE(d.WaitCall("alpha", "start"));
    ASSERT_TRUE(d.WaitCall("beta", "start"));
    for (const char* id : {"alpha", "beta"}) {
        SCOPED_TRACE(id);
        ASSERT_GE(d.Index(id, "pluginID"), 0);
        EXPECT_LT(d.Index(id, "pluginID"), d.Index(id, "start"));
        EXPECT_TRUE(d.Find(id, "pluginID").main);
        EXPECT_FALSE(d.Find(id, "start").main) << "start must run on a thread of its own";
    }
    EXPECT_NE(d.Find("alpha", "start").tid, d.Find("beta", "start").tid);
    EXPECT_TRUE(d.Running());

    d.Signal(SIGHUP);
    ASSERT_TRUE(d.WaitCall("alpha", "start-returned"));
    ASSERT_TRUE(d.WaitCall("beta", "start-returned"));
    EXPECT_EQ(d.Count("alpha", "stop"), 0);
    EXPECT_NE(d.Find("alpha", "restart").tid, d.Find("alpha", "start").tid);
    EXPECT_FALSE(d.Find("alpha", "restart").main);
    // The original start has returned, but the restarted service still runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(d.Running());

    d.Signal(SIGHUP);
    ASSERT_TRUE(d.WaitCall("alpha", "restart-returned"));
    EXPECT_EQ(d.Count("alpha", "restart"), 2);

    d.Signal(SIGTERM);
    EXPECT_EQ(d.Wait(), 0) << d.Stderr();
    for (const char* id : {"alpha", "beta"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(d.Count(id, "stop"), 1);
        EXPECT_EQ(d.Count(id, "restart-returned"), 2);
        EXPECT_EQ(d.Count(id, "start"), 1);
        // stop comes from a thread other than the one serving.
        EXPECT_NE(d.Find(id, "stop").tid, d.Find(id, "restart", 1).tid);
    }
}

TEST(Sarvd, LoadsTheSharedObjectsOfAFolder) {
    fs::path dir = fs::temp_directory_path() / "sarvd-folder";
    fs::create_directories(dir / "sub.so");
    fs::copy_file(Plugin("alpha"), dir / "alpha.so", fs::copy_options::overwrite_existing);
    fs::copy_file(Plugin("beta"), dir / "beta.so", fs::copy_options::overwrite_existing);
    fs::copy_file(Plugin("beta"), dir / ".hidden.so", fs::copy_options::overwrite_existing);
    fs::copy_file(Plugin("alpha"), dir / "alpha.so.disabled", fs::copy_options::overwrite_existing);
    std::ofstream(dir / "README") << "not a plug-in\n";

    Sarvd d({dir.string()});
    ASSERT_TRUE(d.WaitCall("alpha", "start"));
    ASSERT_TRUE(d.WaitCall("beta", "start"));
    d.Signal(SIGINT);
    EXPECT_EQ(d.Wait(), 0) << d.Stderr();
    EXPECT_EQ(d.Count("alpha", "start"), 1);
    EXPECT_EQ(d.Count("beta", "start"), 1);
    EXPECT_EQ(d.Count("alpha", "stop"), 1);
    EXPECT_THAT(d.Stderr(), HasSubstr("loaded \"alpha\" from " + (dir / "alpha.so").string()));
    fs::remove_all(dir);
}

TEST(Sarvd, WithoutArgumentsUsesTheDefaultFolder) {
    ASSERT_TRUE(getenv("SARV_SANDBOX")) << "writes below /usr: sandbox only";
    fs::create_directories(SARVD_DEFAULT_DIR);
    fs::copy_file(Plugin("beta"), fs::path(SARVD_DEFAULT_DIR) / "beta.so", fs::copy_options::overwrite_existing);
    Sarvd d({});
    ASSERT_TRUE(d.WaitCall("beta", "start"));
    d.Signal(SIGTERM);
    EXPECT_EQ(d.Wait(), 0);
    fs::remove(fs::path(SARVD_DEFAULT_DIR) / "beta.so");
}

TEST(Sarvd, ExitsWhenEveryStartHasReturned) {
    {
        // Stopped once after its start returned, so that threads it may have
        // left running end before the process does.
        Sarvd d({Plugin("alpha")}, {{"SARVD_TEST_START_RETURNS", "alpha"}});
        EXPECT_EQ(d.Wait(), 0) << d.Stderr();
        EXPECT_EQ(d.Count("alpha", "start-returned"), 1);
        EXPECT_EQ(d.Count("alpha", "stop"), 1);
        EXPECT_LT(d.Index("alpha", "start-returned"), d.Index("alpha", "stop"));
    }
    {
        // One plug-in done, the other still serving: the daemon stays, and
        // stopping it stops only the one still running.
        Sarvd d({Plugin("alpha"), Plugin("beta")}, {{"SARVD_TEST_START_RETURNS", "alpha"}});
        ASSERT_TRUE(d.WaitCall("alpha", "start-returned"));
        ASSERT_TRUE(d.WaitCall("beta", "start"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(d.Running());
        d.Signal(SIGHUP);
        ASSERT_TRUE(d.WaitCall("beta", "restart"));
        d.Signal(SIGTERM);
        EXPECT_EQ(d.Wait(), 0);
        EXPECT_EQ(d.Count("alpha", "restart"), 0);
        EXPECT_EQ(d.Count("beta", "stop"), 1);
        // alpha is stopped only on the way out, after beta has returned.
        EXPECT_EQ(d.Count("alpha", "stop"), 1);
        EXPECT_LT(d.Index("beta", "restart-returned"), d.Index("alpha", "stop"));
    }
}

TEST(Sarvd, RepeatsAStopThatCameBeforeThePluginServed) {
    Sarvd d({Plugin("alpha")}, {{"SARVD_TEST_START_LATE", "alpha"}});
    ASSERT_TRUE(d.WaitCall("alpha", "start"));
    d.Signal(SIGTERM);
    EXPECT_EQ(d.Wait(), 0) << d.Stderr();
    EXPECT_EQ(d.Count("alpha", "stop"), 2);
    EXPECT_THAT(d.Stderr(), HasSubstr("\"alpha\" is still running"));
}

TEST(Sarvd, RefusesPluginsItCannotDrive) {
    {
        // RTLD_NOW: a plug-in with an unresolved symbol fails at load time
        // rather than when the symbol is first called.
        Sarvd d({Plugin("unresolved"), Plugin("norestart"), kPlugins + "/missing.so", Plugin("alpha"),
                 Plugin("alpha")});
        ASSERT_TRUE(d.WaitCall("alpha", "start"));
        d.Signal(SIGTERM);
        EXPECT_EQ(d.Wait(), 0);
        std::string err = d.Stderr();
        EXPECT_THAT(err, HasSubstr("cannot load " + Plugin("unresolved")));
        EXPECT_THAT(err, HasSubstr("sarvd_test_no_such_function"));
        EXPECT_THAT(err, HasSubstr(Plugin("norestart") + " lacks an entry point"));
        EXPECT_THAT(err, HasSubstr("cannot load " + kPlugins + "/missing.so"));
        EXPECT_THAT(err, HasSubstr(Plugin("alpha") + " is already loaded"));
        EXPECT_EQ(d.Count("alpha", "start"), 1);
        EXPECT_EQ(d.Count("unresolved", "start"), 0);
        EXPECT_EQ(d.Count("norestart", "start"), 0);
    }
    {
        Sarvd d({Plugin("unresolved")});
        EXPECT_EQ(d.Wait(), 1);
        EXPECT_THAT(d.Stderr(), HasSubstr("no plug-in loaded"));
    }
    {
        Sarvd d({"--bogus"});
        EXPECT_EQ(d.Wait(), 2);
    }
}

}  // namespace
