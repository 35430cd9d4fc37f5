#include "plovendale/platform/url_request.h"

#include <algorithm>

#include "util/text.h"

namespace plovendale {
namespace {

// A request carries a few fields (a type, a length, a cookie): room for them is made at the first,
// rather than the list growing, and moving what it holds, with each one.
constexpr std::size_t kUsualFieldCount = 4;

template <typename Entries>
auto findField(Entries& entries, std::string_view name) {
    return std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
        return equalsIgnoringASCIICase(entry.first, name);
    });
}

}  // namespace

void HTTPHeaderFields::set(const std::string& name, const std::string& value) {
    auto it = findField(entries_, name);
    if (it != entries_.end()) {
        it->second = value;
        return;
    }
    if (entries_.empty()) entries_.reserve(kUsualFieldCount);
    entries_.emplace_back(name, value);
}

void HTTPHeaderFields::add(const std::string& name, const std::string& value) {
    auto it = findField(entries_, name);
    if (it != entries_.end()) {
        it->second += ',';
        it->second += value;
        return;
    }
    if (entries_.empty()) entries_.reserve(kUsualFieldCount);
    entries_.emplace_back(name, value);
}

void HTTPHeaderFields::remove(const std::string& name) {
    std::erase_if(entries_,
                  [&](const auto& entry) { return equalsIgnoringASCIICase(entry.first, name); });
}

std::optional<std::string> HTTPHeaderFields::get(std::string_view name) const {
    auto it = findField(entries_, name);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
    auto it = findField(allHeaderFields, name);
    if (it == allHeaderFields.end()) return std::nullopt;
    return it->second;
}

}  // namespace plovendale
