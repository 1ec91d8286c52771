// Reading what the audit stand-in (audit-preload.c) recorded.
#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace audit_records {

// The log's lines, without their line ends.
inline std::vector<std::string> Lines(const std::string& log) {
    std::ifstream in(log, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The tab-separated fields of one line.
inline std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end; (end = line.find('\t', start)) != std::string::npos; start = end + 1)
        fields.push_back(line.substr(start, end - start));
    fields.push_back(line.substr(start));
    return fields;
}

// name -> value of one line; empty when a field repeats or lacks its name,
// which no well-formed record does.
inline std::map<std::string, std::string> Record(const std::string& line) {
    std::map<std::string, std::string> record;
    for (const std::string& field : Fields(line)) {
        const size_t eq = field.find('=');
        if (eq == std::string::npos || !record.emplace(field.substr(0, eq), field.substr(eq + 1)).second) return {};
    }
    return record;
}

// A value as the service puts caller text into a record when it must be
// encoded: upper-case hexadecimal digits, two per byte.
inline std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// The line a record with these values is written as. The service cuts an
// address text where libaudit would (45 bytes), so a host with several
// interfaces shows a cut one.
inline std::string Line(const std::string& message, const std::string& comm, const std::string& hostname,
                        const std::string& addr, int result) {
    const std::string cutAddr = addr.size() > 45 ? addr.substr(0, 42) + "..." : addr;
    return "type=2312\tmessage=" + message + "\tcomm=" + comm + "\thostname=" + hostname + "\taddr=" + cutAddr +
           "\ttty=(null)\tresult=" + std::to_string(result);
}

}  // namespace audit_records
