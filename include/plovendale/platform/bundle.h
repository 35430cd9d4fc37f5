#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "plovendale/export.h"

namespace plovendale {

/// One entry of the application's information dictionary. The entry keeps its type: a number under
/// "CFBundleVersion" is not a string. `std::monostate` stands for kinds the library never reads
/// (dates, data, arrays, dictionaries).
using InfoValue = std::variant<std::monostate, std::string, std::int64_t, double, bool>;

/// The application bundle: its directory and its information dictionary (Info.plist).
/// Immutable once made; safe to read from any thread.
class PLOVENDALE_API Bundle {
  public:
    virtual ~Bundle() = default;
    /// The entry under `key`, or nothing when there is none.
    virtual std::optional<InfoValue> infoValue(const std::string& key) const = 0;
    /// The absolute directory of the installed application.
    virtual std::string bundlePath() const = 0;

    /// The string under `key`, or nothing (absent, of another type, or not valid UTF-8).
    std::optional<std::string> infoString(const std::string& key) const;
    /// "CFBundleIdentifier" as a string, or nothing.
    std::optional<std::string> bundleIdentifier() const;
};

/// The largest Info.plist that is read; real ones are a few kilobytes.
inline constexpr std::size_t kMaxInfoPlistSize = 1024 * 1024;

/// A bundle at `directory` whose information dictionary is read once from directory/Info.plist
/// (XML or binary). Only a regular file (a link to one is followed) of at most kMaxInfoPlistSize
/// bytes is read, without blocking. Anything else gives an empty dictionary: silently when the
/// file is missing, with one log line otherwise.
PLOVENDALE_API std::shared_ptr<Bundle> makeDirectoryBundle(const std::string& directory);

/// A bundle with the given directory and entries (for hosts that keep their metadata elsewhere).
PLOVENDALE_API std::shared_ptr<Bundle> makeBundle(std::string directory,
                                                  std::map<std::string, InfoValue> info);

}  // namespace plovendale
