#pragma once

namespace plovendale::test {

/// A disk that fills up on demand, under every SQLite store opened after install(): an SQLite VFS
/// that wraps the system's default one, installed as the default for the rest of the process.
/// Until it is told to fill up it only passes calls on. Transactions are counted by their commit
/// frames in the write-ahead log, so a store's write of several values counts once.
class DiskFaults {
  public:
    /// Installs the VFS (once per process) and returns it. Open the stores to fail after this.
    static DiskFaults& install();

    /// Lets `commits` more transactions reach the disk; every write after them fails with
    /// SQLITE_FULL, as on a full disk.
    void fillAfterCommits(int commits);
    /// Writes succeed again.
    void clear();

  private:
    DiskFaults();
};

}  // namespace plovendale::test
