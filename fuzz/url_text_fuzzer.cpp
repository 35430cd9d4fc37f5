// URL text through the request object: made from the text, with query parameters and credentials
// added, prepared into the wire request and described for diagnostics.

#include "fuzz_support.h"
#include "plovendale/http/st_http_request.h"
#include "transport/curl_handles.h"
#include "util/url_components.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint8_t flags = input.byte();
    const std::string text(input.field('\n'));
    const std::string key(input.field('\n'));
    const std::string value(input.field('\n'));
    const std::string user(input.field('\n'));
    const std::string password(input.rest());

    std::optional<STHTTPDictionary> parameters;
    if (flags & 1) parameters = STHTTPDictionary{{key, value}, {"n", 7}};
    STHTTPRequest::appendURL(text, parameters, flags & 2);
    STHTTPRequest::urlByAddingCredentials(URLCredential{user, password}, text);

    const auto request = STHTTPRequest::requestWithURLString(text);
    if (!request) return 0;
    // A URL a request is made for is one the transport takes when the transfer starts.
    ParsedURL parts;
    FUZZ_CHECK(curl::looksLikeAbsoluteURL(text) &&
               curl::parseHTTPURL(text, parts) != curl::URLCheck::Bad);
    request->setGETDictionary(parameters);
    request->setEncodeGETDictionary(flags & 2);
    if (flags & 4) {
        request->setPOSTDictionary(STHTTPDictionary{{value, key}});
        request->setEncodePOSTDictionary(flags & 8);
    }
    if (flags & 16) {
        request->setUsername(user, password);
        request->setAddCredentialsToURL(flags & 32);
    }
    if (flags & 64) request->setHeaderWithName(key, value);
    request->prepareURLRequest();
    request->curlDescription();
    request->debugDescription();
    // The credential table is process-wide: keep it from growing input after input.
    STHTTPRequest::deleteAllCredentials();
    return 0;
}
