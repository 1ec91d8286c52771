// The JSON texts that ListEntity answers with, kept per entity so that a
// listing encodes only what changed since the last one. The cache's writers
// drop an entity's text whenever they change that entity's files; the text
// of a package entity whose programs come from the package database holds
// only for the load of the database it was made from.
#pragma once

#include <QString>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class EntityTexts {
public:
    struct Kept {
        QString text;
        bool from_packages = false;
        uint64_t packages = 0;  // the database's generation, when from_packages
    };

    // Called with the cache's maps_lock held exclusively, while or after
    // the entity map changes.
    void Drop(const std::string& name);
    void DropAll();

    // Runs `body(find)` with the cache's maps_lock held shared; find(name)
    // gives the kept text of `name` or null. Returns the count of drops so
    // far, for Keep.
    template <typename Body>
    uint64_t Read(Body body) const {
        std::lock_guard<std::mutex> lock(mutex_);
        body([this](const std::string& name) -> const Kept* {
            auto it = kept_.find(name);
            return it == kept_.end() ? nullptr : &it->second;
        });
        return drops_;
    }

    // Keeps texts made from what a Read saw; nothing of it when an entity
    // was dropped since, as then any of them may be outdated.
    void Keep(uint64_t drops, std::vector<std::pair<std::string, Kept>>& made);

private:
    mutable std::mutex mutex_;
    uint64_t drops_ = 0;
    std::unordered_map<std::string, Kept> kept_;
};
