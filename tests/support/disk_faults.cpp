#include "support/disk_faults.h"

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace plovendale::test {
namespace {

constexpr int kWalHeaderSize = 32;
constexpr int kWalFrameHeaderSize = 24;

struct Budget {
    std::mutex mutex;
    int commitsLeft = -1;  // -1: no limit
    bool full = false;
    bool protectFiles = false;
    int walSyncs = 0;

    // A write-ahead-log frame header whose second field (the database size after the commit) is
    // not zero starts the last frame of a transaction.
    bool refuses(bool wal, const void* data, int amount, sqlite3_int64 offset) {
        std::lock_guard lock(mutex);
        if (full) return true;
        if (!wal || commitsLeft < 0 || amount != kWalFrameHeaderSize || offset < kWalHeaderSize)
            return false;
        const auto* bytes = static_cast<const unsigned char*>(data);
        const std::uint32_t pagesAfterCommit = (std::uint32_t{bytes[4]} << 24) |
                                               (std::uint32_t{bytes[5]} << 16) |
                                               (std::uint32_t{bytes[6]} << 8) | bytes[7];
        if (pagesAfterCommit == 0) return false;
        if (commitsLeft == 0) {
            full = true;
            return true;
        }
        --commitsLeft;
        return false;
    }
};

Budget& budget() {
    static Budget instance;
    return instance;
}

thread_local int walSyncsHere = 0;

sqlite3_vfs* baseVfs = nullptr;
sqlite3_vfs faultVfs;

// After the wrapped VFS's own record of a file: what it is and the methods it was given.
struct Trailer {
    const sqlite3_io_methods* real;
    bool wal;
};
Trailer& trailer(sqlite3_file* file) {
    const int offset = (baseVfs->szOsFile + 7) & ~7;
    return *reinterpret_cast<Trailer*>(reinterpret_cast<char*>(file) + offset);
}

int faultWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    if (budget().refuses(trailer(f).wal, data, amount, offset)) return SQLITE_FULL;
    return trailer(f).real->xWrite(f, data, amount, offset);
}

int countedSync(sqlite3_file* f, int flags) {
    if (trailer(f).wal) {
        ++walSyncsHere;
        std::lock_guard lock(budget().mutex);
        ++budget().walSyncs;
    }
    return trailer(f).real->xSync(f, flags);
}

// The default VFS gives a database and its journals different tables of methods: each gets a
// copy whose write can fail. Callers hold the budget's mutex.
std::array<std::pair<const sqlite3_io_methods*, sqlite3_io_methods>, 4> faultTables{};
const sqlite3_io_methods* faultTableFor(const sqlite3_io_methods* real) {
    for (auto& [from, table] : faultTables) {
        if (!from) {
            from = real;
            table = *real;
            table.xWrite = faultWrite;
            table.xSync = countedSync;
        }
        if (from == real) return &table;
    }
    return real;
}

int faultOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    std::lock_guard lock(budget().mutex);
    if (flags & SQLITE_OPEN_MAIN_DB) {
        // What the default VFS does when opening for writing is refused: it opens read-only and
        // says so in the flags.
        if (budget().protectFiles && (flags & SQLITE_OPEN_READWRITE))
            flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    }
    const int rc = baseVfs->xOpen(baseVfs, name, file, flags, outFlags);
    if (file->pMethods) {
        trailer(file) = {file->pMethods, (flags & SQLITE_OPEN_WAL) != 0};
        file->pMethods = faultTableFor(file->pMethods);
    }
    return rc;
}

}  // namespace

DiskFaults::DiskFaults() {
    baseVfs = sqlite3_vfs_find(nullptr);
    if (!baseVfs) throw std::runtime_error("no SQLite VFS to wrap");
    faultVfs = *baseVfs;
    faultVfs.zName = "plovendale-test-disk-faults";
    faultVfs.szOsFile = ((baseVfs->szOsFile + 7) & ~7) + static_cast<int>(sizeof(Trailer));
    faultVfs.xOpen = faultOpen;
    if (sqlite3_vfs_register(&faultVfs, 1) != SQLITE_OK)
        throw std::runtime_error("cannot register the SQLite VFS");
}

DiskFaults& DiskFaults::install() {
    static DiskFaults instance;
    return instance;
}

void DiskFaults::fillAfterCommits(int commits) {
    std::lock_guard lock(budget().mutex);
    budget().commitsLeft = commits;
    budget().full = false;
}

int DiskFaults::walSyncs() const {
    std::lock_guard lock(budget().mutex);
    return budget().walSyncs;
}

int DiskFaults::walSyncsOnThisThread() const {
    return walSyncsHere;
}

void DiskFaults::protectFiles() {
    std::lock_guard lock(budget().mutex);
    budget().protectFiles = true;
}

void DiskFaults::clear() {
    std::lock_guard lock(budget().mutex);
    budget().commitsLeft = -1;
    budget().full = false;
    budget().protectFiles = false;
}

StoreWriteLock::StoreWriteLock(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
    held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

StoreWriteLock::~StoreWriteLock() {
    release();
    sqlite3_close_v2(db_);
}

void StoreWriteLock::release() {
    if (held_) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    held_ = false;
}

}  // namespace plovendale::test
