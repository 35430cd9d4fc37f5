#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"

namespace plovendale::attribution_service {

/// The visitor's platform by its User-Agent: "ios" (iPhone, iPad, iPod), "android" or "other".
std::string platformOfUserAgent(std::string_view userAgent);

/// What an install-trace query says about its device.
struct InstallFingerprint {
    std::string os;              // "os": "iOS" or "Android"
    std::string osVersion;       // "osvn": "17.1.0"
    std::string model;           // "md": "iPhone14,2", or an Android model name
    long long screenWidth = 0;   // "sw", pixels
    long long screenHeight = 0;  // "sh", pixels
    std::string language;        // optional "lang" (BCP 47)
    std::string timeZone;        // optional "tz" (IANA)
};

/// Scores each click against the fingerprint; a click that contradicts it (another platform, OS
/// version, model family or screen, or language or time zone when both sides have one) is out.
/// The best click wins only with a score of at least kMinFingerprintScore and at least
/// kFingerprintMargin points above the best click of any other link; otherwise nothing (the
/// install stays organic). Also nothing on a crowded address, where a fingerprint cannot tell
/// visitors apart: more than kCrowdedAddress candidates, or more than kCrowdedVisitors distinct
/// visitors (`visitors`, counted over kCrowdHorizon whatever the window: a carrier's shared
/// address shows only a few clicks inside a short window and would pass for a household).
/// Candidates come newest first; of equal clicks of the winning link the newest is taken.
std::optional<std::size_t> chooseClick(const InstallFingerprint& fingerprint,
                                       const std::vector<Click>& candidates, std::size_t visitors);

inline constexpr int kMinFingerprintScore = 3;
inline constexpr int kFingerprintMargin = 2;
inline constexpr std::size_t kCrowdedAddress = 8;
inline constexpr std::size_t kCrowdedVisitors = 4;
inline constexpr std::chrono::hours kCrowdHorizon{24};

}  // namespace plovendale::attribution_service
