#pragma once

// The checks a language tag and a time zone pass before the library sends them: whatever the
// host hands over goes into the install request as it is, so what enters is bounded and plain.

#include <string_view>

namespace plovendale::internal {

/// Nothing when `tag` is a BCP 47 language tag as the library sends one ("de-CH"); else what is
/// wrong with it, for a log line.
const char* languageTagProblem(std::string_view tag);

/// Nothing when `zone` is an IANA time zone name as the library sends one ("Europe/Zurich"); else
/// what is wrong with it, for a log line.
const char* timeZoneProblem(std::string_view zone);

}  // namespace plovendale::internal
