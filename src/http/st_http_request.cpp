#include "plovendale/http/st_http_request.h"

#include <charconv>

#include "http/process_state.h"
#include "http/text_encoding.h"
#include "util/url_components.h"

namespace plovendale {

std::string STHTTPValue::textualForm() const {
    struct Visitor {
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(std::int64_t number) const { return std::to_string(number); }
        std::string operator()(std::uint64_t number) const { return std::to_string(number); }
        std::string operator()(double number) const {
            char buffer[64];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
            return std::string(buffer, result.ptr);
        }
    };
    return std::visit(Visitor{}, value_);
}

STHTTPRequestFileUpload STHTTPRequestFileUpload::fileUploadWithPath(std::string path,
                                                                    std::string parameterName,
                                                                    std::string mimeType) {
    return STHTTPRequestFileUpload{std::move(path), std::move(parameterName), std::move(mimeType)};
}

STHTTPRequestFileUpload STHTTPRequestFileUpload::fileUploadWithPath(std::string path,
                                                                    std::string parameterName) {
    return fileUploadWithPath(std::move(path), std::move(parameterName),
                              "application/octet-stream");
}

STHTTPRequestDataUpload STHTTPRequestDataUpload::dataUploadWithData(
    Bytes data, std::string parameterName, std::optional<std::string> mimeType,
    std::optional<std::string> fileName) {
    return STHTTPRequestDataUpload{std::move(data), std::move(parameterName), std::move(mimeType),
                                   std::move(fileName)};
}

std::shared_ptr<STHTTPRequest> STHTTPRequest::requestWithURL(
    const std::optional<std::string>& url) {
    if (!url || !ParsedURL::parseRequestURL(*url)) return nullptr;
    return std::make_shared<STHTTPRequest>(PrivateToken{}, *url);
}

std::shared_ptr<STHTTPRequest> STHTTPRequest::requestWithURLString(const std::string& text) {
    return requestWithURL(text);
}

STHTTPRequest::STHTTPRequest(PrivateToken, std::string url) {
    url_ = std::move(url);
    responseData_.clear();
    requestHeaders_.clear();
    POSTDataEncoding_ = NSUTF8StringEncoding;
    encodePOSTDictionary_ = true;
    encodeGETDictionary_ = true;
    addCredentialsToURL_ = false;
    timeoutSeconds_ = kSTHTTPRequestDefaultTimeout;
    maximumResponseBodySize_ = defaultMaximumResponseBodySize();
    filesToUpload_.clear();
    dataToUpload_.clear();
    HTTPMethod_ = "GET";
    cookieStoragePolicyForInstance_ = CookieStorageUnset;
    ephemeralRequestCookies_.clear();
}

STHTTPRequest::~STHTTPRequest() = default;

void STHTTPRequest::setGlobalIgnoreCache(bool ignore) {
    http::processState().globalIgnoreCache = ignore;
}

bool STHTTPRequest::globalIgnoreCache() {
    return http::processState().globalIgnoreCache;
}

void STHTTPRequest::setDefaultMaximumResponseBodySize(std::int64_t bytes) {
    http::processState().defaultMaximumResponseBodySize = bytes;
}

std::int64_t STHTTPRequest::defaultMaximumResponseBodySize() {
    return http::processState().defaultMaximumResponseBodySize;
}

// ---- Callbacks ----
// A setter swaps the new block in: the old one, and what it captured, is released with the
// parameter once the mutex is let go.

STHTTPRequestUploadProgressBlock STHTTPRequest::uploadProgressBlock() const {
    return readBlock(uploadProgressBlock_);
}

void STHTTPRequest::setUploadProgressBlock(STHTTPRequestUploadProgressBlock block) {
    std::lock_guard lock(blocksMutex_);
    uploadProgressBlock_.swap(block);
}

STHTTPRequestDownloadProgressBlock STHTTPRequest::downloadProgressBlock() const {
    return readBlock(downloadProgressBlock_);
}

void STHTTPRequest::setDownloadProgressBlock(STHTTPRequestDownloadProgressBlock block) {
    std::lock_guard lock(blocksMutex_);
    downloadProgressBlock_.swap(block);
}

STHTTPRequestCompletionBlock STHTTPRequest::completionBlock() const {
    return readBlock(completionBlock_);
}

void STHTTPRequest::setCompletionBlock(STHTTPRequestCompletionBlock block) {
    std::lock_guard lock(blocksMutex_);
    completionBlock_.swap(block);
}

STHTTPRequestErrorBlock STHTTPRequest::errorBlock() const {
    return readBlock(errorBlock_);
}

void STHTTPRequest::setErrorBlock(STHTTPRequestErrorBlock block) {
    std::lock_guard lock(blocksMutex_);
    errorBlock_.swap(block);
}

STHTTPRequestCompletionDataBlock STHTTPRequest::completionDataBlock() const {
    return readBlock(completionDataBlock_);
}

void STHTTPRequest::setCompletionDataBlock(STHTTPRequestCompletionDataBlock block) {
    std::lock_guard lock(blocksMutex_);
    completionDataBlock_.swap(block);
}

// ---- Header fields and uploads ----

void STHTTPRequest::setHeaderWithName(const std::string& name, const std::string& value) {
    requestHeaders_[name] = value;
}

void STHTTPRequest::removeHeaderWithName(const std::string& name) {
    requestHeaders_.erase(name);
}

void STHTTPRequest::addFileToUpload(const std::string& path, const std::string& parameterName) {
    filesToUpload_.push_back(STHTTPRequestFileUpload::fileUploadWithPath(path, parameterName));
}

void STHTTPRequest::addDataToUpload(const Bytes& data, const std::string& parameterName) {
    addDataToUpload(data, parameterName, std::nullopt, std::nullopt);
}

void STHTTPRequest::addDataToUpload(const Bytes& data, const std::string& parameterName,
                                    const std::optional<std::string>& mimeType,
                                    const std::optional<std::string>& fileName) {
    dataToUpload_.push_back(
        STHTTPRequestDataUpload::dataUploadWithData(data, parameterName, mimeType, fileName));
}

// ---- Response text ----

std::optional<std::string> STHTTPRequest::stringWithData(
    const Bytes& data, const std::optional<std::string>& encodingName) const {
    NSStringEncoding encoding = NSUTF8StringEncoding;
    if (forcedResponseEncoding_ != 0) {
        encoding = forcedResponseEncoding_;
    } else if (encodingName) {
        encoding = http::encodingOfIANACharSetName(*encodingName);
        if (encoding == 0) encoding = NSUTF8StringEncoding;
    }
    return http::decodeText(data, encoding);
}

std::optional<std::string> STHTTPRequest::responseString() {
    if (!responseString_)
        responseString_ = stringWithData(responseData_, responseStringEncodingName_);
    return responseString_;
}

}  // namespace plovendale
