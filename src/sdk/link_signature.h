#pragma once

#include <string>

namespace plovendale::internal {

/// What the signature test says about a link.
enum class LinkSignature {
    NotChecked,  ///< no verification key is set
    Valid,
    Invalid,  ///< missing, malformed, or not made by the key's owner (or the key was unusable)
};

/// Checks `signature` (base64url, with or without padding) over the bytes of `payload`.
LinkSignature checkLinkSignature(const std::string& payload, const std::string& signature);
void resetLinkVerificationKey();

}  // namespace plovendale::internal
