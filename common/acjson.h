// JSON documents of the records. Every field is always written; keys come
// out in the library's default (sorted) order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The same for a mode, byte for byte. Its compact text is written directly
// when no field needs escaping, as nearly every mode's text is: GetMode
// answers with it on every call, and building a document first would cost
// most of the call.
std::string ToJsonText(const ModeData& mode, int indent = -1);

// Bounds on a JSON document that arrives over the bus, checked before it is
// parsed: every level of nesting costs heap while the bus carries 32 MiB.
// Records are a few KiB and five levels deep at most.
inline constexpr size_t kMaxJsonDocumentSize = 1024 * 1024;
inline constexpr size_t kMaxJsonDocumentDepth = 64;

// The deepest nesting of arrays and objects in `text`, counting only
// brackets outside strings; counting stops beyond `limit`.
size_t JsonNestingDepth(std::string_view text, size_t limit);
