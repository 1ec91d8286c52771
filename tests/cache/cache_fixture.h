// A clean set of configuration trees and an empty cache for each test.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "acjson.h"
#include "config-manager.h"

class CacheTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_NE(getenv("SARV_SANDBOX"), nullptr) << "run this test through tests/sandbox/sarv-sandbox";
        for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder}) {
            std::filesystem::remove_all(root);
            std::filesystem::create_directories(root);
        }
        cm = ConfigManager::Instance();
        cm->modeMap.clear();
        cm->entityMap.clear();
        cm->policyMap.clear();
    }

    template <typename T>
    static void Put(const std::string& root, const T& record) {
        ASSERT_EQ(ConfigFileHelper::UpdateFile(root + GetConfigFileName(record), record), 0);
    }

    static ModeData Mode(const std::string& object, const std::string& mode) {
        ModeData m;
        m.object = object;
        m.mode = mode;
        return m;
    }

    static EntityInfoData Entity(const std::string& name, const std::string& type, const std::string& subtype,
                                 std::vector<std::string> ops = {}) {
        EntityInfoData e;
        e.name = name;
        e.type = type;
        e.subtype = subtype;
        e.available_operations = std::move(ops);
        return e;
    }

    static PolicyData Policy(const std::string& subject, const std::string& object,
                             std::vector<std::string> ops, uint64_t timestamp = 0) {
        PolicyData p;
        p.policies.push_back({subject, {{object, std::move(ops), 0, timestamp}}});
        return p;
    }

    static bool Exists(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0;
    }

    ConfigManager* cm = nullptr;
};
