#include "plovendale/platform/log.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "host/held_log_lines.h"

namespace plovendale {
namespace {

struct LogState {
    std::mutex mutex;
    // Shared so that a line takes a pointer under the mutex, not a copy of the host's callable,
    // and runs the sink after letting go: the sink may call back into the library, this class
    // included.
    std::shared_ptr<const Log::Sink> sink;
};

LogState& state() {
    static LogState instance;
    return instance;
}

void writeToStandardError(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
}

thread_local std::vector<std::string>* heldLines = nullptr;

}  // namespace

void makeLogState() {
    (void)state();
}

HeldLogLines::HeldLogLines() : outer_(heldLines) {
    heldLines = &lines_;
}

HeldLogLines::~HeldLogLines() {
    heldLines = outer_;
    for (const auto& line : lines_) Log::write(line);
}

void Log::write(std::string_view message) {
    if (heldLines) {
        try {
            heldLines->emplace_back(message);
        } catch (...) {
            // No room to hold it: stderr calls no host code, so the line may go there now.
            writeToStandardError(message);
        }
        return;
    }
    std::shared_ptr<const Sink> sink;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        sink = s.sink;
    }
    if (sink) {
        // The sink is the host's code: what it throws must not unwind into the library's work.
        try {
            (*sink)(message);
            return;
        } catch (...) {
            // The line still goes out, below.
        }
    }
    writeToStandardError(message);
}

void Log::setSink(Sink sink) {
    std::shared_ptr<const Sink> replacement;
    if (sink) {
        try {
            replacement = std::make_shared<const Sink>(std::move(sink));
        } catch (const std::bad_alloc&) {
            // No room for the host's sink: its lines go to stderr rather than to an older sink.
        }
    }
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.sink.swap(replacement);
    }
    // `replacement` now holds the previous sink; it is released here, outside the mutex, or by
    // the last line still running it on another thread.
}

}  // namespace plovendale
