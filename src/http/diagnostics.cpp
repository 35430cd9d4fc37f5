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
    if (HTTPMethod_ != "GET") pieces.push_back(fillTemplate("-X %@", {HTTPMethod_}));
    if (auto credential = sessionAuthenticationCredentialsForURL(url_)) {
        pieces.push_back(fillTemplate("-u \"%@:%@\"", {credential->user, credential->password}));
    }
    if (POSTDictionary_) {
        std::vector<std::string> fields;
        for (const auto& [key, value] : *POSTDictionary_)
            fields.push_back(fillTemplate("%@=%@", {key, value.textualForm()}));
        pieces.push_back(fillTemplate("-d \"%@\"", {join(fields, "&")}));
    }
    if (rawPOSTData_ && isJSONContainer(*rawPOSTData_)) {
        pieces.push_back(fillTemplate("-d '%@'", {toString(*rawPOSTData_)}));
    }
    for (const auto& file : filesToUpload_) {
        pieces.push_back(
            fillTemplate("-F \"%@\"", {fillTemplate("%@=@%@", {file.parameterName, file.path})}));
    }
    if (request_) {
        for (const auto& [name, value] : request_->headerFields.entries()) {
            pieces.push_back(fillTemplate("-H \"%@: %@\"", {name, value}));
        }
    }
    const std::string& target = request_ && !request_->url.empty() ? request_->url : url_;
    pieces.push_back(fillTemplate("\"%@\"", {target}));
    return join(pieces, " \\\n");
}

std::string STHTTPRequest::debugDescription() const {
    const bool showsPOST = POSTDictionary_ || !filesToUpload_.empty() || !dataToUpload_.empty();
    const std::string& target = request_ && !request_->url.empty() ? request_->url : url_;
    std::string text = fillTemplate("%@ %@\n", {showsPOST ? "POST" : "GET", target});
    if (request_ && !request_->headerFields.empty()) {
        text += "HEADERS\n";
        for (const auto& [name, value] : request_->headerFields.entries()) {
            text += fillTemplate("\t %@ = %@\n", {name, value});
        }
    }
    if (POSTDictionary_ && !POSTDictionary_->empty()) {
        text += "POST DATA\n";
        for (const auto& [key, value] : dictionariesSortedByKey(POSTDictionary_)) {
            text += fillTemplate("\t %@ = %@\n", {key, value.textualForm()});
        }
    }
    for (const auto& file : filesToUpload_) {
        text += "UPLOAD FILE\n";
        text += fillTemplate("\t %@ = %@\n", {file.parameterName, file.path});
    }
    for (const auto& upload : dataToUpload_) {
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
