#include "host/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace plovendale {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

FileReadResult failed(FileReadStatus status) {
    return {status, std::nullopt};
}

FileReadStatus failureOf(int error) {
    return error == ENOENT || error == ENOTDIR ? FileReadStatus::Missing
                                               : FileReadStatus::Unreadable;
}

}  // namespace

FileReadResult readRegularFile(const std::string& path, std::size_t maxBytes) {
    // Looking before opening keeps the open itself away from FIFOs and devices, whose open may
    // block or have side effects; the descriptor is checked again because the path may change
    // in between.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) return failed(failureOf(errno));
    if (!S_ISREG(named.st_mode)) return failed(FileReadStatus::NotRegularFile);

    int raw = -1;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return failed(failureOf(errno));
    const FileDescriptor fd(raw);

    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return failed(FileReadStatus::Unreadable);
    if (!S_ISREG(opened.st_mode)) return failed(FileReadStatus::NotRegularFile);
    if (opened.st_size < 0 || static_cast<std::uintmax_t>(opened.st_size) > maxBytes)
        return failed(FileReadStatus::TooLarge);

    // The file may grow while it is read: one byte past the cap tells that it did.
    const std::size_t limit = maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(opened.st_size));
    std::uint8_t chunk[16384];
    while (bytes.size() < limit) {
        const std::size_t want = std::min(sizeof chunk, limit - bytes.size());
        const ssize_t got = ::read(fd.get(), chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return failed(FileReadStatus::Unreadable);
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    if (bytes.size() > maxBytes) return failed(FileReadStatus::TooLarge);
    return {FileReadStatus::Read, std::move(bytes)};
}

const char* describe(FileReadStatus status) {
    switch (status) {
        case FileReadStatus::Read:
            return "was read";
        case FileReadStatus::Missing:
            return "is missing";
        case FileReadStatus::NotRegularFile:
            return "is not a regular file";
        case FileReadStatus::TooLarge:
            return "is too large";
        case FileReadStatus::Unreadable:
            return "cannot be read";
    }
    return "cannot be read";
}

}  // namespace plovendale
