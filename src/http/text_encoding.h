#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "plovendale/http/string_encoding.h"
#include "plovendale/platform/bytes.h"

namespace plovendale::http {

/// The IANA character-set name of a supported encoding ("utf-8", "iso-8859-1", ...), or nothing.
std::optional<std::string> IANACharSetNameOfEncoding(NSStringEncoding encoding);

/// The encoding that an IANA character-set name (or one of its registered aliases, in any letter
/// case) stands for, or 0 when it names none that is supported.
NSStringEncoding encodingOfIANACharSetName(std::string_view name);

/// The bytes as UTF-8 text, decoded strictly: nothing when a byte sequence is not valid in the
/// encoding or the encoding is not supported.
std::optional<std::string> decodeText(const Bytes& bytes, NSStringEncoding encoding);

/// The UTF-8 text in the encoding; a character the encoding cannot represent becomes "?".
/// Nothing when the encoding is not supported.
std::optional<Bytes> encodeTextLossy(std::string_view text, NSStringEncoding encoding);

}  // namespace plovendale::http
