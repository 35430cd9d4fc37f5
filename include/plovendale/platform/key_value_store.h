#pragma once

#include <memory>
#include <optional>
#include <string>

namespace plovendale {

/// The application's key-value store (its "user defaults"): string and boolean values under string
/// keys, persisted per application. A value written is durable when the write call returns.
/// Every operation is safe to call from any thread.
class KeyValueStore {
public:
    virtual ~KeyValueStore() = default;

    /// The string stored under `key`; nothing when the key is absent or holds no string.
    virtual std::optional<std::string> stringForKey(const std::string& key) const = 0;
    /// Stores `value` under `key`, replacing any earlier value.
    virtual void setString(const std::string& value, const std::string& key) = 0;
    /// The boolean under `key`: false when absent; a string reads as true when it is "1", "YES"
    /// or "true" (any case), as the platform does.
    virtual bool boolForKey(const std::string& key) const = 0;
    virtual void setBool(bool value, const std::string& key) = 0;
    virtual void removeObjectForKey(const std::string& key) = 0;
};

/// A store in an SQLite file (one table, WAL journal, full synchronous commits) at `path`. When the
/// file cannot be opened or is not a database, one line is logged and an in-memory store is
/// returned, so the host keeps running (values then live for the process only).
std::shared_ptr<KeyValueStore> makeSQLiteKeyValueStore(const std::string& path);

/// A store that lives in memory only.
std::shared_ptr<KeyValueStore> makeInMemoryKeyValueStore();

}  // namespace plovendale
