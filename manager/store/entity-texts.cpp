#include "entity-texts.h"

void EntityTexts::Drop(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++drops_;
    kept_.erase(name);
}

void EntityTexts::DropAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++drops_;
    kept_.clear();
}

void EntityTexts::Keep(uint64_t drops, std::vector<std::pair<std::string, Kept>>& made) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drops != drops_) return;
    for (auto& [name, kept] : made) kept_.insert_or_assign(std::move(name), std::move(kept));
}
