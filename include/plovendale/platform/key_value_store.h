#pragma once

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plovendale/export.h"

namespace plovendale {

/// The application's key-value store (its "user defaults"): string and boolean values under string
/// keys, persisted per application. A value written is durable when the write call returns true;
/// a write that returns false (disk full, read-only file) changed nothing.
/// Every operation is safe to call from any thread.
class PLOVENDALE_API KeyValueStore {
  public:
    virtual ~KeyValueStore() = default;

    /// The string stored under `key`; nothing when the key is absent or holds no string.
    virtual std::optional<std::string> stringForKey(const std::string& key) const = 0;
    /// Stores `value` under `key`, replacing any earlier value.
    virtual bool setString(const std::string& value, const std::string& key) = 0;
    /// Stores every value under its key as one write: after a failure or a crash, either all of
    /// them or none of them are stored. Values that belong together go through here.
    virtual bool setStrings(const std::map<std::string, std::string>& valuesByKey) = 0;
    /// The boolean under `key`: false when absent; a string reads as true when it is "1", "YES"
    /// or "true" (any case), as the platform does.
    virtual bool boolForKey(const std::string& key) const = 0;
    virtual bool setBool(bool value, const std::string& key) = 0;
    virtual bool removeObjectForKey(const std::string& key) = 0;
    /// Removes every key as one write: after a failure or a crash, either all of them or none of
    /// them are gone. The built-in stores do so; this default, for a host's own store, removes
    /// them one by one and answers whether every removal succeeded.
    virtual bool removeObjectsForKeys(const std::vector<std::string>& keys) {
        bool removedAll = true;
        for (const auto& key : keys) removedAll = removeObjectForKey(key) && removedAll;
        return removedAll;
    }
    /// What `update` stores under its key, given the value there now (nothing when absent): the
    /// new value, or nothing to remove the key.
    using Change =
        std::function<std::optional<std::string>(const std::optional<std::string>& current)>;
    /// Reads the value under `key` as the store holds it now, also when another process wrote it,
    /// and stores what `change` makes of it together with `alsoSet`, as one write that no other
    /// writer can come between: a read-modify-write that loses no other process's update. An
    /// answer equal to the current value writes nothing (beyond `alsoSet`). `change` runs once,
    /// under the store's lock: it must only compute. False when the store refused the write; then
    /// nothing changed. The built-in stores do so; this default, for a host's own store, reads,
    /// changes and writes in turn, which is not safe against another process on the same values.
    virtual bool update(const std::string& key, const Change& change,
                        const std::map<std::string, std::string>& alsoSet) {
        const auto current = stringForKey(key);
        std::optional<std::string> next;
        try {
            next = change(current);
        } catch (const std::exception&) {
            return false;
        }
        auto values = alsoSet;
        if (next && next != current) values[key] = *next;
        if (!values.empty() && !setStrings(values)) return false;
        return next || !current || removeObjectForKey(key);
    }
    /// As `update` with nothing else to set, for a change that a crash soon after may undo without
    /// harm (a delivered report's removal: the next launch sends it again, and the service drops
    /// the repeat). The built-in file store commits it without waiting for the disk; it reaches the
    /// disk with the next write that does, or when the system writes it back. This default, for a
    /// host's own store, is `update`.
    virtual bool updateWithoutSync(const std::string& key, const Change& change) {
        return update(key, change, {});
    }
    /// Whether values outlive the process. The library keeps its other copies of a value (the
    /// pasteboard's marker) while the store only holds it in memory.
    virtual bool persists() const { return true; }
    /// The string under `key` as the store holds it now, also when another process wrote it
    /// (stringForKey may answer from this process's copy): a read that takes no write lock, for a
    /// caller that looks before it decides to `update`. Nothing when absent, not a string, or the
    /// read failed. This default, for a host's own store, is stringForKey.
    virtual std::optional<std::string> currentStringForKey(const std::string& key) {
        return stringForKey(key);
    }
};

/// A store in an SQLite file (one table, WAL journal: each write that changes the file is one
/// transaction and one sync of the log, but for updateWithoutSync) at `path`. A failed write is
/// logged once per call. When the file cannot be opened or is not a database, one line is logged
/// and an in-memory store is returned, so the host keeps running (values then live for the process
/// only). A value longer than 48 MiB in the file reads as absent. The file is read whole when it
/// opens and reads are answered from that copy, which a write reaches only once it is on disk.
/// While a store for the file is alive, every call for the same file (by any path that names it)
/// returns that store, so all of a process sees one set of values. Values another process writes to
/// the file meanwhile are seen by the next process that opens it, by currentStringForKey, and by
/// `update`, which reads the file inside its write transaction.
PLOVENDALE_API std::shared_ptr<KeyValueStore> makeSQLiteKeyValueStore(const std::string& path);

/// A store that lives in memory only.
PLOVENDALE_API std::shared_ptr<KeyValueStore> makeInMemoryKeyValueStore();

}  // namespace plovendale
