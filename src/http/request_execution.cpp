#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "host/host_code.h"
#include "http/process_state.h"
#include "http/session_delegate.h"
#include "http/url_text.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/log.h"
#include "transport/url_session.h"
#include "util/format.h"
#include "util/identifiers.h"

namespace plovendale {
namespace {

Error requestError(std::int64_t code, std::string description) {
    return Error::make(kSTHTTPRequestErrorDomain, code, std::move(description));
}

// A unique name for a temporary file or a session.
std::string uniqueText() {
    return UUID::UUIDString() + "-" + std::to_string(::getpid());
}

// Writes through a sibling file and a rename, so the file is either whole or absent. The body may
// be private and the directory is shared: the file is the caller's alone (0600), and a name that
// already exists (a planted file or link) is never opened.
bool writeAtomically(const std::string& path, const Bytes& bytes) {
    const std::string partial = path + ".partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) return false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    std::error_code ec;
    if (::close(fd) != 0 || written != bytes.size()) {
        std::filesystem::remove(partial, ec);
        return false;
    }
    std::filesystem::rename(partial, path, ec);
    if (ec) std::filesystem::remove(partial, ec);
    return !ec;
}

}  // namespace

URLSessionConfiguration STHTTPRequest::makeConfiguration() const {
    // A desktop host offers no background configuration: a background upload takes the ephemeral
    // one, as a platform without them does. Cellular access and the shared container identifier
    // have nothing to act on here, so they are not carried (sharedContainerIdentifier stays a
    // property of the request).
    auto configuration = useUploadTaskInBackground_
                             ? URLSessionConfiguration::ephemeralSessionConfiguration()
                             : URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBodySize = maximumResponseBodySize_;
    return configuration;
}

std::shared_ptr<URLSessionTask> STHTTPRequest::makeTask(URLSession& session,
                                                        std::optional<URLRequest> request) {
    if (!useUploadTaskInBackground_)
        return request ? session.dataTaskWithRequest(std::move(*request)) : nullptr;
    std::error_code ec;
    const auto directory = std::filesystem::temp_directory_path(ec);
    const std::string path = (ec ? std::filesystem::path("/tmp") : directory) / uniqueText();
    HTTPBodyFileURL_ = http::fileURLFromPath(path);
    if (request && request->httpBody) writeAtomically(path, *request->httpBody);
    return request ? session.uploadTaskWithRequest(std::move(*request), path) : nullptr;
}

void STHTTPRequest::startAsynchronous() {
    std::optional<URLRequest> wireRequest = prepareURLRequest();
    auto delegate =
        std::make_shared<STHTTPRequestSessionDelegate>(shared_from_this(), discardsResponseBody_);
    auto session = URLSession::sessionWithConfiguration(makeConfiguration(), delegate);
    delegate->setSession(session);
    session_ = session;
    task_ = session ? makeTask(*session, std::move(wireRequest)) : nullptr;
    if (task_) task_->resume();
    // The session serves this one task and is let go as soon as the task is over (at once when
    // there is none: it would otherwise hold this request forever).
    if (session) session->finishTasksAndInvalidate();

    takenResponse_.reset();
    request_ = task_ ? task_->currentRequest() : nullptr;
    requestHeaders_.clear();
    if (request_) {
        for (const auto& [name, value] : request_->headerFields.entries())
            requestHeaders_[name] = value;
    }
    logDiagnostics();

    if (!task_) {
        error_ = requestError(0, "can't create task");
        reportError(*error_);
    }
}

void STHTTPRequest::cancel() {
    if (task_) task_->cancel();
    error_ = requestError(kSTHTTPRequestCancellationError, "Connection was cancelled.");
    reportError(*error_);
}

std::optional<std::string> STHTTPRequest::startSynchronousWithError(std::optional<Error>* error) {
    responseHeaders_.reset();
    takenResponse_.reset();
    responseStatus_ = 0;
    const std::optional<URLRequest> wireRequest = prepareURLRequest();
    if (!wireRequest) {
        responseData_.clear();
        responseString_.reset();
        if (error) *error = requestError(0, "can't create task");
        return std::nullopt;
    }
    std::optional<HTTPURLResponse> response;
    std::optional<Error> transportError;
    auto data = URLConnection::sendSynchronousRequest(*wireRequest, &response, &transportError,
                                                      maximumResponseBodySize_);
    if (error && transportError) *error = transportError;
    responseData_ = discardsResponseBody_ ? Bytes() : data.value_or(Bytes());
    if (response) {
        responseHeaders_ = response->allHeaderFields;
        responseStatus_ = response->statusCode;
        responseStringEncodingName_ = response->textEncodingName;
    }
    responseString_ = stringWithData(responseData_, responseStringEncodingName_);
    if (error && responseStatus_ >= 400) *error = errorDescribingRequestNonfulfillment();
    return responseString_;
}

void STHTTPRequest::setBackgroundCompletionHandler(std::function<void()> handler,
                                                   const std::string& identifier) {
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    // The handler replaced goes out in `handler`, released after the mutex is let go.
    state.backgroundCompletionHandlers[identifier].swap(handler);
    if (!state.backgroundCompletionHandlers[identifier])
        state.backgroundCompletionHandlers.erase(identifier);
}

void STHTTPRequest::reportError(const Error& error) const {
    if (auto block = errorBlock()) callHostCode("STHTTPRequest errorBlock", [&] { block(error); });
}

void STHTTPRequest::takeResponseFields(const std::shared_ptr<const HTTPURLResponse>& response) {
    if (response == takenResponse_) return;  // already taken when it arrived
    takenResponse_ = response;
    responseHeaders_ = response->allHeaderFields;
    responseStatus_ = response->statusCode;
    responseStringEncodingName_ = response->textEncodingName;
    responseExpectedContentLength_ = response->expectedContentLength;
}

void STHTTPRequest::handleResponse(const std::shared_ptr<const HTTPURLResponse>& response,
                                   const std::string& requestURL) {
    takeResponseFields(response);
    for (const auto& cookie :
         HTTPCookie::cookiesWithResponseHeaderFields(response->rawHeaderFields, requestURL)) {
        addCookie(cookie);
    }
}

void STHTTPRequest::handleData(const Bytes& data) {
    responseData_.insert(responseData_.end(), data.begin(), data.end());
    if (auto block = downloadProgressBlock()) {
        callHostCode("STHTTPRequest downloadProgressBlock", [&] {
            block(data, static_cast<std::int64_t>(responseData_.size()),
                  responseExpectedContentLength_);
        });
    }
}

void STHTTPRequest::removeBodyFile() {
    if (!HTTPBodyFileURL_) return;
    const auto path = http::pathFromFileURL(*HTTPBodyFileURL_);
    std::string failure;
    if (!path) {
        failure = "not a file URL";
    } else if (::unlink(path->c_str()) != 0) {
        failure = std::system_category().message(errno);
    }
    if (!failure.empty())
        Log::write(fillTemplate("-- can't remove %@, %@", {*HTTPBodyFileURL_, failure}));
}

void STHTTPRequest::handleCompletion(const std::shared_ptr<URLSession>& session,
                                     const std::shared_ptr<const HTTPURLResponse>& response,
                                     const std::optional<Error>& error) {
    if (error) {
        if (error->domain == kNSURLErrorDomain &&
            error->code == URLErrorCode::kDataLengthExceedsMaximum) {
            // The part that fitted is no answer either; let go of it.
            Bytes().swap(responseData_);
            responseString_.reset();
        }
        reportError(*error);
    } else if (response) {
        takeResponseFields(response);
        removeBodyFile();
        if (responseStatus_ < 400) {
            const STHTTPHeaders headers = responseHeaders_.value_or(STHTTPHeaders());
            if (auto block = completionDataBlock()) {
                callHostCode("STHTTPRequest completionDataBlock",
                             [&] { block(headers, responseData_); });
            }
            if (auto block = completionBlock()) {
                callHostCode("STHTTPRequest completionBlock", [&] {
                    block(headers, stringWithData(responseData_, responseStringEncodingName_));
                });
            }
        } else {
            error_ = errorDescribingRequestNonfulfillment();
            reportError(*error_);
        }
    } else {
        reportError(requestError(0, "bad response class: (null)"));
    }
    if (session) session->finishTasksAndInvalidate();
}

bool http::stopTransfers() {
    return URLSession::stopService();
}

void http::resumeTransfers() {
    URLSession::resumeService();
}

}  // namespace plovendale
