#include "support/disk_faults.h"

#include <sqlite3.h>

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
    bool lockFiles = false;

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

sqlite3_vfs* baseVfs = nullptr;
sqlite3_vfs faultVfs;

// Our file record, followed in the same allocation by the wrapped VFS's own.
struct FaultFile {
    sqlite3_file file;
    sqlite3_file* real;
    bool wal;
};

sqlite3_file* real(sqlite3_file* file) {
    return reinterpret_cast<FaultFile*>(file)->real;
}
const sqlite3_io_methods& io(sqlite3_file* file) {
    return *real(file)->pMethods;
}

int faultClose(sqlite3_file* f) {
    return io(f).xClose(real(f));
}
int faultRead(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return io(f).xRead(real(f), data, amount, offset);
}
int faultWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    if (budget().refuses(reinterpret_cast<FaultFile*>(f)->wal, data, amount, offset))
        return SQLITE_FULL;
    return io(f).xWrite(real(f), data, amount, offset);
}
int faultTruncate(sqlite3_file* f, sqlite3_int64 size) {
    return io(f).xTruncate(real(f), size);
}
int faultSync(sqlite3_file* f, int flags) {
    return io(f).xSync(real(f), flags);
}
int faultFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return io(f).xFileSize(real(f), size);
}
int faultLock(sqlite3_file* f, int level) {
    return io(f).xLock(real(f), level);
}
int faultUnlock(sqlite3_file* f, int level) {
    return io(f).xUnlock(real(f), level);
}
int faultCheckReservedLock(sqlite3_file* f, int* out) {
    return io(f).xCheckReservedLock(real(f), out);
}
int faultFileControl(sqlite3_file* f, int op, void* arg) {
    return io(f).xFileControl(real(f), op, arg);
}
int faultSectorSize(sqlite3_file* f) {
    return io(f).xSectorSize(real(f));
}
int faultDeviceCharacteristics(sqlite3_file* f) {
    return io(f).xDeviceCharacteristics(real(f));
}
int faultShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return io(f).xShmMap(real(f), region, size, extend, out);
}
int faultShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return io(f).xShmLock(real(f), offset, n, flags);
}
void faultShmBarrier(sqlite3_file* f) {
    io(f).xShmBarrier(real(f));
}
int faultShmUnmap(sqlite3_file* f, int deleteFlag) {
    return io(f).xShmUnmap(real(f), deleteFlag);
}
int faultFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return io(f).xFetch(real(f), offset, amount, out);
}
int faultUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return io(f).xUnfetch(real(f), offset, page);
}

const sqlite3_io_methods faultMethods = {
    3,
    faultClose,
    faultRead,
    faultWrite,
    faultTruncate,
    faultSync,
    faultFileSize,
    faultLock,
    faultUnlock,
    faultCheckReservedLock,
    faultFileControl,
    faultSectorSize,
    faultDeviceCharacteristics,
    faultShmMap,
    faultShmLock,
    faultShmBarrier,
    faultShmUnmap,
    faultFetch,
    faultUnfetch,
};

int faultOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* ours = reinterpret_cast<FaultFile*>(file);
    ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
    ours->wal = (flags & SQLITE_OPEN_WAL) != 0;
    ours->real->pMethods = nullptr;
    ours->file.pMethods = nullptr;
    if (flags & SQLITE_OPEN_MAIN_DB) {
        std::lock_guard lock(budget().mutex);
        if (budget().lockFiles) return SQLITE_CANTOPEN;
        // What the default VFS does when opening for writing is refused: it opens read-only and
        // says so in the flags.
        if (budget().protectFiles && (flags & SQLITE_OPEN_READWRITE))
            flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    }
    const int rc = baseVfs->xOpen(baseVfs, name, ours->real, flags, outFlags);
    // SQLite closes a file whose methods are set, also after a failed open: mirror the wrapped
    // one (the default VFS on Linux offers every method of version 3).
    ours->file.pMethods = ours->real->pMethods ? &faultMethods : nullptr;
    return rc;
}

}  // namespace

DiskFaults::DiskFaults() {
    baseVfs = sqlite3_vfs_find(nullptr);
    if (!baseVfs) throw std::runtime_error("no SQLite VFS to wrap");
    faultVfs = *baseVfs;
    faultVfs.zName = "plovendale-test-disk-faults";
    faultVfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + baseVfs->szOsFile;
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

void DiskFaults::protectFiles() {
    std::lock_guard lock(budget().mutex);
    budget().protectFiles = true;
}

void DiskFaults::lockFiles() {
    std::lock_guard lock(budget().mutex);
    budget().lockFiles = true;
}

void DiskFaults::clear() {
    std::lock_guard lock(budget().mutex);
    budget().commitsLeft = -1;
    budget().full = false;
    budget().protectFiles = false;
    budget().lockFiles = false;
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
