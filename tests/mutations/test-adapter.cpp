// An enforcement adapter for tests: it records every push and fails on
// request.
//
//   SARV_TEST_ADAPTER_OBJECTS  comma-separated object names it serves
//   SARV_TEST_ADAPTER_LOG      file that receives one line per push:
//                              OBJECT<TAB>MODE<TAB>SUBJECT=OP,OP;SUBJECT=OP...
//   SARV_TEST_ADAPTER_FAIL     file of "OBJECT CODE" lines, read at every
//                              push: a push of OBJECT returns CODE
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "acadapter-interface.h"

namespace {

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

class TestAdapter final : public AcAdapterInterface {
public:
    void SetEntityInfoGetter(EntityInfoGetter) override {}

    std::list<std::string> GetObjectNames() override {
        std::list<std::string> names;
        std::stringstream in(Env("SARV_TEST_ADAPTER_OBJECTS"));
        for (std::string name; std::getline(in, name, ',');)
            if (!name.empty()) names.push_back(name);
        return names;
    }

    int SetPolicy(const ModeData& mode, const PolicyData& policy) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string line = mode.object + "\t" + mode.mode + "\t";
        for (size_t i = 0; i < policy.policies.size(); ++i) {
            if (i) line += ";";
            line += policy.policies[i].subject + "=";
            bool first = true;
            for (const auto& object : policy.policies[i].objects)
                for (const auto& operation : object.operations) {
                    if (!first) line += ",";
                    line += operation;
                    first = false;
                }
        }
        const std::string log = Env("SARV_TEST_ADAPTER_LOG");
        if (!log.empty()) std::ofstream(log, std::ios::app) << line << "\n";

        std::ifstream control(Env("SARV_TEST_ADAPTER_FAIL"));
        std::string object;
        int code = 0;
        while (control >> object >> code)
            if (object == mode.object) return code;
        return 0;
    }

private:
    std::mutex mutex_;
};

}  // namespace

AC_ADAPTER_EXPORT AcAdapterInterface* GetAcAdapter() {
    static TestAdapter adapter;
    return &adapter;
}
