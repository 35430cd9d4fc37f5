#include "plovendale/platform/log.h"

#include <cstdio>
#include <mutex>

namespace plovendale {
namespace {

struct LogState {
    std::mutex mutex;
    Log::Sink sink;
};

LogState& state() {
    static LogState instance;
    return instance;
}

}  // namespace

void Log::write(std::string_view message) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.sink) {
        // The sink is the host's code: what it throws must not unwind into the library's work.
        try {
            s.sink(message);
            return;
        } catch (...) {
            // The line still goes out, below.
        }
    }
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

void Log::setSink(Sink sink) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

}  // namespace plovendale
