#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "plovendale/platform/bytes.h"

namespace plovendale {

/// How reading a file went. Missing is the ordinary failure and needs no log line; the others
/// mean that something odd sits where a file was expected.
enum class FileReadStatus { Read, Missing, NotRegularFile, TooLarge, Unreadable };

struct FileReadResult {
    FileReadStatus status = FileReadStatus::Missing;
    std::optional<Bytes> bytes;  ///< the whole content, when status is Read
};

/// The whole content of the regular file at `path` (a symbolic link is followed), at most
/// `maxBytes` long. Never blocks on a FIFO or device and never reads past `maxBytes`, so what a
/// path names cannot stall or exhaust the caller. Any thread.
FileReadResult readRegularFile(const std::string& path, std::size_t maxBytes);

/// A short text for a log line ("is not a regular file", ...).
const char* describe(FileReadStatus status);

}  // namespace plovendale
