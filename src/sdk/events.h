#pragma once

#include <map>
#include <string>

#include "plovendale/sdk/plovendale.h"

namespace plovendale::internal {

/// Posts an event to the host's observer on the main queue; nothing when none is set. Any thread.
void emitEvent(std::string name, std::map<std::string, std::string> values = {});
/// Whether an observer is set: the events of every query are built only for one. Any thread.
bool eventsObserved();
void setEventObserver(Plovendale::EventObserver observer);

}  // namespace plovendale::internal
