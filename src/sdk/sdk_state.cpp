#include "sdk/sdk_state.h"

namespace plovendale::internal {

SdkState& sdkState() {
    static SdkState instance;
    return instance;
}

}  // namespace plovendale::internal
