// JSON documents of the records. Every field is always written; keys come
// out in the library's default (sorted) order.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "acrecords.h"

void to_json(nlohmann::json& j, const ModeData& m);
void to_json(nlohmann::json& j, const EntityAttrs& a);
void to_json(nlohmann::json& j, const EntityInfoData& e);
void to_json(nlohmann::json& j, const PolicyObject& o);
void to_json(nlohmann::json& j, const ACPolicy& p);
void to_json(nlohmann::json& j, const PolicyData& p);

// Serialises a record without ever throwing: invalid UTF-8 is replaced.
// indent < 0 gives the compact form.
template <typename T>
std::string ToJsonText(const T& record, int indent = -1) {
    nlohmann::json j = record;
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}
