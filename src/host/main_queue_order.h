#pragma once

namespace plovendale::internal {

/// Whether the host's main-queue poster has run a task before one its thread posted earlier since
/// the poster was installed (said once in the log when first seen). Any thread.
bool mainQueueOrderBroken();

}  // namespace plovendale::internal
