// An enforcement adapter for tests, built like any adapter; each copy of the file is an adapter
// of its own. Read when it is loaded:
//   SARV_TEST_ADAPTER_OBJECTS  the object names it serves, comma-separated
//   SARV_TEST_ADAPTER_LOG      a file that gets "getter" when the manager hands it the entity
//                              getter, and a line per push: OBJECT<TAB>MODE<TAB>SUBJECT=OP,OP;SUBJECT=OP
// and at every push SARV_TEST_ADAPTER_FAIL, a file of "OBJECT CODE" lines: a push of OBJECT
// returns CODE (the last line for it counts).
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "acadapter-interface.h"

namespace {

std::string Env(const char* name) { return getenv(name) ? getenv(name) : ""; }

class TestAdapter final : public AcAdapterInterface {
public:
    void SetEntityInfoGetter(EntityInfoGetter) override { Log("getter"); }

    std::list<std::string> GetObjectNames() override {
        std::list<std::string> names;
        std::stringstream in(objects_);
        for (std::string name; std::getline(in, name, ',');)
            if (!name.empty()) names.push_back(name);
        return names;
    }

    int SetPolicy(const ModeData& mode, const PolicyData& policy) override {
        std::string line = mode.object + "\t" + mode.mode + "\t";
        for (size_t i = 0; i < policy.policies.size(); ++i) {
            std::string operations;
            for (const auto& object : policy.policies[i].objects)
                for (const auto& operation : object.operations) operations += (operations.empty() ? "" : ",") + operation;
            line += (i ? ";" : "") + policy.policies[i].subject + "=" + operations;
        }
        Log(line);
        std::ifstream control(Env("SARV_TEST_ADAPTER_FAIL"));
        int result = 0, code = 0;
        for (std::string object; control >> object >> code;)
            if (object == mode.object) result = code;
        return result;
    }

private:
    void Log(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!log_.empty()) std::ofstream(log_, std::ios::app) << line << "\n";
    }

    const std::string objects_ = Env("SARV_TEST_ADAPTER_OBJECTS"), log_ = Env("SARV_TEST_ADAPTER_LOG");
    std::mutex mutex_;
};

}  // namespace

AC_ADAPTER_EXPORT AcAdapterInterface* GetAcAdapter() {
    static TestAdapter adapter;
    return &adapter;
}
