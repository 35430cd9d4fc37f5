#pragma once

// A thread's few most recent values of something costly to make from a key (a URL read, the header
// lines of a set of fields). An application's requests go to a handful of URLs with a handful of
// field sets, and often alternate between two (a query and its report): one remembered value would
// miss every time then. One thread's; not synchronised.

#include <array>
#include <cstddef>
#include <utility>

namespace plovendale::curl {

template <typename Value, std::size_t kKept = 4>
class RecentValues {
  public:
    /// A kept value that `matches` accepts, or null.
    template <typename Matches>
    const Value* find(Matches matches) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (matches(values_[i])) return &values_[i];
        }
        return nullptr;
    }
    /// Keeps `value` in place of the one kept longest once all places are taken. The answer, like
    /// find's, holds until the next call of remember.
    const Value& remember(Value value) {
        Value& place = values_[next_];
        place = std::move(value);
        next_ = (next_ + 1) % kKept;
        if (count_ < kKept) ++count_;
        return place;
    }

  private:
    std::array<Value, kKept> values_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

}  // namespace plovendale::curl
