#include "adapter-manager.h"

AdapterManager* AdapterManager::Instance() {
    static AdapterManager instance;
    return &instance;
}

int AdapterManager::SetPolicy(const std::string&) { return 0; }
