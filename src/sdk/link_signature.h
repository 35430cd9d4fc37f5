#pragma once

#include <string>

namespace plovendale::internal {

/// What the signature test says about a link.
enum class LinkSignature {
    NotChecked,  ///< no verification key is set
    Valid,
    Invalid,  ///< missing, malformed, or not made by the key's owner (or the key was unusable)
};

/// What a link's signature covers: the application key it was made for, its "d" value and its
/// expiry "e" ("" when it has none), each as a netstring ("<decimal length>:<bytes>,"), so that
/// no field's bytes can be read as part of another.
std::string linkSignedMessage(const std::string& appKey, const std::string& payload,
                              const std::string& expiry);

/// Checks `signature` (base64url, with or without padding) over `linkSignedMessage` of the rest.
LinkSignature checkLinkSignature(const std::string& appKey, const std::string& payload,
                                 const std::string& expiry, const std::string& signature);

}  // namespace plovendale::internal
