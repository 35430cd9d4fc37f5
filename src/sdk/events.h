#pragma once

#include <map>
#include <string>

#include "plovendale/sdk/plovendale.h"

namespace plovendale::internal {

/// Posts an event to the host's observer on the main queue; nothing when none is set. Any thread.
void emitEvent(std::string name, std::map<std::string, std::string> values = {});
void setEventObserver(Plovendale::EventObserver observer);

}  // namespace plovendale::internal
