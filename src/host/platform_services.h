#pragma once

namespace plovendale::internal {

/// Closes the key-value store and drops the other services the platform made itself (those the
/// host supplied in its configuration stay); the configuration stays in force, and the next use
/// of a service makes it again from it. For shutdown: what is released is released outside the
/// platform's lock, since a service's destructor may call back into the library.
void releasePlatformServices();

}  // namespace plovendale::internal
