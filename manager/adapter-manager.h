// Loads the enforcement adapter plug-ins and pushes objects' modes and
// policies to them.
#pragma once

#include <string>

class AdapterManager {
public:
    static AdapterManager* Instance();
    // Pushes the current mode and policy of object `name` to its adapter;
    // an object without an adapter is a success.
    int SetPolicy(const std::string& name);
};
