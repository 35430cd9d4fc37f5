#include "plovendale/platform/identifiers.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

namespace plovendale {

std::string UUID::UUIDString() {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    {
        std::lock_guard lock(mutex);
        high = engine();
        low = engine();
    }
    high = (high & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;  // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;    // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    auto put = [&text](std::uint64_t word, int fromNibble, int count) {
        for (int i = fromNibble; i < fromNibble + count; ++i) text += kDigits[(word >> (60 - 4 * i)) & 0xF];
    };
    put(high, 0, 8);
    text += '-';
    put(high, 8, 4);
    text += '-';
    put(high, 12, 4);
    text += '-';
    put(low, 0, 4);
    text += '-';
    put(low, 4, 12);
    return text;
}

double Date::timeIntervalSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace plovendale
