#include "util/string_utils.h"

namespace plovendale {

bool StringUtils::isNullOrEmpty(const std::optional<std::string>& value) {
    return !value || isNullOrEmpty(*value);
}

void Logger::info(const std::string& /*message*/) {}

}  // namespace plovendale
