#include "plovendale/http/st_http_request.h"

#include <charconv>

#include "http/process_state.h"
#include "http/st_http_request_impl.h"
#include "http/text_encoding.h"
#include "transport/recent_values.h"
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

namespace {

// An application's requests go to a handful of URLs: those accepted lately on this thread are not
// read again.
bool isRequestURL(const std::string& text) {
    thread_local curl::RecentValues<std::string> accepted;
    if (accepted.find([&text](const std::string& known) { return known == text; })) return true;
    if (!ParsedURL::parseRequestURL(text)) return false;
    accepted.remember(text);
    return true;
}

}  // namespace

std::shared_ptr<STHTTPRequest> STHTTPRequest::requestWithURL(
    const std::optional<std::string>& url) {
    if (!url || !isRequestURL(*url)) return nullptr;
    return std::make_shared<STHTTPRequest>(PrivateToken{}, *url);
}

std::shared_ptr<STHTTPRequest> STHTTPRequest::requestWithURLString(const std::string& text) {
    // Not through requestWithURL: its optional parameter would be one more copy of the URL.
    if (!isRequestURL(text)) return nullptr;
    return std::make_shared<STHTTPRequest>(PrivateToken{}, text);
}

// Every member of Impl starts as a new request's (its initialisers say how), so it is not zeroed
// first as well.
STHTTPRequest::STHTTPRequest(PrivateToken, std::string url)
    : impl_(std::make_unique_for_overwrite<Impl>()) {
    impl_->url = std::move(url);
    impl_->maximumResponseBodySize = defaultMaximumResponseBodySize();
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

// ---- Properties ----

std::int64_t STHTTPRequest::responseStatus() const {
    return impl_->responseStatus;
}

const Bytes& STHTTPRequest::responseData() const {
    return impl_->responseData;
}

const std::optional<std::string>& STHTTPRequest::responseStringEncodingName() const {
    return impl_->responseStringEncodingName;
}

const std::optional<STHTTPHeaders>& STHTTPRequest::responseHeaders() const {
    return impl_->settledResponseHeaders();
}

std::int64_t STHTTPRequest::responseExpectedContentLength() const {
    return impl_->responseExpectedContentLength;
}

const std::string& STHTTPRequest::url() const {
    return impl_->url;
}

void STHTTPRequest::setUrl(std::string url) {
    impl_->url = std::move(url);
}

const std::optional<Error>& STHTTPRequest::error() const {
    return impl_->error;
}

const std::vector<STHTTPRequestFileUpload>& STHTTPRequest::filesToUpload() const {
    return impl_->filesToUpload;
}

void STHTTPRequest::setFilesToUpload(std::vector<STHTTPRequestFileUpload> files) {
    impl_->filesToUpload = std::move(files);
}

const std::vector<STHTTPRequestDataUpload>& STHTTPRequest::dataToUpload() const {
    return impl_->dataToUpload;
}

void STHTTPRequest::setDataToUpload(std::vector<STHTTPRequestDataUpload> data) {
    impl_->dataToUpload = std::move(data);
}

const std::shared_ptr<const URLRequest>& STHTTPRequest::request() const {
    return impl_->request;
}

const std::optional<std::string>& STHTTPRequest::HTTPBodyFileURL() const {
    return impl_->HTTPBodyFileURL;
}

const std::vector<HTTPCookie>& STHTTPRequest::ephemeralRequestCookies() const {
    return impl_->ephemeralRequestCookies;
}

void STHTTPRequest::setEphemeralRequestCookies(std::vector<HTTPCookie> cookies) {
    impl_->ephemeralRequestCookies = std::move(cookies);
}

const std::string& STHTTPRequest::HTTPMethod() const {
    return impl_->HTTPMethod;
}

void STHTTPRequest::setHTTPMethod(std::string method) {
    impl_->HTTPMethod = std::move(method);
}

const STHTTPHeaders& STHTTPRequest::requestHeaders() const {
    return impl_->requestHeaders;
}

void STHTTPRequest::setRequestHeaders(STHTTPHeaders headers) {
    impl_->requestHeaders = std::move(headers);
}

const std::optional<STHTTPDictionary>& STHTTPRequest::POSTDictionary() const {
    return impl_->POSTDictionary;
}

void STHTTPRequest::setPOSTDictionary(std::optional<STHTTPDictionary> fields) {
    impl_->POSTDictionary = std::move(fields);
}

const std::optional<STHTTPDictionary>& STHTTPRequest::GETDictionary() const {
    return impl_->GETDictionary;
}

void STHTTPRequest::setGETDictionary(std::optional<STHTTPDictionary> parameters) {
    impl_->GETDictionary = std::move(parameters);
}

const std::optional<Bytes>& STHTTPRequest::rawPOSTData() const {
    return impl_->rawPOSTData;
}

void STHTTPRequest::setRawPOSTData(std::optional<Bytes> data) {
    impl_->rawPOSTData = std::move(data);
}

NSStringEncoding STHTTPRequest::POSTDataEncoding() const {
    return impl_->POSTDataEncoding;
}

void STHTTPRequest::setPOSTDataEncoding(NSStringEncoding encoding) {
    impl_->POSTDataEncoding = encoding;
}

double STHTTPRequest::timeoutSeconds() const {
    return impl_->timeoutSeconds;
}

void STHTTPRequest::setTimeoutSeconds(double seconds) {
    impl_->timeoutSeconds = seconds;
}

std::int64_t STHTTPRequest::maximumResponseBodySize() const {
    return impl_->maximumResponseBodySize;
}

void STHTTPRequest::setMaximumResponseBodySize(std::int64_t bytes) {
    impl_->maximumResponseBodySize = bytes;
}

bool STHTTPRequest::discardsResponseBody() const {
    return impl_->discardsResponseBody;
}

void STHTTPRequest::setDiscardsResponseBody(bool discards) {
    impl_->discardsResponseBody = discards;
}

bool STHTTPRequest::addCredentialsToURL() const {
    return impl_->addCredentialsToURL;
}

void STHTTPRequest::setAddCredentialsToURL(bool add) {
    impl_->addCredentialsToURL = add;
}

bool STHTTPRequest::encodePOSTDictionary() const {
    return impl_->encodePOSTDictionary;
}

void STHTTPRequest::setEncodePOSTDictionary(bool encode) {
    impl_->encodePOSTDictionary = encode;
}

bool STHTTPRequest::encodeGETDictionary() const {
    return impl_->encodeGETDictionary;
}

void STHTTPRequest::setEncodeGETDictionary(bool encode) {
    impl_->encodeGETDictionary = encode;
}

bool STHTTPRequest::preventRedirections() const {
    return impl_->preventRedirections;
}

void STHTTPRequest::setPreventRedirections(bool prevent) {
    impl_->preventRedirections = prevent;
}

bool STHTTPRequest::useUploadTaskInBackground() const {
    return impl_->useUploadTaskInBackground;
}

void STHTTPRequest::setUseUploadTaskInBackground(bool use) {
    impl_->useUploadTaskInBackground = use;
}

STHTTPRequestCookieStoragePolicy STHTTPRequest::cookieStoragePolicyForInstance() const {
    return impl_->cookieStoragePolicyForInstance;
}

void STHTTPRequest::setCookieStoragePolicyForInstance(STHTTPRequestCookieStoragePolicy policy) {
    impl_->cookieStoragePolicyForInstance = policy;
}

const std::optional<std::string>& STHTTPRequest::sharedContainerIdentifier() const {
    return impl_->sharedContainerIdentifier;
}

void STHTTPRequest::setSharedContainerIdentifier(std::optional<std::string> identifier) {
    impl_->sharedContainerIdentifier = std::move(identifier);
}

NSStringEncoding STHTTPRequest::forcedResponseEncoding() const {
    return impl_->forcedResponseEncoding;
}

void STHTTPRequest::setForcedResponseEncoding(NSStringEncoding encoding) {
    impl_->forcedResponseEncoding = encoding;
}

bool STHTTPRequest::ignoreCache() const {
    return impl_->ignoreCache;
}

void STHTTPRequest::setIgnoreCache(bool ignore) {
    impl_->ignoreCache = ignore;
}

// ---- Callbacks ----
// A setter swaps the new block in: the old one, and what it captured, is released with the
// parameter once the mutex is let go.

STHTTPRequestUploadProgressBlock STHTTPRequest::uploadProgressBlock() const {
    return impl_->readBlock(impl_->uploadProgressBlock);
}

void STHTTPRequest::setUploadProgressBlock(STHTTPRequestUploadProgressBlock block) {
    std::lock_guard lock(impl_->blocksMutex);
    impl_->uploadProgressBlock.swap(block);
    impl_->hasUploadProgressBlock = static_cast<bool>(impl_->uploadProgressBlock);
}

bool STHTTPRequest::hasUploadProgressBlock() const {
    return impl_->hasUploadProgressBlock.load(std::memory_order_acquire);
}

STHTTPRequestDownloadProgressBlock STHTTPRequest::downloadProgressBlock() const {
    return impl_->readBlock(impl_->downloadProgressBlock);
}

void STHTTPRequest::setDownloadProgressBlock(STHTTPRequestDownloadProgressBlock block) {
    std::lock_guard lock(impl_->blocksMutex);
    impl_->downloadProgressBlock.swap(block);
    impl_->hasDownloadProgressBlock = static_cast<bool>(impl_->downloadProgressBlock);
}

STHTTPRequestCompletionBlock STHTTPRequest::completionBlock() const {
    return impl_->readBlock(impl_->completionBlock);
}

void STHTTPRequest::setCompletionBlock(STHTTPRequestCompletionBlock block) {
    std::lock_guard lock(impl_->blocksMutex);
    impl_->completionBlock.swap(block);
}

STHTTPRequestErrorBlock STHTTPRequest::errorBlock() const {
    return impl_->readBlock(impl_->errorBlock);
}

void STHTTPRequest::setErrorBlock(STHTTPRequestErrorBlock block) {
    std::lock_guard lock(impl_->blocksMutex);
    impl_->errorBlock.swap(block);
}

STHTTPRequestCompletionDataBlock STHTTPRequest::completionDataBlock() const {
    return impl_->readBlock(impl_->completionDataBlock);
}

void STHTTPRequest::setCompletionDataBlock(STHTTPRequestCompletionDataBlock block) {
    std::lock_guard lock(impl_->blocksMutex);
    impl_->completionDataBlock.swap(block);
}

// ---- Header fields and uploads ----

void STHTTPRequest::setHeaderWithName(const std::string& name, const std::string& value) {
    impl_->requestHeaders[name] = value;
}

void STHTTPRequest::removeHeaderWithName(const std::string& name) {
    impl_->requestHeaders.erase(name);
}

void STHTTPRequest::addFileToUpload(const std::string& path, const std::string& parameterName) {
    impl_->filesToUpload.push_back(
        STHTTPRequestFileUpload::fileUploadWithPath(path, parameterName));
}

void STHTTPRequest::addDataToUpload(const Bytes& data, const std::string& parameterName) {
    addDataToUpload(data, parameterName, std::nullopt, std::nullopt);
}

void STHTTPRequest::addDataToUpload(const Bytes& data, const std::string& parameterName,
                                    const std::optional<std::string>& mimeType,
                                    const std::optional<std::string>& fileName) {
    impl_->dataToUpload.push_back(
        STHTTPRequestDataUpload::dataUploadWithData(data, parameterName, mimeType, fileName));
}

// ---- Response text ----

std::optional<std::string> STHTTPRequest::stringWithData(
    const Bytes& data, const std::optional<std::string>& encodingName) const {
    NSStringEncoding encoding = NSUTF8StringEncoding;
    if (impl_->forcedResponseEncoding != 0) {
        encoding = impl_->forcedResponseEncoding;
    } else if (encodingName) {
        encoding = http::encodingOfIANACharSetName(*encodingName);
        if (encoding == 0) encoding = NSUTF8StringEncoding;
    }
    return http::decodeText(data, encoding);
}

std::optional<std::string> STHTTPRequest::responseString() {
    if (!impl_->responseString)
        impl_->responseString =
            stringWithData(impl_->responseData, impl_->responseStringEncodingName);
    return impl_->responseString;
}

}  // namespace plovendale
