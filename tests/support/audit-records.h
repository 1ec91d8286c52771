// Reading what the audit stand-in (platform/audit/audit-preload.c) recorded.
#pragma once

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace audit_records {

inline std::vector<std::string> Lines(const std::string& log) {  // without their line ends
    std::ifstream in(log, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Fields by name; {} when one repeats or lacks its name, as in no well-formed record.
inline std::map<std::string, std::string> Record(const std::string& line) {
    std::map<std::string, std::string> record;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, '\t');)
        if (f.find('=') == f.npos || !record.emplace(f.substr(0, f.find('=')), f.substr(f.find('=') + 1)).second) return {};
    return record;
}

// Caller text as the service encodes it: upper-case hexadecimal, two digits a byte.
inline std::string Hex(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    return out;
}

}  // namespace audit_records
