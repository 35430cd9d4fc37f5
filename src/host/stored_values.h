#pragma once

// What the key-value stores hold in memory, and how a write's values are built before anything
// is stored, shared by the store in memory and the SQLite one.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "plovendale/platform/key_value_store.h"
#include "util/text.h"

namespace plovendale::stored {

using StoredValue = std::variant<std::string, bool>;
using Values = std::map<std::string, StoredValue>;

inline bool readsAsTrue(const StoredValue& value) {
    if (const bool* flag = std::get_if<bool>(&value)) return *flag;
    const std::string text = lowercasedASCII(std::get<std::string>(value));
    return text == "1" || text == "yes" || text == "true";
}

// The values reads are answered from. Callers hold their store's mutex.
class ValueTable {
  public:
    std::optional<std::string> string(const std::string& key) const {
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
        return std::nullopt;
    }
    bool boolean(const std::string& key) const {
        auto it = values_.find(key);
        return it != values_.end() && readsAsTrue(it->second);
    }
    // Everything that can run out of memory happened while `incoming` was built; moving its nodes
    // in allocates nothing, so a write lands whole or not at all.
    void merge(Values incoming) noexcept {
        while (!incoming.empty()) {
            auto inserted = values_.insert(incoming.extract(incoming.begin()));
            if (!inserted.inserted) inserted.position->second = std::move(inserted.node.mapped());
        }
    }
    void replace(Values values) noexcept { values_.swap(values); }
    void erase(std::span<const std::string> keys) noexcept {
        for (const auto& key : keys) values_.erase(key);
    }

  private:
    Values values_;
};

// A write's values, built before anything is stored; nothing when memory ran out.
inline std::optional<Values> valuesOf(const std::map<std::string, std::string>& valuesByKey) {
    try {
        return Values(valuesByKey.begin(), valuesByKey.end());
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
template <typename Value>
std::optional<Values> valueOf(const std::string& key, Value value) {
    try {
        return Values{{key, StoredValue{std::move(value)}}};
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

// What an update writes: the values to store, and whether its key goes.
struct Changed {
    Values values;
    bool removed = false;
    bool unchanged = false;
};

// Runs an update's change over the current value; nothing when it failed (out of memory).
inline std::optional<Changed> changed(const std::string& key,
                                      const std::optional<std::string>& current,
                                      const KeyValueStore::Change& change,
                                      const std::map<std::string, std::string>& alsoSet) {
    try {
        Changed result{Values(alsoSet.begin(), alsoSet.end())};
        auto next = change(current);
        result.unchanged = next == current;
        if (next && !result.unchanged) {
            result.values.insert_or_assign(key, StoredValue{std::move(*next)});
        } else if (!next && current) {
            result.removed = true;
        }
        return result;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

/// A new SQLite store on the file at `path`, or nothing and why. Logs nothing. One per file per
/// process: makeSQLiteKeyValueStore shares the store open on a file.
std::shared_ptr<KeyValueStore> openSQLiteFile(const std::string& path, std::string* why);

}  // namespace plovendale::stored
