#pragma once

#include <optional>
#include <string>

namespace plovendale {

/// The one emptiness test of the library.
class StringUtils {
  public:
    /// Yes for nothing, for "" and for exactly one space (U+0020); no for every other text,
    /// including two spaces, a tab, a line break and the text "null".
    static bool isNullOrEmpty(const std::optional<std::string>& value);
    static bool isNullOrEmpty(const std::string& value) { return value.empty() || value == " "; }
    static bool isNullOrEmpty(const char* value) {
        return value == nullptr || isNullOrEmpty(std::optional<std::string>(value));
    }
};

/// The logging entry point of the signal collectors. It deliberately keeps and writes nothing:
/// pasteboard text and decoded keys must not reach a log a user could read.
class Logger {
  public:
    static void info(const std::string& message);
};

}  // namespace plovendale
