#pragma once

#include <cstddef>
#include <string_view>

namespace plovendale::attribution_service {

/// What the start of a connection's unread input makes of the next request, decided from its
/// header alone. Strict on purpose: whatever two HTTP parsers could read differently (two
/// lengths, a length and a chunked body, a GET with a body, bare line feeds, folded fields) is
/// refused, so that what the watcher waits for is exactly what httplib then reads.
struct RequestFrame {
    enum class State {
        Incomplete,  ///< the header has not all arrived; nothing wrong so far
        Header,      ///< a whole, acceptable header: headerBytes and bodyBytes are set
        Refused,     ///< answer `status` with `reason` and close the connection
    };
    State state = State::Incomplete;
    int status = 0;
    const char* reason = "";
    std::size_t headerBytes = 0;  ///< through the empty line ending the header
    std::size_t bodyBytes = 0;    ///< the Content-Length, 0 without one
    /// Where the name of an "Expect: 100-continue" field starts, or npos: the client may wait for
    /// "100 Continue" before it sends the body.
    std::size_t expectContinueAt = std::string_view::npos;
};

/// Frames the request at the start of input. Pure: the same bytes always give the same frame, and
/// bytes after a whole header never change its frame.
RequestFrame frameRequest(std::string_view input, std::size_t maxHeaderBytes,
                          std::size_t maxBodyBytes);

}  // namespace plovendale::attribution_service
