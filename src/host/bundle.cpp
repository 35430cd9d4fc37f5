#include "plovendale/platform/bundle.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/file_reading.h"
#include "plovendale/platform/log.h"
#include "util/text.h"

namespace plovendale {

// Every reader of the dictionary's text comes through here, whoever made the bundle: text that
// is not UTF-8 could not be sent or stored, so it counts as no entry at all.
std::optional<std::string> Bundle::infoString(const std::string& key) const {
    auto value = infoValue(key);
    if (!value) return std::nullopt;
    const auto* text = std::get_if<std::string>(&*value);
    if (!text || !isValidUTF8(*text)) return std::nullopt;
    return *text;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    return infoString("CFBundleIdentifier");
}

namespace {

class StaticBundle final : public Bundle {
  public:
    StaticBundle(std::string directory, std::map<std::string, InfoValue> info)
        : directory_(std::move(directory)), info_(std::move(info)) {}

    std::optional<InfoValue> infoValue(const std::string& key) const override {
        auto it = info_.find(key);
        if (it == info_.end()) return std::nullopt;
        return it->second;
    }
    std::string bundlePath() const override { return directory_; }

  private:
    std::string directory_;
    std::map<std::string, InfoValue> info_;
};

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

InfoValue convert(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            // plist_get_string_val aborts the process (its own assertion) on a string holding a
            // NUL byte; the pointer form only reads. The text ends at the first NUL, as the
            // value form would have it.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return text ? std::string(text, ::strnlen(text, length)) : std::string();
        }
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return flag != 0;
        }
        case PLIST_UINT: {
            uint64_t number = 0;
            plist_get_uint_val(node, &number);
            // Property lists store negative integers in two's complement.
            return static_cast<std::int64_t>(number);
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(node, &number);
            return number;
        }
        default:
            return std::monostate{};
    }
}

void logNoPropertyList(const std::string& path, const char* why) {
    Log::write("[Plovendale] no property list: " + path + " " + why + ".");
}

/// The property list's top-level dictionary, or nothing.
PlistPtr readInfoPlist(const std::string& path) {
    static_assert(kMaxInfoPlistSize <= std::numeric_limits<uint32_t>::max());
    const FileReadResult file = readRegularFile(path, kMaxInfoPlistSize);
    if (file.status != FileReadStatus::Read) {
        if (file.status != FileReadStatus::Missing) logNoPropertyList(path, describe(file.status));
        return nullptr;
    }
    const Bytes& data = *file.bytes;
    plist_t raw = nullptr;
    if (!data.empty()) {
        plist_from_memory(reinterpret_cast<const char*>(data.data()),
                          static_cast<uint32_t>(data.size()), &raw);
    }
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        logNoPropertyList(path, "holds no property-list dictionary");
        return nullptr;
    }
    return root;
}

/// Entries are looked up in the parsed dictionary rather than listed once: listing reads every
/// key with plist_get_key_val, which aborts the process on a UTF-16 key holding a NUL.
class PropertyListBundle final : public Bundle {
  public:
    PropertyListBundle(std::string directory, PlistPtr root)
        : directory_(std::move(directory)), root_(std::move(root)) {}

    std::optional<InfoValue> infoValue(const std::string& key) const override {
        if (!root_ || key.find('\0') != std::string::npos) return std::nullopt;
        plist_t value = plist_dict_get_item(root_.get(), key.c_str());
        if (!value) return std::nullopt;
        return convert(value);
    }
    std::string bundlePath() const override { return directory_; }

  private:
    std::string directory_;
    PlistPtr root_;  // read-only after construction: lookups do not change it
};

}  // namespace

std::shared_ptr<Bundle> makeBundle(std::string directory, std::map<std::string, InfoValue> info) {
    return std::make_shared<StaticBundle>(std::move(directory), std::move(info));
}

std::shared_ptr<Bundle> makeDirectoryBundle(const std::string& directory) {
    return std::make_shared<PropertyListBundle>(directory,
                                                readInfoPlist(directory + "/Info.plist"));
}

}  // namespace plovendale
