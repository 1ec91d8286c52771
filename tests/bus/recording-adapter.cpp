// A test adapter that writes down what the manager asks of it. Configured
// from the environment when it is loaded (each copy of the file is its own
// adapter):
//   REC_ADAPTER_OBJECTS  comma-separated names it serves
//   REC_ADAPTER_LOG      file that gets one line per call:
//                        "getter" for slot 0, "push OBJECT MODE ENTRIES" for slot 2
//   REC_ADAPTER_FAIL     "name=code,..." results to return for some objects
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "acadapter-interface.h"

namespace {

std::list<std::string> Split(const std::string& text) {
    std::list<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

class RecordingAdapter final : public AcAdapterInterface {
public:
    RecordingAdapter() : names_(Split(Env("REC_ADAPTER_OBJECTS"))), log_(Env("REC_ADAPTER_LOG")) {
        for (const auto& item : Split(Env("REC_ADAPTER_FAIL"))) {
            auto eq = item.find('=');
            if (eq != std::string::npos) fail_[item.substr(0, eq)] = atoi(item.c_str() + eq + 1);
        }
    }

    void SetEntityInfoGetter(EntityInfoGetter) override { Write("getter"); }
    std::list<std::string> GetObjectNames() override { return names_; }
    int SetPolicy(const ModeData& mode, const PolicyData& policy) override {
        Write("push " + mode.object + " " + mode.mode + " " + std::to_string(policy.policies.size()));
        auto it = fail_.find(mode.object);
        return it == fail_.end() ? 0 : it->second;
    }

private:
    void Write(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::ofstream(log_, std::ios::app) << line << "\n";
    }

    std::list<std::string> names_;
    std::string log_;
    std::map<std::string, int> fail_;
    std::mutex mutex_;
};

}  // namespace

AC_ADAPTER_EXPORT AcAdapterInterface* GetAcAdapter() {
    static RecordingAdapter adapter;
    return &adapter;
}
