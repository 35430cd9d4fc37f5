#include "http/st_http_request_impl.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "util/format.h"
#include "util/json_serialization.h"

namespace plovendale {
namespace {

constexpr const char* kShowDebugDescriptionKey = "STHTTPRequestShowDebugDescription";
constexpr const char* kShowCurlDescriptionKey = "STHTTPRequestShowCurlDescription";
constexpr const char* kLogFrame = "\n----------\n";

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) text += separator;
        text += pieces[i];
    }
    return text;
}

bool isJSONContainer(const Bytes& data) {
    return JSONSerialization::JSONObjectWithData(data, kJSONReadingMutableContainers).has_value();
}

}  // namespace

std::string STHTTPRequest::curlDescription() const {
    std::vector<std::string> pieces{"\U0001F300 curl -i"};
    if (impl_->HTTPMethod != "GET") pieces.push_back(fillTemplate("-X %@", {impl_->HTTPMethod}));
    if (auto credential = sessionAuthenticationCredentialsForURL(impl_->url)) {
        pieces.push_back(fillTemplate("-u \"%@:%@\"", {credential->user, credential->password}));
    }
    if (impl_->POSTDictionary) {
        std::vector<std::string> fields;
        for (const auto& [key, value] : *impl_->POSTDictionary)
            fields.push_back(fillTemplate("%@=%@", {key, value.textualForm()}));
        pieces.push_back(fillTemplate("-d \"%@\"", {join(fields, "&")}));
    }
    if (impl_->rawPOSTData && isJSONContainer(*impl_->rawPOSTData)) {
        pieces.push_back(fillTemplate("-d '%@'", {toString(*impl_->rawPOSTData)}));
    }
    for (const auto& file : impl_->filesToUpload) {
        pieces.push_back(
            fillTemplate("-F \"%@\"", {fillTemplate("%@=@%@", {file.parameterName, file.path})}));
    }
    if (impl_->request) {
        for (const auto& [name, value] : impl_->request->headerFields.entries()) {
            pieces.push_back(fillTemplate("-H \"%@: %@\"", {name, value}));
        }
    }
    const std::string& target =
        impl_->request && !impl_->request->url.empty() ? impl_->request->url : impl_->url;
    pieces.push_back(fillTemplate("\"%@\"", {target}));
    return join(pieces, " \\\n");
}

std::string STHTTPRequest::debugDescription() const {
    const bool showsPOST =
        impl_->POSTDictionary || !impl_->filesToUpload.empty() || !impl_->dataToUpload.empty();
    const std::string& target =
        impl_->request && !impl_->request->url.empty() ? impl_->request->url : impl_->url;
    std::string text = fillTemplate("%@ %@\n", {showsPOST ? "POST" : "GET", target});
    if (impl_->request && !impl_->request->headerFields.empty()) {
        text += "HEADERS\n";
        for (const auto& [name, value] : impl_->request->headerFields.entries()) {
            text += fillTemplate("\t %@ = %@\n", {name, value});
        }
    }
    if (impl_->POSTDictionary && !impl_->POSTDictionary->empty()) {
        text += "POST DATA\n";
        for (const auto& [key, value] : dictionariesSortedByKey(impl_->POSTDictionary)) {
            text += fillTemplate("\t %@ = %@\n", {key, value.textualForm()});
        }
    }
    for (const auto& file : impl_->filesToUpload) {
        text += "UPLOAD FILE\n";
        text += fillTemplate("\t %@ = %@\n", {file.parameterName, file.path});
    }
    for (const auto& upload : impl_->dataToUpload) {
        text += "UPLOAD DATA\n";
        const auto length = static_cast<std::uint32_t>(upload.data.size());
        text +=
            fillTemplate("\t %@ = [%@ bytes]\n", {upload.parameterName, std::to_string(length)});
    }
    return text;
}

void STHTTPRequest::logDiagnostics() const {
    // Asked at every start: the keys are made once.
    static const std::string debugKey(kShowDebugDescriptionKey);
    static const std::string curlKey(kShowCurlDescriptionKey);
    auto store = Platform::keyValueStore();
    const bool showDebug = store && store->boolForKey(debugKey);
    const bool showCurl = store && store->boolForKey(curlKey);
    if (!showDebug && !showCurl) return;
    std::string block = kLogFrame;
    if (showDebug) block += debugDescription();
    if (showDebug && showCurl) block += "\n";
    if (showCurl) block += curlDescription();
    block += kLogFrame;
    Log::write(block);
}

}  // namespace plovendale
