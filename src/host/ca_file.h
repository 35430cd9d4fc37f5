#pragma once

#include <string>

namespace plovendale::internal {

/// Takes the extra CA file a host names in its platform configuration; false when the file can't
/// be read or holds no PEM certificate. TLS trust lives in the transport, which hands this in
/// when it is loaded: the platform does not reach up for it.
using CAFileHandler = bool (*)(const std::string& path);

/// Installs the handler and hands it the file of the configuration in force, if any (one made
/// before the handler was there). Any thread.
void setCAFileHandler(CAFileHandler handler);

}  // namespace plovendale::internal
