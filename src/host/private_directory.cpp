#include "host/private_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plovendale {
namespace {

constexpr mode_t kPrivateMode = 0700;

enum class Trust { OwnOnly, OwnOrRoot };

std::optional<std::string> refusal(const std::string& path, Trust trust) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return path + " cannot be examined (" + std::strerror(errno) + ")";
    if (!S_ISDIR(info.st_mode)) return path + " is not a directory";
    const bool owned =
        info.st_uid == ::geteuid() || (trust == Trust::OwnOrRoot && info.st_uid == 0);
    if (!owned) return path + " is owned by another user";
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    // In a sticky directory others may add entries but never move or remove ours.
    const bool sticky = trust == Trust::OwnOrRoot && (info.st_mode & S_ISVTX) != 0;
    if (othersMayWrite && !sticky) return path + " is writable by other users";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), kPrivateMode) != 0 && errno != EEXIST)
            return prefix + " cannot be made (" + std::strerror(errno) + ")";
        if (slash == std::string::npos) return std::nullopt;
    }
}

std::optional<std::string> makePrivateDirectory(const std::string& base,
                                                const std::vector<std::string>& components) {
    if (auto why = makeDirectories(base)) return why;
    if (auto refused = refusal(base, Trust::OwnOrRoot)) return refused;
    std::string path = base;
    for (const auto& component : components) {
        path += "/" + component;
        if (::mkdir(path.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
            return path + " cannot be made (" + std::strerror(errno) + ")";
        }
        if (auto refused = refusal(path, Trust::OwnOnly)) return refused;
    }
    return std::nullopt;
}

}  // namespace plovendale
