// The service's request framing: request line, header fields, lengths, expectations, and requests
// pipelined one after another on a connection.

#include "fuzz_support.h"
#include "request_framing.h"

using plovendale::attribution_service::frameRequest;
using plovendale::attribution_service::RequestFrame;

namespace {

constexpr std::size_t kMaxHeader = 4096;
constexpr std::size_t kMaxBody = 1024;

bool sameFrame(const RequestFrame& a, const RequestFrame& b) {
    return a.state == b.state && a.status == b.status && a.headerBytes == b.headerBytes &&
           a.bodyBytes == b.bodyBytes && a.expectContinueAt == b.expectContinueAt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    // Requests one after another, as the watcher takes them from a connection's input.
    for (int requests = 0; requests < 64 && !rest.empty(); ++requests) {
        const RequestFrame frame = frameRequest(rest, kMaxHeader, kMaxBody);
        if (frame.state == RequestFrame::State::Refused) {
            FUZZ_CHECK(frame.status >= 400 && frame.status < 600 && *frame.reason != '\0');
            break;
        }
        if (frame.state == RequestFrame::State::Incomplete) {
            FUZZ_CHECK(rest.size() <= kMaxHeader);
            break;
        }
        // A whole header: within bounds, ending in an empty line, and framed the same whatever
        // follows it; none of its beginnings is a whole header.
        FUZZ_CHECK(frame.headerBytes <= kMaxHeader && frame.headerBytes <= rest.size());
        FUZZ_CHECK(frame.bodyBytes <= kMaxBody);
        FUZZ_CHECK(rest.substr(0, frame.headerBytes).ends_with("\r\n\r\n"));
        FUZZ_CHECK(rest.substr(0, frame.headerBytes).find("\r\n\r\n") == frame.headerBytes - 4);
        FUZZ_CHECK(sameFrame(
            frame, frameRequest(rest.substr(0, frame.headerBytes), kMaxHeader, kMaxBody)));
        FUZZ_CHECK(
            frameRequest(rest.substr(0, frame.headerBytes - 1), kMaxHeader, kMaxBody).state !=
            RequestFrame::State::Header);
        if (frame.expectContinueAt != std::string_view::npos) {
            FUZZ_CHECK(frame.expectContinueAt < frame.headerBytes);
            FUZZ_CHECK(rest[frame.expectContinueAt] == 'E' || rest[frame.expectContinueAt] == 'e');
        }
        const std::size_t whole = frame.headerBytes + frame.bodyBytes;
        if (whole > rest.size()) break;
        rest.remove_prefix(whole);
    }
    return 0;
}
