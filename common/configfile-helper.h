// Interface of libsarv-ac, the suite's configuration file library.
//
// Conventions of this implementation:
//
// Decoding (LoadFromJson, LoadFromFile, InsertFromFile, LoadFromFolder)
//   accepts exactly the documents the encoders of acjson.h write. A missing
//   key keeps the record's default and unknown keys are ignored. Text that is
//   not JSON, a document that is not an object, or a value of the wrong JSON
//   type (for example a number where a string belongs, a negative or
//   fractional "timestamp", a "subject" that is not {"name": "..."}) gives
//   -22. Nothing here throws.
//
// File names: GetConfigFileName gives FOLDER "/" ENCODED-NAME EXTENSION with
//   FOLDER "mode.d", "policy.d" or "entity.d" and EXTENSION ".mode",
//   ".policy", ".subject" (entities of type "subject") or ".object" (every
//   other entity). ENCODED-NAME keeps the bytes A-Z a-z 0-9 and "-_.+@,=:"
//   and writes every other byte as "%" and two upper-case hexadecimal
//   digits; "%" and "~" are always escaped, and so is a leading ".", so the
//   name is never hidden and never contains "/". The empty name is written as
//   "%" alone. An encoding longer than 200 bytes is cut to at most 150 bytes
//   (never inside an escape) and followed by "~" and the 64 hexadecimal
//   digits of the SHA-256 of the whole name. The result is at most 215 bytes
//   plus the extension, well under the 255 bytes a file name may have.
//   "camera" gives "mode.d/camera.mode".
//
// UpdateFile writes a hidden temporary file in the target's folder, fsyncs
//   it, renames it over the target and fsyncs the folder. Missing folders
//   are created with mode 0755 and the file gets mode 0644. It returns 0 or
//   a negative errno; on failure the old file is intact and no temporary is
//   left. Once the rename is done the result is 0: a failed folder sync is
//   logged as a warning. The temporary's name starts with kTemporaryFilePrefix; only a
//   writer killed in the middle leaves one behind. DeleteFile returns 0 or a
//   negative errno.
//
// LoadFromFolder takes every regular, non-hidden file of the folder whose
//   extension belongs to the record kind; the key of a file is the folder
//   (without a trailing "/"), "/" and the file name. A file that does not
//   parse is logged and skipped. Files larger than 16 MiB are refused (-27).
//
// ParseConfigType looks at the name of the folder holding the file and at
//   its extension: "mode.d" with ".mode", "policy.d" with ".policy",
//   "entity.d" with ".subject" or ".object". Hidden files are no
//   configuration files.
//
// Patterns in the D-Bus fields of an entity: a field is a pattern
//   (is_sarvregex) when it holds any of the characters * ? [ ] ( ) { } | ^ $
//   + \ . A pattern is a POSIX extended regular expression matched against
//   the whole field; is_sarvregex_invalid is true exactly when the pattern is
//   well formed (it compiles and is at most 1024 bytes long) and not costly.
//   is_sarvregex_costly is true when compiling it would take more than 4096
//   copies of its parts (PatternCost): every repeat copies its operand, a
//   bounded one {m,n} as often as its larger count, so nested repeats and
//   large counts multiply.
//
// GetVeltrinApplicationId(pid): the id APPID when the process's cgroup
//   (/proc/PID/cgroup) is a systemd scope named
//   "app-veltrin-APPID-ANYTHING.scope" (APPID and ANYTHING non-empty, APPID
//   ending at the last "-"); otherwise "".
#pragma once

#include <map>
#include <string>

#include "acrecords.h"

#define SARV_AC_EXPORT __attribute__((visibility("default")))

enum AcConfigType { UnknownType = 0, ModeType = 1, EntityType = 2, PolicyType = 3 };

// record name -> full file path -> record as stored in that file
// The name every temporary file of UpdateFile starts with.
inline constexpr char kTemporaryFilePrefix[] = ".sarv-tmp-";

// The largest configuration file the Load operations read.
inline constexpr size_t kMaxConfigFileSize = 16 * 1024 * 1024;

template <typename T>
using ConfigCacheMap = std::map<std::string, std::map<std::string, T>>;

class SARV_AC_EXPORT ConfigFileHelper {
public:
    template <typename T>
    static int LoadFromFolder(const std::string& folder, bool flag, ConfigCacheMap<T>& cache);
    template <typename T>
    static int InsertFromFile(const std::string& path, ConfigCacheMap<T>& cache, T& out);
    template <typename T>
    static int LoadFromJson(const std::string& json, T& out);
    template <typename T>
    static int LoadFromFile(const std::string& path, T& out);
    template <typename T>
    static int UpdateFile(const std::string& path, const T& record);
    static int DeleteFile(const std::string& path);
};

// The name the cache keys a record by.
SARV_AC_EXPORT std::string GetConfigName(const ModeData& m);
SARV_AC_EXPORT std::string GetConfigName(const EntityInfoData& e);
SARV_AC_EXPORT std::string GetConfigName(const PolicyData& p);

// The file-name form of a record name (without extension).
SARV_AC_EXPORT std::string EncodeConfigName(const std::string& name);

SARV_AC_EXPORT std::string GetConfigFileName(const ModeData& m);
SARV_AC_EXPORT std::string GetConfigFileName(const EntityInfoData& e);
SARV_AC_EXPORT std::string GetConfigFileName(const PolicyData& p);

SARV_AC_EXPORT std::string GetConfigFolder(const ModeData& m);
SARV_AC_EXPORT std::string GetConfigFolder(const EntityInfoData& e);
SARV_AC_EXPORT std::string GetConfigFolder(const PolicyData& p);

SARV_AC_EXPORT AcConfigType ParseConfigType(const std::string& path);

SARV_AC_EXPORT bool is_sarvregex(const std::string& text);
SARV_AC_EXPORT bool is_sarvregex_invalid(const std::string& text);
SARV_AC_EXPORT bool is_sarvregex_costly(const std::string& text);
// What compiling the pattern costs, in copies of its parts (at most 4097).
SARV_AC_EXPORT size_t PatternCost(const std::string& text);

SARV_AC_EXPORT std::string GetVeltrinApplicationId(int pid);
// The application id named by the text of a /proc/PID/cgroup file.
SARV_AC_EXPORT std::string VeltrinApplicationIdFromCgroup(const std::string& cgroup);
