#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plovendale/platform/platform.h"

namespace plovendale::test {

/// Every subsystem's process-wide state back to a new process's (persisted values stay): lets many
/// tests share one process as if each had its own. Main thread, no transfer in flight.
void resetProcessState();

/// A fresh directory under the system temp dir, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/// The whole content of a file; "" when it cannot be read.
std::string readFile(const std::string& path);

/// Collects log lines (installed as the platform's log sink).
class LogCapture {
  public:
    void add(std::string_view line);
    std::vector<std::string> lines() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

/// Writes an XML Info.plist with string entries (and raw XML values for other kinds); keys and
/// values are written as they are, unescaped.
void writeInfoPlist(const std::string& directory, const std::map<std::string, std::string>& strings,
                    const std::map<std::string, std::string>& rawValues = {});

/// A whole desktop platform in a temp dir: data directory, bundle directory with an Info.plist,
/// in-process pasteboard, captured log. configure() installs it.
class TestPlatform {
  public:
    TestPlatform() : TestPlatform(std::map<std::string, std::string>{}) {}
    TestPlatform(std::initializer_list<std::pair<std::string, std::string>> info)
        : TestPlatform(std::map<std::string, std::string>(info.begin(), info.end())) {}
    explicit TestPlatform(const std::map<std::string, std::string>& info);
    void configure();
    PlatformConfiguration& config() { return config_; }
    const TempDir& dir() const { return dir_; }
    std::string dataDirectory() const { return dir_.file("data"); }
    std::string bundleDirectory() const { return dir_.file("App.app"); }
    LogCapture& log() { return *log_; }

  private:
    TempDir dir_;
    std::shared_ptr<LogCapture> log_;
    PlatformConfiguration config_;
};

/// Where the last copy of a ReleaseWitness was destroyed.
struct ReleaseRecord {
    std::atomic<bool> released{false};
    std::thread::id thread;  ///< written before `released` is set
};

/// Captured by a callback, it records the thread on which the library lets go of the callback.
class ReleaseWitness {
  public:
    explicit ReleaseWitness(std::shared_ptr<ReleaseRecord> record) : record_(std::move(record)) {}
    ~ReleaseWitness() {
        record_->thread = std::this_thread::get_id();
        record_->released = true;
    }
    ReleaseWitness(const ReleaseWitness&) = delete;
    ReleaseWitness& operator=(const ReleaseWitness&) = delete;

  private:
    std::shared_ptr<ReleaseRecord> record_;
};

/// The fields of a landing page's pasteboard marker, with filler mixed in where the page puts it.
std::string encodeKey(const std::string& key);
std::string encodeTrace(const std::string& trace);
/// The anchor a landing page leaves on the pasteboard for `key` and `trace`; `attributes` go
/// before its id.
std::string pasteboardAnchor(const std::string& key, const std::string& trace,
                             const std::string& attributes = "");

/// Drains the main queue until `done` holds or `timeout` passes.
bool runMainQueueUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace plovendale::test
