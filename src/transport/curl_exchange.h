#pragma once

// One HTTP exchange over libcurl: one request to one URL, one response (redirections are the
// owner's business). Shared by the URL session service (driven by the I/O thread's multi handle)
// and synchronous loading (curl_easy_perform on the caller's thread).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "plovendale/platform/error.h"
#include "plovendale/platform/url_request.h"
#include "transport/curl_handles.h"
#include "transport/http_cookie_storage.h"

namespace plovendale::curl {

/// Upper bound of one response's header block; a server sending more is broken or hostile.
inline constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
/// Bodies in memory below this size are handed to libcurl whole; larger ones and files are read
/// out piece by piece.
inline constexpr std::int64_t kUpFrontBodyBytes = 64 * 1024;
/// Redirections followed for one task before it fails with -1007.
inline constexpr int kMaxRedirections = 16;

/// An NSURLErrorDomain error with the service's description of code, naming the failing URL.
Error urlError(std::int64_t code, const std::string& failingURL = {});
/// The URL error code for a libcurl result; responseSeen: a response's header block had arrived.
std::int64_t codeFor(CURLcode code, bool responseSeen);

/// The request as it goes on the wire: the caller's valid fields, the cookie field (when the
/// request handles cookies, has none of its own and the jar holds matching ones), and for a request
/// with a body its Content-Length and, for a non-empty one, a Content-Type (form-encoded unless
/// given). bodySize: the body's length, or nothing when there is none.
URLRequest prepareRequest(const URLRequest& request, std::optional<std::int64_t> bodySize,
                          const HTTPCookieStorage* jar);
/// The same, sharing `request` itself when it already is as it goes on the wire.
std::shared_ptr<const URLRequest> prepareRequest(std::shared_ptr<const URLRequest> request,
                                                 std::optional<std::int64_t> bodySize,
                                                 const HTTPCookieStorage* jar);

/// The request to propose for a redirection from `request` (as the caller made it) answered by
/// `response`, or nothing when the response is not a usable redirection.
std::optional<URLRequest> redirectRequest(const URLRequest& request,
                                          const HTTPURLResponse& response);

/// Whether a request sends a body: a body given, an upload file, or a method that always has one.
std::optional<std::int64_t> bodySizeOf(const URLRequest& request,
                                       const std::optional<std::string>& uploadFile);

class Exchange;
struct HeaderLines;

/// A URL read for a transfer, shared by the exchanges that go to it (most go to a handful of URLs).
struct ReadURL {
    std::string given;   ///< the text as the request held it
    std::string text;    ///< as handed to libcurl
    std::string origin;  ///< "scheme://host:port"
};

class ExchangeObserver {
  public:
    virtual ~ExchangeObserver() = default;
    /// The final (non-1xx) header block arrived. False stops the exchange (done with kStopped).
    virtual bool onResponse(Exchange& exchange) = 0;
    /// Body bytes; false holds them back and pauses receiving until the owner resumes it.
    virtual bool onBody(Exchange& exchange, const char* data, std::size_t size) = 0;
    virtual void onBodySent(Exchange& exchange, std::int64_t step, std::int64_t total,
                            std::int64_t expected) = 0;
    /// Whether the owner checks the exchange's deadline itself (asked when the exchange is made).
    virtual bool watchesDeadline() const { return false; }
    /// Whether onBodySent is to follow a body handed over whole as it goes out, rather than come
    /// once when the response arrives (asked when the exchange is made).
    virtual bool followsSending() const { return true; }
};

class Exchange {
  public:
    enum class Abort { None, TimedOut, OversizedHeaders, OversizedBody, Stopped, FileUnreadable };

    /// Makes in `place` an exchange ready to run for a prepared request, or leaves it empty and
    /// answers the error that prevents it. (Made in place: an owner keeps its exchange within
    /// itself rather than in an allocation of its own.)
    /// pool: where the handle comes from and, once reuse is allowed, goes back to (the caller's
    /// thread's); without one the handle is the exchange's own.
    static std::optional<Error> make(std::optional<Exchange>& place,
                                     std::shared_ptr<const URLRequest> prepared,
                                     const std::optional<std::string>& uploadFile,
                                     ExchangeObserver& observer, EasyPool* pool = nullptr);
    /// Only make() can name the key (the constructor is public for std::optional's sake).
    class Key {
        friend class Exchange;
        Key() = default;
    };
    Exchange(Key, std::shared_ptr<const URLRequest> prepared, std::shared_ptr<const ReadURL> target,
             ExchangeObserver& observer, EasyPool* pool);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    CURL* handle() const { return easy_.get(); }
    /// The request as sent (shared with whoever shows it; never changed once the exchange runs).
    const std::shared_ptr<const URLRequest>& request() const { return request_; }
    /// The URL as handed to libcurl: no fragment, dot segments resolved.
    const std::string& url() const { return url_; }
    /// The final response once its header block is in; shared, never changed afterwards.
    const std::shared_ptr<const HTTPURLResponse>& response() const { return response_; }

    /// The origin ("scheme://host:port") whose connection slots the exchange takes.
    const std::string& origin() const { return target_->origin; }

    // Time. The exchange must be over within its budget (the request's timeout unless set): the
    // clock runs from start() to the last byte, and stands while the owner is asked something.
    void setBudget(std::chrono::steady_clock::duration budget) { budget_ = budget; }
    /// The transfer has its connection slot: the clock starts.
    void start();
    void setWaiting(bool waiting);
    /// When the budget runs out, or nothing while the clock stands.
    std::optional<std::chrono::steady_clock::time_point> deadline() const;
    /// What is left of the budget (a redirection's next hop gets it).
    std::chrono::steady_clock::duration remainingBudget() const;
    /// For curl_easy_perform, where nothing pauses the clock: libcurl ends the transfer itself when
    /// the rest of the budget is spent.
    void limitTransferToBudget();

    // Size. The body is refused once it would exceed this many bytes.
    void setMaximumBodySize(std::int64_t bytes) { maximumBodySize_ = bytes; }
    /// Whether the received response announces a body over the maximum (checked by the owner when
    /// it takes the response as the final one).
    bool announcesOversizedBody() const;

    /// The transfer ended normally and the handle is out of any multi handle: it may serve again.
    void allowHandleReuse() { reusable_ = true; }

    void abort(Abort reason) { abort_ = reason; }
    Abort aborted() const { return abort_; }

    /// The outcome of a finished exchange as the service reports it: nothing for success (also for
    /// an exchange its observer stopped), otherwise the NSURLErrorDomain error.
    std::optional<Error> outcome(CURLcode code) const;

  private:
    std::optional<Error> configure(const std::optional<std::string>& uploadFile);
    void configureBody(std::int64_t size);
    /// Sets the options every exchange shares on a new or reset handle.
    static void configureShared(CURL* easy);

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* self);
    static int onSeek(void* self, curl_off_t offset, int origin);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    std::size_t header(const char* data, std::size_t size);
    /// Reports the body sent up to `sent` bytes, when that is news.
    void noteBodySent(std::int64_t sent);
    void endOfHeaderBlock();
    bool clockRuns() const { return started_ && !waiting_; }

    std::shared_ptr<const URLRequest> request_;
    std::shared_ptr<const ReadURL> target_;
    const std::string& url_;  ///< as handed to libcurl, and named in errors and the response
    ExchangeObserver& observer_;
    EasyPool* pool_;
    bool reusable_ = false;
    Easy easy_;
    std::shared_ptr<const HeaderLines> headerLines_;  ///< what CURLOPT_HTTPHEADER points at
    std::shared_ptr<const std::string> caBlob_;

    // Body source: memory (request_->httpBody) or a file.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
    std::int64_t bodySize_ = -1;
    std::int64_t bodyOffset_ = 0;  ///< sent (or read out) so far
    bool bodyUpFront_ = false;

    // Header block being received.
    std::vector<std::pair<std::string, std::string>> fields_;
    std::size_t headerBytes_ = 0;
    std::shared_ptr<const HTTPURLResponse> response_;

    // Budget left when the clock last started, and when that was (monotonic).
    std::chrono::steady_clock::duration budget_;
    std::chrono::steady_clock::time_point runningSince_;
    bool started_ = false;
    bool waiting_ = false;
    // An owner that watches the deadline (the engine checks it on every pass, and wakes for it)
    // spares libcurl's progress calls, a dozen per exchange, reading the clock.
    const bool ownerWatchesDeadline_;
    std::int64_t maximumBodySize_ = std::numeric_limits<std::int64_t>::max();
    std::int64_t bodyBytes_ = 0;
    Abort abort_ = Abort::None;
};

enum class HeadLine { StatusLine, Field, End };
/// Reads one line of a response head as libcurl hands it over (with its line end): a status line
/// starts a new block (`fields` cleared), an empty line ends one, a field line (or a folded
/// continuation) joins `fields`; a line that is no field is passed over. The status code is
/// libcurl's to read.
HeadLine readHeadLine(std::string_view line,
                      std::vector<std::pair<std::string, std::string>>& fields);
/// Builds a response from a header block.
HTTPURLResponse makeResponse(const std::string& url, std::int64_t statusCode,
                             std::vector<std::pair<std::string, std::string>> fields);
/// The same, into a fresh response where it is to stay (a shared one, say) rather than moved there.
void fillResponse(HTTPURLResponse& response, const std::string& url, std::int64_t statusCode,
                  std::vector<std::pair<std::string, std::string>> fields);

}  // namespace plovendale::curl
