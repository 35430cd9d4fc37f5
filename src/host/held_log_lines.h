#pragma once

#include <string>
#include <vector>

namespace plovendale {

/// Holds back the lines this thread logs for as long as it lives, and writes them when it goes.
/// Declared before a lock_guard, it outlives the lock: what is logged while a library mutex is held
/// reaches the host's sink, which may call back into the library, only once the mutex is let go.
/// Nothing of the host's may run while one is alive on the thread.
class HeldLogLines {
  public:
    HeldLogLines();
    ~HeldLogLines();
    HeldLogLines(const HeldLogLines&) = delete;
    HeldLogLines& operator=(const HeldLogLines&) = delete;
    /// Drops the lines held so far: they will not be written.
    void discard() { lines_.clear(); }

  private:
    std::vector<std::string> lines_;
    std::vector<std::string>* outer_;  // the holder this one is nested in, if any
};

/// Makes the log's process-wide state now if it is not made yet. An object that lives until exit
/// and may log from its destructor (a thread it joins may) calls this in its constructor, so that
/// the log's state is destroyed after it.
void makeLogState();

}  // namespace plovendale
