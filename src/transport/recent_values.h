#pragma once

// A thread's few most recent values of something costly to make from a key (a URL read, the header
// lines of a set of fields). An application's requests go to a handful of URLs with a handful of
// field sets, and often alternate between two (a query and its report): one remembered value would
// miss every time then. One thread's; not synchronised.

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace plovendale::curl {

template <typename Value, std::size_t kKept = 4>
class RecentValues {
  public:
    /// The most recent value that `matches` accepts (it becomes the most recent), or null.
    template <typename Matches>
    const Value* find(Matches matches) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (!matches(values_[i])) continue;
            std::rotate(values_.begin(), values_.begin() + i, values_.begin() + i + 1);
            return &values_[0];
        }
        return nullptr;
    }
    /// Keeps value as the most recent, letting go of the oldest when all places are taken.
    const Value& remember(Value value) {
        if (count_ < kKept) ++count_;
        std::rotate(values_.begin(), values_.begin() + count_ - 1, values_.begin() + count_);
        values_[0] = std::move(value);
        return values_[0];
    }

  private:
    std::array<Value, kKept> values_{};
    std::size_t count_ = 0;
};

}  // namespace plovendale::curl
