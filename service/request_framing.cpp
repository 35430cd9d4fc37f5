#include "request_framing.h"

#include <algorithm>
#include <cctype>

namespace plovendale::attribution_service {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// More digits than this cannot be a length within any body bound, and cannot overflow.
constexpr std::size_t kMaxLengthDigits = 18;

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

/// A line feed not preceded by a carriage return, within text.
bool hasBareLineFeed(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != std::string_view::npos;
         at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') return true;
    }
    return false;
}

RequestFrame refused(int status, const char* reason) {
    RequestFrame frame;
    frame.state = RequestFrame::State::Refused;
    frame.status = status;
    frame.reason = reason;
    return frame;
}

bool isRequestLine(std::string_view line, std::string_view& method) {
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return false;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    return isToken(method) && !target.empty() &&
           std::all_of(target.begin(), target.end(), [](char c) { return c > ' ' && c < 127; }) &&
           (version == "HTTP/1.1" || version == "HTTP/1.0");
}

bool isFieldValue(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\t' || (byte >= ' ' && byte != 127);
    });
}

}  // namespace

RequestFrame frameRequest(std::string_view input, std::size_t maxHeaderBytes,
                          std::size_t maxBodyBytes) {
    const std::size_t end = input.find(kHeaderEnd);
    const std::string_view head =
        end == std::string_view::npos ? input : input.substr(0, end + kLineEnd.size());
    if (hasBareLineFeed(end == std::string_view::npos ? input : input.substr(0, end + 4)))
        return refused(400, "lines must end with CR LF");
    if (end == std::string_view::npos) {
        if (input.size() > maxHeaderBytes) return refused(431, "request header too large");
        return {};
    }
    if (end + kHeaderEnd.size() > maxHeaderBytes) return refused(431, "request header too large");

    std::size_t lineEnd = head.find(kLineEnd);
    std::string_view method;
    if (!isRequestLine(head.substr(0, lineEnd), method)) return refused(400, "bad request line");

    RequestFrame frame;
    frame.state = RequestFrame::State::Header;
    frame.headerBytes = end + kHeaderEnd.size();
    bool haveLength = false;
    bool haveHost = false;
    bool chunked = false;
    while (lineEnd + kLineEnd.size() < head.size()) {
        const std::size_t begin = lineEnd + kLineEnd.size();
        lineEnd = head.find(kLineEnd, begin);
        const std::string_view line = head.substr(begin, lineEnd - begin);
        const std::size_t colon = line.find(':');
        // A name with space before its colon, or a line folded onto the previous one, is read
        // differently by different parsers.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return refused(400, "bad header field");
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (!isFieldValue(value)) return refused(400, "bad header field");
        if (equalsNoCase(name, "content-length")) {
            if (value.empty() || value.size() > kMaxLengthDigits ||
                !std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; }))
                return refused(400, "Content-Length must be plain digits");
            std::size_t length = 0;
            for (const char digit : value)
                length = length * 10 + static_cast<std::size_t>(digit - '0');
            if (haveLength && length != frame.bodyBytes)
                return refused(400, "more than one Content-Length");
            haveLength = true;
            frame.bodyBytes = length;
        } else if (equalsNoCase(name, "transfer-encoding")) {
            chunked = true;
        } else if (equalsNoCase(name, "host")) {
            if (haveHost) return refused(400, "more than one Host");
            haveHost = true;
        } else if (equalsNoCase(name, "expect")) {
            if (!equalsNoCase(value, "100-continue")) return refused(417, "expectation failed");
            frame.expectContinueAt = begin;
        }
    }
    if (chunked) return refused(411, "send the body with a Content-Length");
    const bool takesBody = method == "POST" || method == "PUT" || method == "PATCH";
    if (takesBody && !haveLength) return refused(411, "send the body with a Content-Length");
    // Whatever a GET carries would be read as the next request by a server that ignores it.
    if (!takesBody && frame.bodyBytes > 0) return refused(400, "this method takes no body");
    if (frame.bodyBytes > maxBodyBytes) return refused(413, "request body too large");
    if (!haveHost && head.substr(0, head.find(kLineEnd)).ends_with("HTTP/1.1"))
        return refused(400, "a Host header is required");
    return frame;
}

}  // namespace plovendale::attribution_service
