#include "signals/signals_state.h"

namespace plovendale::internal {

SignalsState& signalsState() {
    static SignalsState instance;
    return instance;
}

}  // namespace plovendale::internal
