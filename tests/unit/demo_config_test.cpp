// The demo configuration shipped in data/demo loads, is valid, and every
// file carries the name the service itself would give it.
#include <filesystem>

#include <gtest/gtest.h>

#include "configfile-helper.h"

namespace fs = std::filesystem;

namespace {

template <typename T>
void CheckFile(const fs::path& file, const std::string& relative) {
    T record;
    ASSERT_EQ(ConfigFileHelper::LoadFromFile(file.string(), record), 0) << file;
    EXPECT_EQ(GetConfigFileName(record), relative) << file;
    if constexpr (!std::is_same_v<T, ModeData>) {
        EXPECT_TRUE(record.IsValid()) << file;
    }
}

}  // namespace

TEST(DemoConfig, EveryFileLoadsUnderItsOwnName) {
    const fs::path demo = fs::path(SARV_SOURCE_DIR) / "data/demo";
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(demo)) {
        if (!entry.is_regular_file()) continue;
        const fs::path folder = entry.path().parent_path();
        const std::string relative = folder.filename().string() + "/" + entry.path().filename().string();
        ASSERT_EQ(folder.parent_path().filename(), "sarv") << entry.path();
        switch (ParseConfigType(entry.path().string())) {
        case ModeType: CheckFile<ModeData>(entry.path(), relative); break;
        case EntityType: CheckFile<EntityInfoData>(entry.path(), relative); break;
        case PolicyType: CheckFile<PolicyData>(entry.path(), relative); break;
        default: ADD_FAILURE() << "not a configuration file: " << entry.path();
        }
        ++files;
    }
    EXPECT_GE(files, 10);
}
