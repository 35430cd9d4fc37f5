#include "util/identifiers.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "plovendale/platform/log.h"
#include "util/text.h"

namespace plovendale {
namespace {

// Reads until `size` bytes arrived: getrandom may return fewer than asked or be interrupted.
bool fillFromGetrandom(std::uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

// For kernels without getrandom (or sandboxes that forbid it).
bool fillFromURandom(std::uint8_t* out, std::size_t size) {
    int fd = -1;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, out + filled, size - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return filled == size;
}

// Only when the system offers no random source at all: distinct, but not unguessable, so it is
// said once in the log.
void fillFromClock(std::uint8_t* out, std::size_t size) {
    static std::atomic<std::uint64_t> counter{0};
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        Log::write("[Plovendale] the system offers no random source; identifiers are guessable.");
    }
    std::uint64_t state =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(::getpid()) << 32) ^
        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (std::size_t i = 0; i < size; ++i) {
        // splitmix64: spreads the few changing bits over the whole output.
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<std::uint8_t>(z ^ (z >> 31));
    }
}

}  // namespace

// Every identifier draws fresh bits from the kernel: nothing is seeded once per process, so
// identifiers cannot be predicted from one another, and a forked child does not repeat its
// parent's.
std::string UUID::UUIDString() {
    std::uint8_t bytes[16];
    if (!fillFromGetrandom(bytes, sizeof bytes) && !fillFromURandom(bytes, sizeof bytes)) {
        fillFromClock(bytes, sizeof bytes);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[36];
    std::size_t length = 0;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[length++] = '-';
        text[length++] = kUpperHexDigits[bytes[i] >> 4];
        text[length++] = kUpperHexDigits[bytes[i] & 0xF];
    }
    return std::string(text, length);
}

}  // namespace plovendale
