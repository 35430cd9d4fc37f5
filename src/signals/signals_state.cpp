#include "signals/signals_state.h"

namespace plovendale::internal {

SignalsState& signalsState() {
    static SignalsState instance;
    return instance;
}

#ifdef PLOVENDALE_TEST_SEAMS
void resetSignalsStateForTests() {
    auto& capture = signalsState().unstoredCapture;
    std::lock_guard lock(capture.mutex);
    capture.trace.clear();
}
#endif

}  // namespace plovendale::internal
