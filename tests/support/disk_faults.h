#pragma once

#include <sqlite3.h>

#include <string>

namespace plovendale::test {

/// A disk that fails on demand, under every SQLite store opened after install(): an SQLite VFS
/// that wraps the system's default one, installed as the default for the rest of the process.
/// Until it is told to fail it only passes calls on. Transactions are counted by their commit
/// frames in the write-ahead log, so a store's write of several values counts once.
class DiskFaults {
  public:
    /// Installs the VFS (once per process) and returns it. Open the stores to fail after this.
    static DiskFaults& install();

    /// Lets `commits` more transactions reach the disk; every write after them fails with
    /// SQLITE_FULL, as on a full disk.
    void fillAfterCommits(int commits);
    /// Database files opened from now on are write-protected: SQLite opens them read-only, as it
    /// does for a file without write permission (which the tests' user may not be able to make:
    /// root writes anyway).
    void protectFiles();
    /// How many times a write-ahead log was synced to the disk since install().
    int walSyncs() const;
    /// The same, counting only the syncs made on the calling thread.
    int walSyncsOnThisThread() const;
    /// Writes succeed and files open as they are again.
    void clear();

  private:
    DiskFaults();
};

/// A second connection to the store at `path` holding its write lock, as another process of the
/// same application would while it writes: writers of the store wait, then fail with
/// SQLITE_BUSY. The store must exist. The lock goes with release() or the destructor.
class StoreWriteLock {
  public:
    explicit StoreWriteLock(const std::string& path);
    ~StoreWriteLock();
    StoreWriteLock(const StoreWriteLock&) = delete;
    StoreWriteLock& operator=(const StoreWriteLock&) = delete;
    bool held() const { return held_; }
    void release();

  private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
};

}  // namespace plovendale::test
