// Response bytes (status line, header block, body) as the transport receives them: one exchange of
// the transport with a listener on a Unix socket of this process that answers with the fuzzed
// reply, then what the URL-loading layer makes of the response (cookies, redirection, text
// decoding of the body).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "plovendale/http/st_http_request.h"
#include "transport/curl_exchange.h"
#include "util/text.h"

using namespace plovendale;

namespace {

// Far more than any input (libFuzzer's default max_len is 4 KiB); the whole reply fits in the
// socket buffer, so writing it never blocks.
constexpr std::size_t kMaxReply = 64 * 1024;

class Collector final : public curl::ExchangeObserver {
  public:
    bool onResponse(curl::Exchange&) override { return true; }
    bool onBody(curl::Exchange&, const char* data, std::size_t size) override {
        body.insert(body.end(), data, data + size);
        return true;
    }
    void onBodySent(curl::Exchange&, std::int64_t, std::int64_t, std::int64_t) override {}
    Bytes body;
};

/// The listening socket, made once; a Unix socket leaves no TIME_WAIT behind, however many
/// exchanges a run makes.
struct Listener {
    Listener() {
        path = fuzz::scratchDirectory() + "/reply.sock";
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        FUZZ_CHECK(fd >= 0 && path.size() < sizeof address.sun_path);
        path.copy(address.sun_path, path.size());
        FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   ::listen(fd, 4) == 0);
    }
    std::string path;
    int fd = -1;
};

/// The server's side of one exchange: once libcurl is connected, and before it sends the
/// request, the whole reply is written and the sending side closed.
struct Server {
    int listener = -1;
    std::string_view reply;
    int connection = -1;
    ~Server() {
        if (connection >= 0) ::close(connection);
    }
};

int answerOnConnect(void* server, char*, char*, int, int) {
    auto* self = static_cast<Server*>(server);
    if (self->connection >= 0) return CURL_PREREQFUNC_ABORT;  // one connection per exchange
    self->connection = ::accept4(self->listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (self->connection < 0) return CURL_PREREQFUNC_ABORT;
    const int buffer = static_cast<int>(kMaxReply * 2);
    ::setsockopt(self->connection, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    if (!self->reply.empty() && ::write(self->connection, self->reply.data(), self->reply.size()) !=
                                    static_cast<ssize_t>(self->reply.size())) {
        return CURL_PREREQFUNC_ABORT;
    }
    ::shutdown(self->connection, SHUT_WR);
    return CURL_PREREQFUNC_OK;
}

const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Listener listener;
    fuzz::InputReader input(data, size);
    const std::uint8_t choice = input.byte();
    Server server{listener.fd, input.take(kMaxReply)};

    URLRequest request;
    request.url = "http://127.0.0.1:9/fuzz/reply?x=1";
    request.httpMethod = kMethods[choice % 4];
    if (choice % 4 >= 2) request.httpBody = Bytes{'a', '=', '1'};
    request.timeoutInterval = 5;
    auto prepared = std::make_shared<const URLRequest>(
        curl::prepareRequest(request, curl::bodySizeOf(request, std::nullopt), nullptr));

    Collector collector;
    auto made = curl::Exchange::make(std::move(prepared), std::nullopt, collector);
    auto* exchange = std::get_if<std::unique_ptr<curl::Exchange>>(&made);
    FUZZ_CHECK(exchange);
    CURL* easy = (*exchange)->handle();
    curl_easy_setopt(easy, CURLOPT_UNIX_SOCKET_PATH, listener.path.c_str());
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &answerOnConnect);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &server);
    const CURLcode code = curl_easy_perform(easy);
    const auto failure = (*exchange)->outcome(code);
    const auto& response = (*exchange)->response();
    if (!response) return 0;

    FUZZ_CHECK(response->url == (*exchange)->url());
    HTTPCookie::cookiesWithResponseHeaderFields(response->rawHeaderFields, response->url);
    curl::redirectRequest(request, *response);
    response->valueForHTTPHeaderField("Content-Type");
    if (!failure) {
        static const auto decoder = STHTTPRequest::requestWithURLString(request.url);
        // Whatever the declared character set, a body decodes to valid text or to nothing.
        const auto text = decoder->stringWithData(collector.body, response->textEncodingName);
        FUZZ_CHECK(!text || isValidUTF8(*text));
    }
    return 0;
}
