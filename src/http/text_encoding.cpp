#include "http/text_encoding.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>

#include "util/text.h"

namespace plovendale::http {
namespace {

struct EncodingName {
    NSStringEncoding encoding;
    const char* iana;
};

// Encodings without a named constant are numbered as the platform numbers them: its own encoding
// number with the high bit set.
constexpr NSStringEncoding platformEncoding(std::uint32_t number) {
    return 0x80000000u | number;
}

constexpr std::array kEncodings{
    EncodingName{NSUTF8StringEncoding, "utf-8"},
    EncodingName{NSASCIIStringEncoding, "us-ascii"},
    EncodingName{NSISOLatin1StringEncoding, "iso-8859-1"},
    EncodingName{NSISOLatin2StringEncoding, "iso-8859-2"},
    EncodingName{NSUnicodeStringEncoding, "utf-16"},
    EncodingName{NSUTF16BigEndianStringEncoding, "utf-16be"},
    EncodingName{NSUTF16LittleEndianStringEncoding, "utf-16le"},
    EncodingName{NSUTF32StringEncoding, "utf-32"},
    EncodingName{NSUTF32BigEndianStringEncoding, "utf-32be"},
    EncodingName{NSUTF32LittleEndianStringEncoding, "utf-32le"},
    EncodingName{NSWindowsCP1250StringEncoding, "windows-1250"},
    EncodingName{NSWindowsCP1251StringEncoding, "windows-1251"},
    EncodingName{NSWindowsCP1252StringEncoding, "windows-1252"},
    EncodingName{NSWindowsCP1253StringEncoding, "windows-1253"},
    EncodingName{NSWindowsCP1254StringEncoding, "windows-1254"},
    EncodingName{NSJapaneseEUCStringEncoding, "euc-jp"},
    EncodingName{NSShiftJISStringEncoding, "shift_jis"},
    EncodingName{NSISO2022JPStringEncoding, "iso-2022-jp"},
    EncodingName{NSMacOSRomanStringEncoding, "macintosh"},
    EncodingName{platformEncoding(0x0203), "iso-8859-3"},
    EncodingName{platformEncoding(0x0204), "iso-8859-4"},
    EncodingName{platformEncoding(0x0205), "iso-8859-5"},
    EncodingName{platformEncoding(0x0206), "iso-8859-6"},
    EncodingName{platformEncoding(0x0207), "iso-8859-7"},
    EncodingName{platformEncoding(0x0208), "iso-8859-8"},
    EncodingName{platformEncoding(0x0209), "iso-8859-9"},
    EncodingName{platformEncoding(0x020F), "iso-8859-15"},
    EncodingName{platformEncoding(0x0505), "windows-1255"},
    EncodingName{platformEncoding(0x0506), "windows-1256"},
    EncodingName{platformEncoding(0x0507), "windows-1257"},
    EncodingName{platformEncoding(0x0508), "windows-1258"},
    EncodingName{platformEncoding(0x0A02), "koi8-r"},
    EncodingName{platformEncoding(0x0A03), "big5"},
    EncodingName{platformEncoding(0x0A08), "koi8-u"},
    EncodingName{platformEncoding(0x0930), "gb2312"},
    EncodingName{platformEncoding(0x0631), "gbk"},
    EncodingName{platformEncoding(0x0632), "gb18030"},
    EncodingName{platformEncoding(0x0940), "euc-kr"},
};

const EncodingName* findEncoding(NSStringEncoding encoding) {
    auto it =
        std::find_if(kEncodings.begin(), kEncodings.end(),
                     [encoding](const EncodingName& entry) { return entry.encoding == encoding; });
    return it == kEncodings.end() ? nullptr : &*it;
}

// ICU's own name for a charset name or alias, or nothing when ICU knows no such name.
std::optional<std::string> converterName(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(name.c_str(), 0, &status);
    if (U_FAILURE(status) || !canonical) return std::nullopt;
    return std::string(canonical);
}

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(NSStringEncoding encoding) {
    const EncodingName* entry = findEncoding(encoding);
    if (!entry) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(entry->iana, &status));
    if (U_FAILURE(status)) return nullptr;
    return converter;
}

std::optional<std::string> utf16ToUTF8(const std::u16string& units) {
    if (units.size() > static_cast<std::size_t>(INT32_MAX / 3)) return std::nullopt;
    std::string text(units.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(text.data(), static_cast<int32_t>(text.size()), &length, units.data(),
                static_cast<int32_t>(units.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    text.resize(static_cast<std::size_t>(length));
    return text;
}

}  // namespace

std::optional<std::string> IANACharSetNameOfEncoding(NSStringEncoding encoding) {
    const EncodingName* entry = findEncoding(encoding);
    if (!entry) return std::nullopt;
    return std::string(entry->iana);
}

NSStringEncoding encodingOfIANACharSetName(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return 0;
    const auto wanted = converterName(std::string(name));
    if (!wanted) return 0;
    for (const auto& entry : kEncodings) {
        if (converterName(entry.iana) == wanted) return entry.encoding;
    }
    return 0;
}

std::optional<std::string> decodeText(const Bytes& bytes, NSStringEncoding encoding) {
    std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (encoding == NSUTF8StringEncoding) {
        if (!isValidUTF8(view)) return std::nullopt;
        return std::string(view);
    }
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX / 2)) return std::nullopt;
    Converter converter = openConverter(encoding);
    if (!converter) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    // Stop at the first invalid or unmapped sequence instead of inserting substitutes.
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    if (U_FAILURE(status)) return std::nullopt;
    // Every supported encoding yields at most two UTF-16 units per input byte.
    std::u16string units(bytes.size() * 2 + 2, u'\0');
    const int32_t length =
        ucnv_toUChars(converter.get(), units.data(), static_cast<int32_t>(units.size()),
                      view.data(), static_cast<int32_t>(view.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    units.resize(static_cast<std::size_t>(length));
    return utf16ToUTF8(units);
}

std::optional<Bytes> encodeTextLossy(std::string_view text, NSStringEncoding encoding) {
    if (encoding == NSUTF8StringEncoding) {
        const auto* first =
            reinterpret_cast<const std::uint8_t*>(text.data());  // a copy, not a loop
        return Bytes(first, first + text.size());
    }
    if (text.size() > static_cast<std::size_t>(INT32_MAX / 4)) return std::nullopt;
    Converter converter = openConverter(encoding);
    if (!converter) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    std::u16string units(text.size() + 1, u'\0');
    int32_t unitCount = 0;
    u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &unitCount, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return std::nullopt;
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr,
                          nullptr, &status);
    ucnv_setSubstChars(converter.get(), "?", 1, &status);
    if (U_FAILURE(status)) return std::nullopt;
    const int32_t capacity =
        ucnv_fromUChars(converter.get(), nullptr, 0, units.data(), unitCount, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
    status = U_ZERO_ERROR;
    std::string out(static_cast<std::size_t>(capacity) + 1, '\0');
    const int32_t length =
        ucnv_fromUChars(converter.get(), out.data(), static_cast<int32_t>(out.size()), units.data(),
                        unitCount, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return Bytes(out.begin(), out.begin() + length);
}

}  // namespace plovendale::http
