#pragma once

// Shared pieces of the fuzz targets: a quiet in-memory platform and a reader that cuts one input
// into the fields a structure-aware target needs.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "plovendale/platform/bundle.h"
#include "plovendale/platform/bytes.h"

namespace plovendale::fuzz {

/// Configures, once per process, a platform that keeps every value in memory, never logs, has an
/// empty bundle in its own temporary directory and the application key kAppKey. Targets call it
/// from every input; only the first call does anything.
void useQuietPlatform();
/// The application key that useQuietPlatform() configures.
inline constexpr const char* kAppKey = "fuzzAppKey1";

/// Reads an input front to back. Reads past the end give zero bytes and empty fields, so targets
/// need no length checks.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}

    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        const auto value = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }
    /// The text up to the next separator (which is consumed), or everything that is left.
    std::string_view field(char separator) {
        const std::size_t end = rest_.find(separator);
        const std::string_view taken = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return taken;
    }
    /// At most max bytes.
    std::string_view take(std::size_t max) {
        const std::string_view taken = rest_.substr(0, max);
        rest_.remove_prefix(taken.size());
        return taken;
    }
    bool empty() const { return rest_.empty(); }
    std::string_view rest() {
        const std::string_view taken = rest_;
        rest_ = {};
        return taken;
    }

  private:
    std::string_view rest_;
};

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace plovendale::fuzz

/// A property the target checks failed: report it and abort, so the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
