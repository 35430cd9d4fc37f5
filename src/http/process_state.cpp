#include "http/process_state.h"

namespace plovendale::http {

ProcessState& processState() {
    static ProcessState state;
    return state;
}

}  // namespace plovendale::http
