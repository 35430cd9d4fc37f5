#include "plovendale/sdk/core_helper.h"
#include "plovendale/sdk/plovendale.h"
#include "plovendale/util/string_utils.h"
#include "util/format.h"

namespace plovendale {

std::string Plovendale::getDomainUrl(const std::string& appKey) {
    const std::string domain = CoreHelper::getTargetDomain();
    if (!StringUtils::isNullOrEmpty(domain)) return domain;
    return fillTemplate(BASE_DOMAIN_URL, {fillTemplate("clb-%@", {appKey})});
}

}  // namespace plovendale
