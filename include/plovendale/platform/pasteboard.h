#pragma once

#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "plovendale/export.h"
#include "plovendale/platform/bytes.h"

namespace plovendale {

/// One representation of a pasteboard item: text, or other data.
using PasteboardValue = std::variant<std::string, Bytes>;
/// A pasteboard item: its representations keyed by type identifier (such as "public.html").
using PasteboardItem = std::map<std::string, PasteboardValue>;

/// The general pasteboard. Safe to call from any thread.
class PLOVENDALE_API Pasteboard {
  public:
    static constexpr const char* kPlainTextType = "public.utf8-plain-text";
    static constexpr const char* kHTMLType = "public.html";

    virtual ~Pasteboard() = default;
    /// The items, in order.
    virtual std::vector<PasteboardItem> items() const = 0;
    /// Replaces everything on the pasteboard by these items.
    virtual void setItems(std::vector<PasteboardItem> items) = 0;
    /// Replaces everything on the pasteboard by one plain-text item holding `text`.
    void setString(const std::string& text);
};

/// A pasteboard that lives in this process (a desktop host has no shared one).
PLOVENDALE_API std::shared_ptr<Pasteboard> makeInProcessPasteboard();

}  // namespace plovendale
