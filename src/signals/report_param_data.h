#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plovendale {

/// Entries of the application's information dictionary, and the system version.
class BundleInfo {
  public:
    /// The entry under `key` when it is a string; "Unknown" otherwise.
    static std::string getBundleValue(const std::string& key);
    static std::string bundle();    ///< "CFBundleIdentifier"
    static std::string appBuild();  ///< "CFBundleVersion"
    /// The running system's version as "major.minor.patch" ("0.0.0" when unknown).
    static std::string osNameVersion();
};

/// The hardware model.
class Device {
  public:
    /// The model identifier (uname machine on a desktop); nothing when it is unavailable or
    /// not UTF-8.
    static std::optional<std::string> getVersionCode();
};

/// The install parameters sent with the install-trace query.
class ReportParamData {
  public:
    /// A fresh map with the seventeen keys "di", "pkg", "osvn", "vc", "clip", "ai", "sw", "sh",
    /// "li", "br", "gr", "gv", "ti", "svn", "md", "os", "ch"; "md" is left out when the model is
    /// unknown. Reads the screen, pasteboard cache and bundle marker afresh on every call.
    static std::map<std::string, std::string> getParams();

    /// The same entries as getParams, as a list in ascending key order: for a writer that needs
    /// no map.
    static std::vector<std::pair<const char*, std::string>> orderedParams();
};

}  // namespace plovendale
