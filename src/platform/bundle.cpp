#include "plovendale/platform/bundle.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

#include "platform/file_reading.h"
#include "platform/utf8.h"
#include "plovendale/platform/log.h"

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

std::optional<std::string> Bundle::bundleIdentifier() const { return infoString("CFBundleIdentifier"); }

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
            char* raw = nullptr;
            plist_get_string_val(node, &raw);
            std::string text = raw ? raw : "";
            std::free(raw);
            return text;
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

std::map<std::string, InfoValue> readInfoPlist(const std::string& path) {
    static_assert(kMaxInfoPlistSize <= std::numeric_limits<uint32_t>::max());
    std::map<std::string, InfoValue> info;
    const FileReadResult file = readRegularFile(path, kMaxInfoPlistSize);
    if (file.status != FileReadStatus::Read) {
        if (file.status != FileReadStatus::Missing) logNoPropertyList(path, describe(file.status));
        return info;
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
        return info;
    }
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &value);
        if (!key) break;
        if (value) info.emplace(key, convert(value));
        std::free(key);
    }
    std::free(iter);
    return info;
}

}  // namespace

std::shared_ptr<Bundle> makeBundle(std::string directory, std::map<std::string, InfoValue> info) {
    return std::make_shared<StaticBundle>(std::move(directory), std::move(info));
}

std::shared_ptr<Bundle> makeDirectoryBundle(const std::string& directory) {
    return makeBundle(directory, readInfoPlist(directory + "/Info.plist"));
}

}  // namespace plovendale
