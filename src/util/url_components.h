#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plovendale {

/// An absolute URL split into its parts: the one URL parser of the library. It reads the parts as
/// libcurl would (any scheme), and takes what libcurl takes but where that is unsound or too narrow
/// for links: a host name may hold RFC 3986 sub-delimiters, and a control character is refused
/// wherever it stands, escaped in a host too. Whether a transfer can use a URL is
/// parseRequestURL's to say. Plain data; any thread.
struct ParsedURL {
    std::string scheme;  ///< lower-case
    std::optional<std::string> user;
    std::optional<std::string> password;
    /// Escapes decoded; an IPv6 literal in brackets (shortened when it can be), a numeric IPv4
    /// address as four decimal numbers. Empty only in a "file:" URL, which has none.
    std::string host;
    std::string zoneID;  ///< of a link-local IPv6 literal, or empty
    std::string port;    ///< as a decimal number without leading zeros; empty when not given
    std::string path;    ///< as written, escapes and dot segments kept; may be empty
    std::optional<std::string> query;     ///< the text after "?", as written
    std::optional<std::string> fragment;  ///< the text after "#"; nothing when "#" ends the URL

    /// Nothing when the text is not an absolute URL (or holds a NUL byte, a control character or a
    /// space).
    static std::optional<ParsedURL> parse(std::string_view text);
    /// The one rule for the URL of an HTTP request, asked both when a request object is made and
    /// when its transfer starts, so that a request that can be made is one that can be sent: what
    /// parse() accepts, less text that does not start with a letter, holds a byte outside visible
    /// ASCII or a "%" that begins no escape, and less a host name holding a sub-delimiter, which
    /// libcurl refuses when the transfer starts.
    static std::optional<ParsedURL> parseRequestURL(std::string_view text);

    /// The explicit port, else 80 or 443 for HTTP(S); empty for other schemes.
    std::string portOrDefault() const;
    /// The path with its dot segments resolved; "/" for an empty one.
    std::string resolvedPath() const;
    /// The URL to hand to a transfer: without fragment, dot segments of the path resolved, "/" for
    /// an empty path.
    std::string normalisedText() const;
};

/// The parts of a URL that link handling reads, where a URL without authority ("app:c") keeps its
/// path as written.
struct URLComponents {
    /// The path with its escapes decoded; nothing when they do not decode to UTF-8 text.
    std::optional<std::string> path;
    /// The text after "?", as written; nothing when the URL has no query.
    std::optional<std::string> query;

    /// The query is read as items split on "&" and then at the first "=", name and value
    /// percent-decoded ("+" stays "+"; a name that does not decode is taken as written). This is
    /// the decoded value of the last item named `name` whose value is present, decodes to UTF-8
    /// text and is neither "" nor " "; "" when there is none. One pass from the end that decodes
    /// only the values of items so named: a query of many items costs no memory per item.
    std::string lastQueryValue(std::string_view name) const;

    /// Nothing when the text is not an absolute URL (or holds a NUL byte).
    static std::optional<URLComponents> parse(const std::string& url);
};

}  // namespace plovendale
