#pragma once

#include <optional>
#include <string>
#include <vector>

namespace plovendale {

/// Makes base/components[0]/components[1]/... so that only the current user can change what is in
/// it: missing directories are created with mode 0700; base must belong to the user or to root
/// and be writable by nobody else (unless sticky); every directory named by `components` must
/// belong to the user and be writable by nobody else. Nothing when the directory is ready;
/// otherwise why it was refused, as a phrase about the path ("/x/y is owned by another user").
/// Never throws. Any thread.
std::optional<std::string> makePrivateDirectory(const std::string& base,
                                                const std::vector<std::string>& components);

/// mkdir -p for a directory the host chose: every directory of `path` that is missing is made
/// with mode 0700; those that exist are left as they are. Nothing when it is done; otherwise why,
/// as above. Never throws. Any thread.
std::optional<std::string> makeDirectories(const std::string& path);

}  // namespace plovendale
