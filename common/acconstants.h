// Names, paths and lists every deliverable shares. Inline variables give each
// program one copy, built before main() and never changed.
#pragma once

#include <string>
#include <vector>

inline const std::string kModeWhitelist = "whitelist";
inline const std::string kModeBlacklist = "blacklist";

inline const std::string kEntityTypeSubject = "subject";
inline const std::string kEntityTypeObject = "object";

inline const std::string kEntitySubtypeExe = "exe";
inline const std::string kEntitySubtypePackage = "package";
inline const std::string kEntitySubtypeVeltrin = "veltrin-package";
inline const std::string kEntitySubtypeFile = "file";
inline const std::string kEntitySubtypeDBus = "dbus";

inline const std::string kEntityStringTrue = "true";
inline const std::string kEntityStringFalse = "false";
inline const std::string kDbusMsgTypeMethodCall = "method_call";

inline const std::string kChangeTypeAdd = "add";
inline const std::string kChangeTypeModify = "modify";
inline const std::string kChangeTypeDelete = "delete";

inline const std::string kSarvACManagerObject = "org.nimbra.sarv1";
inline const std::string kSarvACManagerPath = "/org/nimbra/sarv1/AccessControl";
inline const std::string kSarvAcManagerInterface = "org.nimbra.sarv1.AccessControl";
inline const std::string sarvSecurityAppidKey = "security.appid";

// Operations a D-Bus object may offer.
inline const std::vector<std::string> kDbusOperationList = {"read", "write", "readwrite", "allow", "deny"};

// Entities that may carry any subtype.
inline const std::string kEntityNameClipboard = "clipboard";
inline const std::string kEntityNameProhibitScreenshot = "prohibitscreenshot";

inline const std::string kVarLibFolder = "/var/lib/olm/sarv/";
inline const std::string kEtcFolder = "/etc/olm/sarv/";
inline const std::string kUsrShareFolder = "/usr/share/olm/sarv/";

inline const std::string kEntityFolderName = "entity.d";
inline const std::string kModeFolderName = "mode.d";
inline const std::string kPolicyFolderName = "policy.d";

inline const std::string kVarLibEntifyFolder = kVarLibFolder + kEntityFolderName;
inline const std::string kVarLibModeFolder = kVarLibFolder + kModeFolderName;
inline const std::string kVarLibPolicyFolder = kVarLibFolder + kPolicyFolderName;
inline const std::string kEtcEntityFolder = kEtcFolder + kEntityFolderName;
inline const std::string kEtcModeFolder = kEtcFolder + kModeFolderName;
inline const std::string kEtcPolicyFolder = kEtcFolder + kPolicyFolderName;
inline const std::string kUsrShareEntityFolder = kUsrShareFolder + kEntityFolderName;
inline const std::string kUsrShareModeFolder = kUsrShareFolder + kModeFolderName;
inline const std::string kUsrSharePolicyFolder = kUsrShareFolder + kPolicyFolderName;

inline const std::string kSubjectFileExtension = ".subject";
inline const std::string kObjectFileExtension = ".object";
inline const std::string kModeFileExtension = ".mode";
inline const std::string kPolicyFileExtension = ".policy";

inline const std::vector<std::string> kVarLibFolderList = {kVarLibModeFolder, kVarLibPolicyFolder,
                                                           kVarLibEntifyFolder};
inline const std::vector<std::string> kEtcFolderList = {kEtcEntityFolder, kEtcModeFolder, kEtcPolicyFolder};
inline const std::vector<std::string> kUsrShareFolderList = {kUsrShareEntityFolder, kUsrShareModeFolder,
                                                             kUsrSharePolicyFolder};
// The watcher watches the folders in this order.
inline const std::vector<std::string> kConfigFolderList = {
    kVarLibEntifyFolder, kVarLibModeFolder, kVarLibPolicyFolder,   kEtcEntityFolder,    kEtcModeFolder,
    kEtcPolicyFolder,    kUsrShareEntityFolder, kUsrShareModeFolder, kUsrSharePolicyFolder};
