#include "plovendale/platform/pasteboard.h"

#include <mutex>

namespace plovendale {

void Pasteboard::setString(const std::string& text) {
    setItems({PasteboardItem{{kPlainTextType, PasteboardValue{text}}}});
}

namespace {

class InProcessPasteboard final : public Pasteboard {
  public:
    std::vector<PasteboardItem> items() const override {
        std::lock_guard lock(mutex_);
        return items_;
    }
    void setItems(std::vector<PasteboardItem> items) override {
        std::lock_guard lock(mutex_);
        items_ = std::move(items);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<PasteboardItem> items_;
};

}  // namespace

std::shared_ptr<Pasteboard> makeInProcessPasteboard() {
    return std::make_shared<InProcessPasteboard>();
}

}  // namespace plovendale
