#include "identifiers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

#include "plovendale/sdk/app_key.h"

namespace plovendale::attribution_service {
namespace {

constexpr std::string_view kAlphanumerics =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool isAsciiAlphanumeric(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

// The library's rule: a key one accepts, the other never refuses.
bool isValidAppKey(std::string_view key) {
    return plovendale::isValidAppKey(key);
}

bool isValidTraceId(std::string_view traceId) {
    if (traceId.size() < kMinTraceIdLength || traceId.size() > kMaxTraceIdLength) return false;
    return std::all_of(traceId.begin(), traceId.end(), isAsciiAlphanumeric);
}

std::string newTraceId() {
    // random_device reads the kernel's entropy source on Linux; one per call keeps this
    // thread-safe.
    std::random_device entropy;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphanumerics.size() - 1);
    std::string id(kGeneratedTraceIdLength, '0');
    for (char& c : id) c = kAlphanumerics[pick(entropy)];
    return id;
}

std::string utcTimestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

}  // namespace plovendale::attribution_service
