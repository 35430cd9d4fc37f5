#include "plovendale/platform/key_value_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "host/stored_values.h"
#include "plovendale/platform/log.h"

namespace plovendale {
namespace {

using namespace stored;

class InMemoryStore final : public KeyValueStore {
  public:
    std::optional<std::string> stringForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        return table_.string(key);
    }
    bool setString(const std::string& value, const std::string& key) override {
        return merge(valueOf(key, value));
    }
    bool setStrings(const std::map<std::string, std::string>& valuesByKey) override {
        return merge(valuesOf(valuesByKey));
    }
    bool boolForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        return table_.boolean(key);
    }
    bool setBool(bool value, const std::string& key) override { return merge(valueOf(key, value)); }
    bool removeObjectForKey(const std::string& key) override {
        std::lock_guard lock(mutex_);
        table_.erase({&key, 1});
        return true;
    }
    bool removeObjectsForKeys(const std::vector<std::string>& keys) override {
        std::lock_guard lock(mutex_);
        table_.erase(keys);
        return true;
    }
    bool update(const std::string& key, const Change& change,
                const std::map<std::string, std::string>& alsoSet) override {
        std::lock_guard lock(mutex_);
        auto incoming = changed(key, table_.string(key), change, alsoSet);
        if (!incoming) return false;
        table_.merge(std::move(incoming->values));
        if (incoming->removed) table_.erase({&key, 1});
        return true;
    }
    bool persists() const override { return false; }

  private:
    bool merge(std::optional<Values> incoming) {
        if (!incoming) return false;
        std::lock_guard lock(mutex_);
        table_.merge(std::move(*incoming));
        return true;
    }

    mutable std::mutex mutex_;
    ValueTable table_;
};

// The stores open in this process, by file (device and inode: however the host spells the path,
// through links or dots, one file is one store). A second store on a file would answer reads from
// a copy that misses the first one's writes; the process's user defaults are one object too.
using FileIdentity = std::pair<dev_t, ino_t>;

struct OpenStores {
    std::mutex mutex;
    std::map<FileIdentity, std::weak_ptr<KeyValueStore>> byFile;
};

// Never destroyed: a start-up worker may still open a store while the process exits.
OpenStores& openStores() {
    static auto* instance = new OpenStores;  // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

// The store holds the client identifier, which only its owner may read. SQLite makes a new
// database file 0644 (less the umask) and its -wal and -shm files with the database file's mode:
// so the database file is made 0600 before SQLite opens it, and files an older version left
// wider are narrowed.
void keepToOwner(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        const int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | (*suffix == '\0' ? O_CREAT : 0);
        const int fd = ::open(file.c_str(), flags, 0600);
        if (fd < 0) continue;  // SQLite says why when the database cannot be opened
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            (info.st_mode & 077) != 0) {
            (void)::fchmod(fd, info.st_mode & 0700);
        }
        ::close(fd);
    }
}

// The store for `path`, or nothing and why. Logs nothing: the caller says why once the lock on
// the open stores is let go.
std::shared_ptr<KeyValueStore> openSQLiteKeyValueStore(const std::string& path, std::string* why) {
    auto& stores = openStores();
    std::lock_guard lock(stores.mutex);
    std::erase_if(stores.byFile, [](const auto& entry) { return entry.second.expired(); });
    // A file that does not exist yet is open nowhere in the process.
    if (const auto file = identityOf(path)) {
        auto found = stores.byFile.find(*file);
        if (found != stores.byFile.end()) {
            if (auto open = found->second.lock()) return open;
        }
    }
    keepToOwner(path);
    auto store = openSQLiteFile(path, why);
    if (store) {
        if (const auto file = identityOf(path)) stores.byFile[*file] = store;
    }
    return store;
}

}  // namespace

std::shared_ptr<KeyValueStore> makeInMemoryKeyValueStore() {
    return std::make_shared<InMemoryStore>();
}

std::shared_ptr<KeyValueStore> makeSQLiteKeyValueStore(const std::string& path) {
    std::string why;
    if (auto store = openSQLiteKeyValueStore(path, &why)) return store;
    Log::write("[Plovendale] cannot open the key-value store at " + path + " (" + why +
               "); values are kept in memory for this run only.");
    return makeInMemoryKeyValueStore();
}

}  // namespace plovendale
