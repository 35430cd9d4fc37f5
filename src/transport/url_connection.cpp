#include "transport/curl_exchange.h"
#include "transport/http_cookie_storage.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

// Collects one exchange on the calling thread; stops a redirection's exchange at its header block.
class SynchronousLoad final : public curl::ExchangeObserver {
  public:
    explicit SynchronousLoad(const URLRequest& hop) : hop_(hop) {}

    bool onResponse(curl::Exchange& exchange) override {
        const HTTPURLResponse& response = *exchange.response();
        if (hop_.httpShouldHandleCookies) {
            auto& jar = HTTPCookieStorage::shared();
            for (const auto& cookie : HTTPCookie::cookiesWithResponseHeaderFields(
                     response.rawHeaderFields, response.url)) {
                jar.setCookie(cookie);
            }
        }
        next_ = curl::redirectRequest(hop_, response);
        if (!next_ && exchange.announcesOversizedBody()) {
            exchange.abort(curl::Exchange::Abort::OversizedBody);
            return false;
        }
        return !next_;  // a redirection's body is of no use
    }
    bool onBody(curl::Exchange&, const char* data, std::size_t size) override {
        const auto* first = reinterpret_cast<const std::uint8_t*>(data);  // a copy, not a loop
        body_.insert(body_.end(), first, first + size);
        return true;
    }
    void onBodySent(curl::Exchange&, std::int64_t, std::int64_t, std::int64_t) override {}

    const std::optional<URLRequest>& next() const { return next_; }
    Bytes& body() { return body_; }

  private:
    const URLRequest& hop_;
    std::optional<URLRequest> next_;
    Bytes body_;
};

}  // namespace

std::optional<Bytes> URLConnection::sendSynchronousRequest(const URLRequest& request,
                                                           std::optional<HTTPURLResponse>* response,
                                                           std::optional<Error>* error,
                                                           std::int64_t maximumBodySize) {
    if (response) response->reset();
    if (error) error->reset();
    auto fail = [&](Error failure) -> std::optional<Bytes> {
        if (error) *error = std::move(failure);
        return std::nullopt;
    };
    if (!curl::looksLikeAbsoluteURL(request.url))
        return fail(curl::urlError(URLErrorCode::kBadURL, request.url));

    URLRequest hop = request;
    std::optional<std::chrono::steady_clock::duration> budget;  // the first hop: the timeout
    for (int redirections = 0;; ++redirections) {
        const auto* jar = hop.httpShouldHandleCookies ? &HTTPCookieStorage::shared() : nullptr;
        SynchronousLoad load(hop);
        std::optional<curl::Exchange> made;
        if (auto failure =
                curl::Exchange::make(made,
                                     std::make_shared<const URLRequest>(curl::prepareRequest(
                                         hop, curl::bodySizeOf(hop, std::nullopt), jar)),
                                     std::nullopt, load)) {
            return fail(*failure);
        }
        auto& exchange = *made;
        if (budget) exchange.setBudget(*budget);
        exchange.setMaximumBodySize(maximumBodySize);
        exchange.start();
        exchange.limitTransferToBudget();

        const CURLcode code = curl_easy_perform(exchange.handle());
        budget = exchange.remainingBudget();
        if (auto failure = exchange.outcome(code)) return fail(*failure);
        if (!exchange.response())
            return fail(curl::urlError(URLErrorCode::kBadServerResponse, hop.url));
        if (load.next()) {
            if (redirections >= curl::kMaxRedirections) {
                return fail(curl::urlError(URLErrorCode::kHTTPTooManyRedirects, hop.url));
            }
            hop = *load.next();
            continue;
        }
        if (response) *response = *exchange.response();
        return std::move(load.body());
    }
}

}  // namespace plovendale
