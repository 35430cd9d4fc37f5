#include "transport/curl_exchange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "transport/curl_text.h"
#include "transport/exchange_setup.h"
#include "transport/recent_values.h"
#include "transport/url_session.h"

namespace plovendale::curl {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::optional<Error> Exchange::make(std::optional<Exchange>& place,
                                    std::shared_ptr<const URLRequest> prepared,
                                    const std::optional<std::string>& uploadFile,
                                    ExchangeObserver& observer, EasyPool* pool) {
    std::shared_ptr<const ReadURL> target;
    switch (readHTTPURL(prepared->url, target)) {
        case URLCheck::Unsupported:
            return urlError(URLErrorCode::kUnsupportedURL, prepared->url);
        case URLCheck::Bad:
            return urlError(URLErrorCode::kBadURL, prepared->url);
        case URLCheck::Ok:
            break;
    }
    if (!isToken(prepared->httpMethod)) return urlError(URLErrorCode::kBadURL, prepared->url);
    if (runtimeProblem()) return urlError(URLErrorCode::kUnknown, prepared->url);
    place.emplace(Key(), std::move(prepared), std::move(target), observer, pool);
    auto error = place->configure(uploadFile);
    if (error) place.reset();
    return error;
}

Exchange::Exchange(Key, std::shared_ptr<const URLRequest> prepared,
                   std::shared_ptr<const ReadURL> target, ExchangeObserver& observer,
                   EasyPool* pool)
    : request_(std::move(prepared)),
      target_(std::move(target)),
      url_(target_->text),
      observer_(observer),
      pool_(pool),
      ownerWatchesDeadline_(observer.watchesDeadline()) {
    double seconds = request_->timeoutInterval > 0 ? request_->timeoutInterval : 60.0;
    seconds = std::min(seconds, 86400.0 * 365);
    budget_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Exchange::~Exchange() {
    // The handle refers to the header list and the CA blob: it goes (or is reset and kept) first.
    if (pool_ && reusable_) {
        pool_->giveBack(std::move(easy_));
    } else {
        easy_.reset();
    }
    headerLines_.reset();
}

std::optional<Error> Exchange::configure(const std::optional<std::string>& uploadFile) {
    if (pool_) easy_ = pool_->take();
    if (!easy_) {
        easy_.reset(curl_easy_init());
        if (!easy_) return urlError(URLErrorCode::kUnknown, url_);
        // A reset keeps the handle's shares.
        if (CURLSH* cache = pool_ ? EasyPool::dnsCache() : nullptr)
            setOption(easy_.get(), CURLOPT_SHARE, cache);
    }
    CURL* easy = easy_.get();
    configureShared(easy);

    std::optional<std::int64_t> bodySize;
    if (uploadFile && !isMethod(request_->httpMethod, "HEAD")) {
        file_.reset(std::fopen(filePathOf(*uploadFile).c_str(), "rb"));
        const auto size = fileSize(filePathOf(*uploadFile));
        if (!file_ || !size) return urlError(URLErrorCode::kCannotOpenFile, url_);
        bodySize = *size;
        if (request_->headerFields.get("Content-Length")) {
            // The file may have changed since the request was prepared: show what is sent.
            auto sent = std::make_shared<URLRequest>(*request_);
            sent->headerFields.set("Content-Length", std::to_string(*size));
            request_ = std::move(sent);
        }
    } else {
        bodySize = bodySizeOf(*request_, std::nullopt);
    }

    setOption(easy, CURLOPT_URL, url_.c_str());
    caBlob_ = caBlob();
    if (caBlob_) {
        curl_blob blob{const_cast<char*>(caBlob_->data()), caBlob_->size(), CURL_BLOB_NOCOPY};
        setOption(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    std::string builtNoProxy;
    setOption(easy, CURLOPT_NOPROXY, noProxyList(builtNoProxy));  // libcurl copies it
    setOption(easy, CURLOPT_HEADERDATA, static_cast<void*>(this));
    setOption(easy, CURLOPT_WRITEDATA, static_cast<void*>(this));
    setOption(easy, CURLOPT_XFERINFODATA, static_cast<void*>(this));

    headerLines_ = headerLinesFor(request_->headerFields,
                                  bodySize && (file_ || *bodySize >= kUpFrontBodyBytes));
    if (!headerLines_) return urlError(URLErrorCode::kUnknown, url_);
    if (headerLines_->acceptEncoding)
        setOption(easy, CURLOPT_ACCEPT_ENCODING, headerLines_->acceptEncoding->c_str());
    setOption(easy, CURLOPT_HTTPHEADER, headerLines_->lines.get());

    const std::string& method = request_->httpMethod;
    if (isMethod(method, "HEAD")) {
        setOption(easy, CURLOPT_NOBODY, 1L);
    } else if (bodySize) {
        configureBody(*bodySize);
        if (!isMethod(method, "POST")) setOption(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (!isMethod(method, "GET")) {
        setOption(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    // libcurl calls the progress function a dozen times per transfer: it is needed for the clock of
    // a transfer nobody else watches, and to follow a body handed over whole as it goes out (one
    // read out piece by piece is followed as it is read). Without it, a body sent whole is
    // reported when the response arrives.
    if (!ownerWatchesDeadline_ || (bodyUpFront_ && observer_.followsSending()))
        setOption(easy, CURLOPT_NOPROGRESS, 0L);
    return std::nullopt;
}

// libcurl's defaults stand for the rest: the peer and its host name verified, no redirection
// followed (the owner decides), no progress calls.
void Exchange::configureShared(CURL* easy) {
    setOption(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    setOption(easy, CURLOPT_NOSIGNAL, 1L);
    setOption(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    setOption(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    setOption(easy, CURLOPT_HEADERFUNCTION, &Exchange::onHeader);
    setOption(easy, CURLOPT_WRITEFUNCTION, &Exchange::onWrite);
    setOption(easy, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress);
}

void Exchange::configureBody(std::int64_t size) {
    CURL* easy = easy_.get();
    bodySize_ = size;
    setOption(easy, CURLOPT_POST, 1L);
    setOption(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
    if (!file_ && size < kUpFrontBodyBytes) {
        // Given the whole body, libcurl sends the head and the body in one write. The buffer is
        // this exchange's own copy of the request, alive as long as the transfer.
        static constexpr char kNoBody[] = "";
        bodyUpFront_ = true;
        setOption(easy, CURLOPT_POSTFIELDS,
                  request_->httpBody && !request_->httpBody->empty()
                      ? reinterpret_cast<const char*>(request_->httpBody->data())
                      : kNoBody);
        return;
    }
    setOption(easy, CURLOPT_READFUNCTION, &Exchange::onRead);
    setOption(easy, CURLOPT_READDATA, static_cast<void*>(this));
    setOption(easy, CURLOPT_SEEKFUNCTION, &Exchange::onSeek);
    setOption(easy, CURLOPT_SEEKDATA, static_cast<void*>(this));
}

void Exchange::start() {
    started_ = true;
    runningSince_ = Clock::now();
}

void Exchange::setWaiting(bool waiting) {
    if (waiting == waiting_) return;
    if (waiting) budget_ = remainingBudget();
    waiting_ = waiting;
    runningSince_ = Clock::now();
}

std::optional<std::chrono::steady_clock::time_point> Exchange::deadline() const {
    if (!clockRuns()) return std::nullopt;
    return runningSince_ + budget_;
}

std::chrono::steady_clock::duration Exchange::remainingBudget() const {
    return clockRuns() ? budget_ - (Clock::now() - runningSince_) : budget_;
}

void Exchange::limitTransferToBudget() {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remainingBudget()).count();
    // 0 would mean "no limit" to libcurl.
    setOption(easy_.get(), CURLOPT_TIMEOUT_MS,
              static_cast<long>(std::clamp<long long>(ms, 1, LONG_MAX)));
}

bool Exchange::announcesOversizedBody() const {
    if (!response_ || isMethod(request_->httpMethod, "HEAD")) return false;
    const auto status = response_->statusCode;
    if (status == 204 || status == 304) return false;  // no body, whatever the length says
    return response_->expectedContentLength > maximumBodySize_;
}

std::optional<Error> Exchange::outcome(CURLcode code) const {
    switch (abort_) {
        case Abort::Stopped:
            return std::nullopt;
        case Abort::TimedOut:
            return urlError(URLErrorCode::kTimedOut, url_);
        case Abort::OversizedHeaders:
            return urlError(URLErrorCode::kBadServerResponse, url_);
        case Abort::OversizedBody:
            return urlError(URLErrorCode::kDataLengthExceedsMaximum, url_);
        case Abort::FileUnreadable:
            return urlError(URLErrorCode::kCannotOpenFile, url_);
        case Abort::None:
            break;
    }
    if (code == CURLE_OK) return std::nullopt;
    return urlError(codeFor(code, response_ != nullptr), url_);
}

std::size_t Exchange::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<Exchange*>(self)->header(data, size * count);
}

std::size_t Exchange::header(const char* data, std::size_t size) {
    if (response_) return size;  // trailers of a chunked body
    headerBytes_ += size;
    if (headerBytes_ > kMaxHeaderBytes) {
        abort_ = Abort::OversizedHeaders;
        return 0;
    }
    switch (readHeadLine(std::string_view(data, size), fields_)) {
        case HeadLine::End:
            endOfHeaderBlock();
            return abort_ == Abort::None ? size : 0;
        case HeadLine::StatusLine:
        case HeadLine::Field:
            return size;
    }
    return size;
}

void Exchange::endOfHeaderBlock() {
    if (bodyUpFront_) {  // the body went out before the answer came, whatever progress last said
        curl_off_t uploaded = 0;
        if (curl_easy_getinfo(easy_.get(), CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK)
            noteBodySent(uploaded);
    }
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {  // informational: the real response follows
        fields_.clear();
        return;
    }
    auto response = std::make_shared<HTTPURLResponse>();
    fillResponse(*response, url_, status, std::move(fields_));
    response_ = std::move(response);
    fields_.clear();
    if (!observer_.onResponse(*this) && abort_ == Abort::None) abort_ = Abort::Stopped;
}

std::size_t Exchange::onWrite(char* data, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<Exchange*>(self);
    const std::size_t length = size * count;
    if (exchange->abort_ != Abort::None) return 0;
    if (static_cast<std::int64_t>(length) > exchange->maximumBodySize_ - exchange->bodyBytes_) {
        exchange->abort_ = Abort::OversizedBody;
        return 0;
    }
    if (!exchange->observer_.onBody(*exchange, data, length)) return CURL_WRITEFUNC_PAUSE;
    exchange->bodyBytes_ += static_cast<std::int64_t>(length);
    return length;
}

std::size_t Exchange::onRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* exchange = static_cast<Exchange*>(self);
    if (exchange->abort_ != Abort::None) return CURL_READFUNC_ABORT;
    const auto remaining = static_cast<std::size_t>(
        std::max<std::int64_t>(0, exchange->bodySize_ - exchange->bodyOffset_));
    const std::size_t wanted = std::min(size * count, remaining);
    std::size_t got = 0;
    if (exchange->file_) {
        got = std::fread(buffer, 1, wanted, exchange->file_.get());
        if (got < wanted) {  // unreadable, or shrunk since the transfer began
            exchange->abort_ = Abort::FileUnreadable;
            return CURL_READFUNC_ABORT;
        }
    } else if (exchange->request_->httpBody && wanted > 0) {
        std::memcpy(buffer, exchange->request_->httpBody->data() + exchange->bodyOffset_, wanted);
        got = wanted;
    }
    exchange->noteBodySent(exchange->bodyOffset_ + static_cast<std::int64_t>(got));
    return got;
}

int Exchange::onSeek(void* self, curl_off_t offset, int origin) {
    auto* exchange = static_cast<Exchange*>(self);
    if (origin != SEEK_SET || offset < 0 || offset > exchange->bodySize_)
        return CURL_SEEKFUNC_CANTSEEK;
    if (exchange->file_ &&
        ::fseeko(exchange->file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0) {
        return CURL_SEEKFUNC_FAIL;
    }
    exchange->bodyOffset_ = offset;
    return CURL_SEEKFUNC_OK;
}

void Exchange::noteBodySent(std::int64_t sent) {
    if (sent <= bodyOffset_) return;
    const std::int64_t step = sent - bodyOffset_;
    bodyOffset_ = sent;
    observer_.onBodySent(*this, step, sent, bodySize_);
}

int Exchange::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* exchange = static_cast<Exchange*>(self);
    if (exchange->bodyUpFront_) exchange->noteBodySent(uploaded);
    if (exchange->ownerWatchesDeadline_) return 0;
    const auto deadline = exchange->deadline();
    if (deadline && Clock::now() >= *deadline) {
        exchange->abort_ = Abort::TimedOut;
        return 1;
    }
    return 0;
}

}  // namespace plovendale::curl
