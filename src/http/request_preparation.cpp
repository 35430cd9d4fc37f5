// The header fields of a request on the wire, and who decides each.
//
// Decided here, for every request the request object sends:
//   - Cookie: the cookies of the request's storage policy, first (the whole set of fields starts
//     as this one field).
//   - Content-Type: multipart/form-data with the boundary for uploads; for form fields
//     application/x-www-form-urlencoded (with the charset when the fields were escaped), stored in
//     requestHeaders under exactly that name so that it replaces a caller's entry of that spelling.
//   - Content-Length: the length of the body built here, in decimal.
//   - The caller's fields, added (a repeated name joins its values with a comma), then
//     Authorization: Basic from the credential stored for the host.
// Refused on the wire, whoever set them, by the URL-loading layer that sends the request:
//   - a field that is not a valid header line (a name that is not a token, a value with CR, LF or
//     NUL): it could end the head early and smuggle a second request;
//   - Content-Length, Transfer-Encoding and Expect from the caller: framing belongs to the sender,
//     which writes the true length of the body it sends.
// Added there, because only the sender knows them: Host (from the URL), the cookies of the shared
// store on every hop of a redirection (when the request lets the layer handle cookies), a
// Content-Type of application/x-www-form-urlencoded for a body without one (as the platform
// does), and Authorization and Cookie removed on a redirection to another origin.

#include "http/request_preparation.h"

#include <cstdint>

#include "host/file_reading.h"
#include "http/process_state.h"
#include "http/st_http_request_impl.h"
#include "http/text_encoding.h"
#include "plovendale/http/st_http_request.h"
#include "util/format.h"
#include "util/text.h"
#include "util/url_components.h"

namespace plovendale {
namespace {

constexpr const char* kMultipartBoundary = "----------kStHtTpReQuEsTbOuNdArY";
constexpr const char* kDefaultPartMimeType = "application/octet-stream";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

void append(Bytes& bytes, std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

// The whole content of a regular file, or nothing when it cannot be read. Uploads have no size
// cap of their own; what is not a regular file (a FIFO, a device) is never read.
std::optional<Bytes> readFile(const std::string& path) {
    return readRegularFile(path, SIZE_MAX).bytes;
}

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos || trimmed.size() == 1) return trimmed;
    return trimmed.substr(slash + 1);
}

}  // namespace

namespace http {

std::string contentLengthText(std::uint64_t length) {
    return std::to_string(length);
}

}  // namespace http

std::string st_stringByAddingRFC3986PercentEscapesUsingEncoding(const std::string& text,
                                                                NSStringEncoding) {
    return percentEscape(text);
}

std::string st_stringByAppendingGETParameters(const std::string& text,
                                              const std::optional<STHTTPDictionary>& parameters,
                                              bool doApplyURLEncoding) {
    // The query ends where the fragment begins, so the parameters go before a "#": after it they
    // would never reach the server.
    const auto hash = text.find('#');
    std::string result = text.substr(0, hash);
    const std::string fragment = hash == std::string::npos ? std::string() : text.substr(hash);
    for (const auto& [key, value] : STHTTPRequest::dictionariesSortedByKey(parameters)) {
        result += result.find('?') != std::string::npos ? "&" : "?";
        std::string name = key;
        std::string valueText = value.textualForm();
        if (doApplyURLEncoding) {
            name = percentEscape(name);
            valueText = percentEscape(valueText);
        }
        result += fillTemplate("%@=%@", {name, valueText});
    }
    return result + fragment;
}

std::vector<std::pair<std::string, STHTTPValue>> STHTTPRequest::dictionariesSortedByKey(
    const std::optional<STHTTPDictionary>& dictionary) {
    // The map already iterates in ascending byte order of the keys.
    if (!dictionary) return {};
    return {dictionary->begin(), dictionary->end()};
}

std::optional<std::string> STHTTPRequest::appendURL(
    const std::string& url, const std::optional<STHTTPDictionary>& GETParameters,
    bool doApplyURLEncoding) {
    std::string text = st_stringByAppendingGETParameters(url, GETParameters, doApplyURLEncoding);
    if (!ParsedURL::parseRequestURL(text)) return std::nullopt;
    return text;
}

std::optional<std::string> STHTTPRequest::urlByAddingCredentials(
    const std::optional<URLCredential>& credential, const std::string& url) {
    if (!credential) return std::nullopt;
    if (!ParsedURL::parseRequestURL(url)) return std::nullopt;
    const std::size_t colon = url.find(':');
    if (url.compare(colon + 1, 2, "//") != 0) return std::nullopt;
    // Escaped, so that a "@", "/" or "#" in a password cannot move the credentials to another host.
    const std::string userInfo = fillTemplate(
        "%@:%@@", {percentEscape(credential->user), percentEscape(credential->password)});
    std::string specifier = url.substr(colon + 1);
    specifier.insert(2, userInfo);
    std::string result = fillTemplate("%@:%@", {url.substr(0, colon), specifier});
    if (!ParsedURL::parseRequestURL(result)) return std::nullopt;
    return result;
}

Bytes STHTTPRequest::multipartContentWithBoundary(const std::string& boundary, const Bytes& data,
                                                  const std::optional<std::string>& fileName,
                                                  const std::string& parameterName,
                                                  const std::optional<std::string>& mimeType) {
    Bytes part;
    append(part, fillTemplate("\r\n--%@\r\n", {boundary}));
    const std::string fileNameClause =
        fileName ? fillTemplate("filename=\"%@\"", {*fileName}) : std::string();
    append(part, fillTemplate("Content-Disposition: form-data; name=\"%@\"; %@\r\n",
                              {parameterName, fileNameClause}));
    append(part,
           fillTemplate("Content-Type: %@\r\n\r\n", {mimeType ? *mimeType : kDefaultPartMimeType}));
    part.insert(part.end(), data.begin(), data.end());
    return part;
}

namespace {

// The URL with the query parameters. The request's own URL was checked when it was made; only a
// changed one is checked again, and one that fails the check goes as "".
std::string wireURL(std::string baseURL, bool changed,
                    const std::optional<STHTTPDictionary>& GETParameters, bool encode) {
    if (!changed) return baseURL;
    return STHTTPRequest::appendURL(baseURL, GETParameters, encode).value_or(std::string());
}

void setCachingAndTimeout(URLRequest& wire, bool ignoreCache, double timeoutSeconds) {
    if (ignoreCache) wire.cachePolicy = URLRequestCachePolicy::ReloadIgnoringLocalCacheData;
    if (timeoutSeconds != 0) wire.timeoutInterval = timeoutSeconds;
}

// The first fields of every request: the cookie field replaces whatever was there.
HTTPHeaderFields cookieFields(const std::vector<HTTPCookie>& cookies) {
    HTTPHeaderFields fields;
    if (cookies.empty()) return fields;  // most requests have none to send
    for (const auto& [name, value] : HTTPCookie::requestHeaderFieldsWithCookies(cookies)) {
        fields.set(name, value);
    }
    return fields;
}

// Form fields are escaped on the request object itself, so that its dictionary shows what was sent.
STHTTPDictionary escapedFields(const STHTTPDictionary& fields) {
    STHTTPDictionary escaped;
    for (const auto& [key, value] : fields) {
        escaped[percentEscape(key)] = percentEscape(value.textualForm());
    }
    return escaped;
}

using SortedFields = std::vector<std::pair<std::string, STHTTPValue>>;

// Files (those that can be read), then data uploads, then the form fields in key order.
Bytes multipartBody(const std::vector<STHTTPRequestFileUpload>& files,
                    const std::vector<STHTTPRequestDataUpload>& uploads,
                    const SortedFields& sortedFields) {
    Bytes body;
    for (const auto& file : files) {
        auto content = readFile(file.path);
        if (!content) continue;
        auto part = STHTTPRequest::multipartContentWithBoundary(kMultipartBoundary, *content,
                                                                lastPathComponent(file.path),
                                                                file.parameterName, file.mimeType);
        body.insert(body.end(), part.begin(), part.end());
    }
    for (const auto& upload : uploads) {
        auto part = STHTTPRequest::multipartContentWithBoundary(
            kMultipartBoundary, upload.data, upload.fileName, upload.parameterName,
            upload.mimeType);
        body.insert(body.end(), part.begin(), part.end());
    }
    for (const auto& [key, value] : sortedFields) {
        append(body, fillTemplate("\r\n--%@\r\n", {kMultipartBoundary}));
        append(body, fillTemplate("Content-Disposition: form-data; name=\"%@\"\r\n\r\n", {key}));
        append(body, value.textualForm());
    }
    append(body, fillTemplate("\r\n--%@--\r\n", {kMultipartBoundary}));
    return body;
}

std::string formContentType(NSStringEncoding encoding, bool escaped) {
    std::string contentType = kFormContentType;
    const auto charset = http::IANACharSetNameOfEncoding(encoding);
    if (escaped && charset) contentType += fillTemplate("; charset=%@", {*charset});
    return contentType;
}

Bytes formBody(const SortedFields& sortedFields, NSStringEncoding encoding) {
    std::string joined;
    for (std::size_t i = 0; i < sortedFields.size(); ++i) {
        if (i > 0) joined += '&';
        joined +=
            fillTemplate("%@=%@", {sortedFields[i].first, sortedFields[i].second.textualForm()});
    }
    // An encoding the client does not know must not lose the fields: they go as UTF-8.
    return http::encodeTextLossy(joined, encoding).value_or(toBytes(joined));
}

void setBody(URLRequest& wire, Bytes body) {
    wire.headerFields.set("Content-Length", http::contentLengthText(body.size()));
    wire.httpBody = std::move(body);
}

// Basic authorisation from the host's credential, after the caller's fields.
void addBasicAuthorization(HTTPHeaderFields& fields,
                           const std::optional<URLCredential>& credential) {
    if (!credential) return;
    const std::string userAndPassword =
        fillTemplate("%@:%@", {credential->user, credential->password});
    fields.add("Authorization", fillTemplate("Basic %@", {base64Encode(userAndPassword)}));
}

}  // namespace

std::optional<URLRequest> STHTTPRequest::prepareURLRequest() {
    std::string baseURL = impl_->url;
    if (impl_->addCredentialsToURL) {
        auto withCredentials = urlByAddingCredentials(credentialForCurrentHost(), impl_->url);
        if (!withCredentials) return std::nullopt;
        baseURL = *withCredentials;
    }
    URLRequest wire;
    wire.url = wireURL(std::move(baseURL), impl_->GETDictionary || impl_->addCredentialsToURL,
                       impl_->GETDictionary, impl_->encodeGETDictionary);
    const bool hasBody = impl_->POSTDictionary || impl_->rawPOSTData ||
                         !impl_->filesToUpload.empty() || !impl_->dataToUpload.empty();
    if (impl_->HTTPMethod == "GET" && hasBody) impl_->HTTPMethod = "POST";
    wire.httpMethod = impl_->HTTPMethod;
    setCachingAndTimeout(wire, globalIgnoreCache() || impl_->ignoreCache, impl_->timeoutSeconds);
    wire.headerFields = cookieFields(requestCookies());

    if (impl_->encodePOSTDictionary && impl_->POSTDictionary)
        impl_->POSTDictionary = escapedFields(*impl_->POSTDictionary);
    const auto sortedFields = dictionariesSortedByKey(impl_->POSTDictionary);
    if (!impl_->filesToUpload.empty() || !impl_->dataToUpload.empty()) {
        wire.headerFields.add(
            "Content-Type", fillTemplate("multipart/form-data; boundary=%@", {kMultipartBoundary}));
        setBody(wire, multipartBody(impl_->filesToUpload, impl_->dataToUpload, sortedFields));
    } else if (impl_->rawPOSTData) {
        setBody(wire, *impl_->rawPOSTData);
    } else if (impl_->POSTDictionary) {
        setHeaderWithName("Content-Type",
                          formContentType(impl_->POSTDataEncoding, impl_->encodePOSTDictionary));
        setBody(wire, formBody(sortedFields, impl_->POSTDataEncoding));
    }

    // The caller's fields are added, so a repeated field is joined with a comma.
    for (const auto& [name, value] : impl_->requestHeaders) wire.headerFields.add(name, value);
    addBasicAuthorization(wire.headerFields, credentialForCurrentHost());
    // Only the shared store is handled by the URL-loading layer itself.
    wire.httpShouldHandleCookies = cookieStoragePolicy() == CookieStorageShared;
    return wire;
}

}  // namespace plovendale
