#include "host/locale_signals.h"

#include <cstddef>

namespace plovendale::internal {
namespace {

// The longest tag a host has reason to give (language, script, region and a variant); the
// longest zone name in the IANA database is 32 characters.
constexpr std::size_t kLongestTag = 35;
constexpr std::size_t kLongestZone = 64;

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

const char* languageTagProblem(std::string_view tag) {
    constexpr const char* kNotATag =
        "not a BCP 47 language tag such as \"de-CH\" (at most 35 letters, digits and hyphens, in "
        "subtags of 1 to 8, the first of letters; a POSIX locale's \"de_CH\" is written "
        "\"de-CH\")";
    if (tag.empty() || tag.size() > kLongestTag) return kNotATag;
    std::size_t subtag = 0;  // characters in the current subtag
    bool first = true;
    for (const char c : tag) {
        if (c == '-') {
            if (subtag == 0 || (first && subtag < 2)) return kNotATag;
            subtag = 0;
            first = false;
            continue;
        }
        if (!isLetter(c) && (first || !isDigit(c))) return kNotATag;
        if (++subtag > 8) return kNotATag;
    }
    if (subtag == 0 || (first && subtag < 2)) return kNotATag;
    return nullptr;
}

const char* timeZoneProblem(std::string_view zone) {
    constexpr const char* kNotAZone =
        "not an IANA time zone name such as \"Europe/Zurich\" (at most 64 letters, digits and "
        "\"_-+\", in names joined by '/', each starting with a letter)";
    if (zone.empty() || zone.size() > kLongestZone) return kNotAZone;
    bool nameStart = true;
    for (const char c : zone) {
        if (c == '/') {
            if (nameStart) return kNotAZone;
            nameStart = true;
            continue;
        }
        if (nameStart && !isLetter(c)) return kNotAZone;
        if (!isLetter(c) && !isDigit(c) && c != '_' && c != '-' && c != '+') return kNotAZone;
        nameStart = false;
    }
    return nameStart ? kNotAZone : nullptr;
}

}  // namespace plovendale::internal
