#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <span>
#include <system_error>

#include "host/host_code.h"
#include "http/process_state.h"
#include "http/session_delegate.h"
#include "http/st_http_request_impl.h"
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

// Makes `shown` hold the fields as sent, updated in place: most of them are the caller's, already
// there. (Names on the wire are unique.) Both go in name order, side by side, so that each name is
// compared about once rather than looked up.
void showSentFields(STHTTPHeaders& shown,
                    const std::vector<std::pair<std::string, std::string>>& sent) {
    using Field = std::pair<std::string, std::string>;
    // A request has a handful of fields: their order is kept on the stack.
    constexpr std::size_t kUsualCount = 8;
    std::array<const Field*, kUsualCount> usual{};
    std::vector<const Field*> many(sent.size() > kUsualCount ? sent.size() : 0);
    const std::span<const Field*> ordered =
        many.empty() ? std::span<const Field*>(usual.data(), sent.size()) : std::span(many);
    std::size_t count = 0;
    for (const auto& field : sent) {  // insertion sort, by name
        std::size_t at = count++;
        for (; at > 0 && field.first.compare(ordered[at - 1]->first) < 0; --at)
            ordered[at] = ordered[at - 1];
        ordered[at] = &field;
    }
    auto kept = shown.begin();
    for (const Field* field : ordered) {
        int order = 1;
        while (kept != shown.end() && (order = kept->first.compare(field->first)) < 0)
            kept = shown.erase(kept);
        if (kept != shown.end() && order == 0) {
            if (kept->second != field->second) kept->second = field->second;
            ++kept;
        } else {
            shown.emplace_hint(kept, field->first, field->second);
        }
    }
    shown.erase(kept, shown.end());
}

}  // namespace

URLSessionConfiguration STHTTPRequest::makeConfiguration() const {
    // A desktop host offers no background configuration: a background upload takes the ephemeral
    // one, as a platform without them does. Cellular access and the shared container identifier
    // have nothing to act on here, so they are not carried (sharedContainerIdentifier stays a
    // property of the request).
    auto configuration = impl_->useUploadTaskInBackground
                             ? URLSessionConfiguration::ephemeralSessionConfiguration()
                             : URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBodySize = impl_->maximumResponseBodySize;
    return configuration;
}

std::shared_ptr<URLSessionTask> STHTTPRequest::makeTask(URLSession& session,
                                                        std::optional<URLRequest> request) {
    if (!impl_->useUploadTaskInBackground)
        return request ? session.dataTaskWithRequest(std::move(*request)) : nullptr;
    std::error_code ec;
    const auto directory = std::filesystem::temp_directory_path(ec);
    const std::string path = (ec ? std::filesystem::path("/tmp") : directory) / uniqueText();
    impl_->HTTPBodyFileURL = http::fileURLFromPath(path);
    if (request && request->httpBody) writeAtomically(path, *request->httpBody);
    return request ? session.uploadTaskWithRequest(std::move(*request), path) : nullptr;
}

void STHTTPRequest::startAsynchronous() {
    std::optional<URLRequest> wireRequest = prepareURLRequest();
    auto delegate = std::make_shared<STHTTPRequestSessionDelegate>(shared_from_this(),
                                                                   impl_->discardsResponseBody);
    auto session = URLSession::sessionWithConfiguration(makeConfiguration(), delegate);
    delegate->setSession(session);
    impl_->session = session;
    impl_->task = session ? makeTask(*session, std::move(wireRequest)) : nullptr;
    if (impl_->task) impl_->task->resume();
    // The session serves this one task and is let go as soon as the task is over (at once when
    // there is none: it would otherwise hold this request forever).
    if (session) session->finishTasksAndInvalidate();

    impl_->settledResponseHeaders();  // the earlier answer's stay until the new one arrives
    impl_->takenResponse.reset();
    impl_->request = impl_->task ? impl_->task->currentRequest() : nullptr;
    static const std::vector<std::pair<std::string, std::string>> kNoFields;
    showSentFields(impl_->requestHeaders,
                   impl_->request ? impl_->request->headerFields.entries() : kNoFields);
    logDiagnostics();

    if (!impl_->task) {
        impl_->error = requestError(0, "can't create task");
        reportError(*impl_->error);
    }
}

void STHTTPRequest::cancel() {
    if (impl_->task) impl_->task->cancel();
    impl_->error = requestError(kSTHTTPRequestCancellationError, "Connection was cancelled.");
    reportError(*impl_->error);
}

std::optional<std::string> STHTTPRequest::startSynchronousWithError(std::optional<Error>* error) {
    impl_->responseHeaders.reset();
    impl_->responseHeadersPending = false;
    impl_->takenResponse.reset();
    impl_->responseStatus = 0;
    const std::optional<URLRequest> wireRequest = prepareURLRequest();
    if (!wireRequest) {
        impl_->responseData.clear();
        impl_->responseString.reset();
        if (error) *error = requestError(0, "can't create task");
        return std::nullopt;
    }
    std::optional<HTTPURLResponse> response;
    std::optional<Error> transportError;
    auto data = URLConnection::sendSynchronousRequest(*wireRequest, &response, &transportError,
                                                      impl_->maximumResponseBodySize);
    if (error && transportError) *error = transportError;
    impl_->responseData = impl_->discardsResponseBody ? Bytes() : std::move(data).value_or(Bytes());
    if (response) {
        impl_->responseHeaders = response->allHeaderFields;
        impl_->responseStatus = response->statusCode;
        impl_->responseStringEncodingName = response->textEncodingName;
    }
    impl_->responseString = stringWithData(impl_->responseData, impl_->responseStringEncodingName);
    if (error && impl_->responseStatus >= 400) *error = errorDescribingRequestNonfulfillment();
    return impl_->responseString;
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
    if (response == impl_->takenResponse) return;  // already taken when it arrived
    impl_->takenResponse = response;
    impl_->responseHeadersPending = true;
    impl_->responseHeadersTaken = true;
    impl_->responseStatus = response->statusCode;
    impl_->responseStringEncodingName = response->textEncodingName;
    impl_->responseExpectedContentLength = response->expectedContentLength;
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
    impl_->responseData.insert(impl_->responseData.end(), data.begin(), data.end());
    if (auto block = downloadProgressBlock()) {
        callHostCode("STHTTPRequest downloadProgressBlock", [&] {
            block(data, static_cast<std::int64_t>(impl_->responseData.size()),
                  impl_->responseExpectedContentLength);
        });
    }
}

void STHTTPRequest::removeBodyFile() {
    if (!impl_->HTTPBodyFileURL) return;
    const auto path = http::pathFromFileURL(*impl_->HTTPBodyFileURL);
    std::string failure;
    if (!path) {
        failure = "not a file URL";
    } else if (::unlink(path->c_str()) != 0) {
        failure = std::system_category().message(errno);
    }
    if (!failure.empty())
        Log::write(fillTemplate("-- can't remove %@, %@", {*impl_->HTTPBodyFileURL, failure}));
}

void STHTTPRequest::handleCompletion(const std::shared_ptr<URLSession>& session,
                                     const std::shared_ptr<const HTTPURLResponse>& response,
                                     const std::optional<Error>& error) {
    if (error) {
        if (error->domain == kNSURLErrorDomain &&
            error->code == URLErrorCode::kDataLengthExceedsMaximum) {
            // The part that fitted is no answer either; let go of it.
            Bytes().swap(impl_->responseData);
            impl_->responseString.reset();
        }
        reportError(*error);
    } else if (response) {
        takeResponseFields(response);
        removeBodyFile();
        if (impl_->responseStatus < 400) {
            // The response's own fields are shared and never change, so the callbacks get them
            // without a copy; fields a host set meanwhile are copied, since a callback may replace
            // them while the next one still needs them.
            STHTTPHeaders replaced;
            const STHTTPHeaders* fields = &response->allHeaderFields;
            if (!impl_->responseHeadersTaken) {
                replaced = impl_->responseHeaders.value_or(STHTTPHeaders());
                fields = &replaced;
            }
            const STHTTPHeaders& headers = *fields;
            if (auto block = completionDataBlock()) {
                callHostCode("STHTTPRequest completionDataBlock",
                             [&] { block(headers, impl_->responseData); });
            }
            if (auto block = completionBlock()) {
                callHostCode("STHTTPRequest completionBlock", [&] {
                    block(headers,
                          stringWithData(impl_->responseData, impl_->responseStringEncodingName));
                });
            }
        } else {
            impl_->error = errorDescribingRequestNonfulfillment();
            reportError(*impl_->error);
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
