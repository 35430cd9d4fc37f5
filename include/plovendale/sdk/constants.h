#pragma once

#include <cstddef>

#include "plovendale/export.h"

namespace plovendale {

inline constexpr const char* SDK_VERSION = "2.3.1";
inline constexpr double PlovendaleSDKVersionNumber = 20301.0;
inline constexpr const char PlovendaleSDKVersionString[] =
    "@(#)PROGRAM:PlovendaleSDK  PROJECT:PlovendaleSDK-20301\n";

/// Timeouts in milliseconds.
inline constexpr double REQUEST_TIMEOUT = 10000.0;
inline constexpr double MIN_REQUEST_TIMEOUT = 4000.0;

/// URL templates: the service base URL, then the application key, in place of each "%@".
inline constexpr const char* API_REPORT = "%@/api/trace/client/report/%@";
inline constexpr const char* REPORT_STATE_URL = "%@/api/trace/client/state/%@";
/// Template of the default service base URL; its "%@" is the subdomain label. The base domain is a
/// build-time setting (PLOVENDALE_BASE_DOMAIN).
extern PLOVENDALE_API const char* const BASE_DOMAIN_URL;

inline constexpr const char* LINK_PATH = "/c";
/// Longest wake-up link the library reads, in bytes; a longer one is refused unread.
inline constexpr std::size_t MAX_LINK_LENGTH = 64 * 1024;
inline constexpr const char* CLIP_TRACE_ID_CONTENT = "PLOVENDALE:";

/// Property-list entries.
inline constexpr const char* APP_KEY = "com.plovendale.APP_KEY";
inline constexpr const char* SERVER_DOMAIN = "com.plovendale.SERVER_DOMAIN";

}  // namespace plovendale
