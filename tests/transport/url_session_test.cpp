#include "transport/url_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "support/local_server.h"
#include "support/url_session_recorder.h"
#include "transport/curl_exchange.h"
#include "transport/curl_text.h"
#include "transport/http_cookie_storage.h"

namespace plovendale {
namespace {

using test::load;
using test::LocalServer;
using test::RawConnection;
using test::RawServer;
using test::RecordingDelegate;
using test::requestFor;
using Events = std::vector<std::string>;

// Sessions end on the I/O thread once their last task is done, so the count settles a little after
// the work; bounded.
bool liveSessionsSettleAt(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (URLSession::liveSessionCount() != count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return URLSession::liveSessionCount() == count;
}

// The server of the tests that need only ordinary answers, started once: /echo answers any method
// with what it was sent, /status/N with that status and no body, /length/N and /chunked/N with N
// bytes, /login with two cookies and /cookies with the Cookie field; /moved, /30N and /loop
// redirect.
LocalServer& shared() {
    static LocalServer server;
    static const bool started = [] {
        httplib::Server& routes = server.server();
        const auto echo = [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.method + " " + std::to_string(request.body.size()) + " [" +
                                     request.get_header_value("Accept-Encoding") + "] [" +
                                     request.get_header_value("X-One") + "] [" +
                                     request.get_header_value("Content-Type") + "]",
                                 "text/plain");
        };
        routes.Get("/echo", echo).Post("/echo", echo).Put("/echo", echo).Delete("/echo", echo);
        routes.Get(R"(/status/(\d+))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.status = std::stoi(request.matches[1].str());
                   });
        routes.Get(R"(/length/(\d+))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.set_content(std::string(std::stoul(request.matches[1].str()), 'l'),
                                            "text/plain");
                   });
        routes.Get(
            R"(/chunked/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
                const std::size_t size = std::stoul(request.matches[1].str());
                response.set_chunked_content_provider(
                    "text/plain", [size](std::size_t offset, httplib::DataSink& sink) {
                        if (offset >= size) {
                            sink.done();
                            return true;
                        }
                        const std::string chunk(std::min<std::size_t>(size - offset, 30000), 'c');
                        return sink.write(chunk.data(), chunk.size());
                    });
            });
        routes.Get("/login", [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Set-Cookie", "sid=abc; Path=/; HttpOnly");
            response.set_header("Set-Cookie", "theme=dark; Max-Age=3600");
        });
        routes.Get("/cookies", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.get_header_value("Cookie"), "text/plain");
        });
        routes.Get("/final", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("final " + request.get_header_value("Authorization"),
                                 "text/plain");
        });
        routes.Post("/final", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(
                "posted " + request.body + " as " + request.get_header_value("Content-Type"),
                "text/plain");
        });
        routes.Get("/moved", [](const httplib::Request&, httplib::Response& response) {
            response.status = 302;
            response.set_header("Location", "/final");
            response.set_content("moved", "text/plain");
        });
        routes.Post(R"(/(30\d))", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1].str());
            response.set_header("Location", "final");
        });
        routes.Get("/loop", [](const httplib::Request&, httplib::Response& response) {
            response.status = 302;
            response.set_header("Location", "/loop");
        });
        return server.start();
    }();
    EXPECT_TRUE(started);
    return server;
}

TEST(URLSessionTest, DeliversAResponseItsBodyAndTheEventsInOrderOffTheCallersThread) {
    LocalServer& server = shared();
    ASSERT_TRUE(liveSessionsSettleAt(0)) << "sessions of earlier tests are still alive";

    // A delegate that throws stops neither its task nor the service.
    struct Throwing final : RecordingDelegate {
        void didReceiveData(URLSession& session, URLSessionTask& task, const Bytes& data) override {
            RecordingDelegate::didReceiveData(session, task, data);
            throw std::runtime_error("delegate fault");
        }
    };
    // Through the delegate thread, and straight from the I/O thread for a delegate that only hands
    // its events on.
    std::thread::id delegateThread;
    for (const bool handsOn : {false, true}) {
        SCOPED_TRACE(handsOn ? "events handed on" : "delegate thread");
        auto delegate = std::make_shared<Throwing>();
        delegate->handsOn = handsOn;
        auto session = URLSession::sessionWithConfiguration(
            URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        EXPECT_EQ(URLSession::liveSessionCount(), 1u);
        auto request = requestFor(server.url("/echo#fragment"));
        request.headerFields.set("X-One", "tester");
        auto task = session->dataTaskWithRequest(request);
        ASSERT_TRUE(task);
        task->resume();
        session->finishTasksAndInvalidate();
        ASSERT_TRUE(delegate->waitInvalidated());

        EXPECT_EQ(delegate->eventKinds(),
                  (Events{"response 200", "data", "cache", "complete", "invalid"}));
        EXPECT_FALSE(delegate->error);
        EXPECT_EQ(toString(delegate->body), "GET 0 [] [tester] []");
        EXPECT_EQ(delegate->response->url, server.url("/echo"));
        EXPECT_EQ(task->response()->statusCode, 200);
        EXPECT_FALSE(task->currentRequest()->headerFields.get("Host"));

        const auto threads = delegate->threads;
        EXPECT_TRUE(std::all_of(threads.begin(), threads.end(),
                                [&](auto id) { return id == threads.front(); }));
        EXPECT_NE(threads.front(), std::this_thread::get_id());
        if (handsOn) {
            EXPECT_NE(threads.front(), delegateThread) << "not through the delegate thread";
        } else {
            delegateThread = threads.front();
        }
        EXPECT_TRUE(liveSessionsSettleAt(0));
        EXPECT_FALSE(session->dataTaskWithRequest(request))
            << "an invalidated session makes no tasks";
    }
}

TEST(URLSessionTest, LeavesStatusesToTheCallerAndRefusesTextThatIsNoURL) {
    LocalServer& server = shared();

    for (int status : {204, 304, 404, 500}) {
        auto delegate = load(requestFor(server.url("/status/" + std::to_string(status))));
        ASSERT_TRUE(delegate->completions) << status;
        EXPECT_FALSE(delegate->error) << status;
        EXPECT_EQ(delegate->response->statusCode, status);
        const auto events = delegate->eventKinds();
        EXPECT_EQ(std::count(events.begin(), events.end(), "cache"), status == 204 ? 1 : 0)
            << status;
    }

    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::ephemeralSessionConfiguration(), nullptr);
    for (const char* text :
         {"", "not a url", "/relative/path", "http://exa mple.com/", "http://\x01/"}) {
        EXPECT_FALSE(session->dataTaskWithRequest(requestFor(text))) << text;
    }
    for (auto [text, code] : {std::pair{"ftp://127.0.0.1/file", URLErrorCode::kUnsupportedURL},
                              std::pair{"http://:80/", URLErrorCode::kBadURL}}) {
        auto delegate = load(requestFor(text));
        ASSERT_TRUE(delegate->completions) << text;
        EXPECT_EQ(delegate->error->code, code) << text;
        EXPECT_EQ(delegate->error->domain, kNSURLErrorDomain);
    }
    session->finishTasksAndInvalidate();
}

TEST(URLSessionTest, AsksBeforeEachRedirectionAndFollowsOrStops) {
    LocalServer& server = shared();

    auto request = requestFor(server.url("/moved"));
    request.headerFields.set("Authorization", "Basic dGVzdA==");
    auto followed = load(request);
    EXPECT_EQ(followed->eventKinds(),
              (Events{"redirect 302", "response 200", "data", "cache", "complete", "invalid"}));
    ASSERT_EQ(followed->redirects.size(), 1u);
    EXPECT_EQ(followed->redirects[0].url, server.url("/final"));
    EXPECT_EQ(toString(followed->body), "final Basic dGVzdA==")
        << "same origin keeps the caller's fields";
    EXPECT_EQ(followed->sentRequest.url, server.url("/final"));

    auto refusing = std::make_shared<RecordingDelegate>();
    refusing->followRedirects = false;
    load(requestFor(server.url("/moved")), refusing);
    EXPECT_EQ(refusing->eventKinds(),
              (Events{"redirect 302", "response 302", "data", "complete", "invalid"}));
    EXPECT_EQ(toString(refusing->body), "moved");
    EXPECT_FALSE(refusing->error);

    // A POST becomes a GET without its body after a 303; a 307 or a 308 sends it again as it was.
    for (const auto& [status, method, body] :
         {std::tuple{"303", "GET", "final "},
          std::tuple{"307", "POST", "posted a=1 as application/x-www-form-urlencoded"},
          std::tuple{"308", "POST", "posted a=1 as application/x-www-form-urlencoded"}}) {
        auto post = requestFor(server.url(std::string("/") + status));
        post.httpMethod = "POST";
        post.httpBody = toBytes("a=1");
        auto redirected = load(post);
        EXPECT_EQ(redirected->redirects.at(0).httpMethod, method) << status;
        EXPECT_EQ(redirected->redirects.at(0).httpBody.has_value(), method[0] == 'P') << status;
        EXPECT_EQ(toString(redirected->body), body) << status;
        std::optional<Error> error;
        EXPECT_EQ(URLConnection::sendSynchronousRequest(post, nullptr, &error), toBytes(body))
            << status;
    }

    // Another port of the same host is another origin: the caller's credentials and cookie stay.
    std::mutex headMutex;
    std::string otherPortHead;
    RawServer otherPort([&](RawConnection& connection) {
        std::lock_guard lock(headMutex);
        otherPortHead = connection.requestHead();
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    RawServer redirecting([&otherPort](RawConnection& connection) {
        connection.send("HTTP/1.1 302 Found\r\nLocation: " + otherPort.url("/next") +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    auto crossing = requestFor(redirecting.url("/"));
    crossing.headerFields.set("Authorization", "Basic dGVzdA==");
    crossing.headerFields.set("Cookie", "session=1");
    crossing.httpShouldHandleCookies = false;
    EXPECT_EQ(toString(load(crossing)->body), "ok");
    std::lock_guard lock(headMutex);
    EXPECT_EQ(otherPortHead.find("Authorization"), std::string::npos) << otherPortHead;
    EXPECT_EQ(otherPortHead.find("session=1"), std::string::npos) << otherPortHead;

    auto looping = load(requestFor(server.url("/loop")));
    ASSERT_TRUE(looping->error);
    EXPECT_EQ(looping->error->code, URLErrorCode::kHTTPTooManyRedirects);
    EXPECT_EQ(looping->redirects.size(), 16u);
}

// The synchronous path shares the exchange and its error mapping: the misbehaving services run on
// both.
TEST(URLSessionTest, ReportsTransportFailuresAsPlatformErrors) {
    RawServer cutShort([](RawConnection& connection) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
    });
    struct Row {
        std::string url;
        std::int64_t code;
        const char* description;
    };
    const Row rows[] = {
        {"http://127.0.0.1:" + std::to_string(test::refusedPort()) + "/",
         URLErrorCode::kCannotConnectToHost, "Could not connect to the server."},
        {"http://no-such-host.invalid/", URLErrorCode::kCannotFindHost, nullptr},
        {cutShort.url("/"), URLErrorCode::kNetworkConnectionLost,
         "The network connection was lost."},
    };
    for (const auto& [url, code, description] : rows) {
        auto delegate = load(requestFor(url, 1.0));
        ASSERT_TRUE(delegate->error) << url;
        EXPECT_EQ(delegate->error->code, code) << url;
        if (description) {
            EXPECT_EQ(delegate->error->localizedDescription(), description);
        }
        if (code == URLErrorCode::kNetworkConnectionLost) {
            EXPECT_EQ(delegate->response->statusCode, 200);
        } else {
            EXPECT_EQ(delegate->eventKinds(), (Events{"complete", "invalid"})) << url;
        }
    }
}

// Every misbehaviour of a service, each on both paths at once, each against a server of its own:
// each ends in the platform's error for it, by the timeout, and no session is left behind. The
// timeout bounds the whole exchange, not only its silences: redirections that each answer well
// within it still time out.
TEST(URLSessionTest, EachMisbehavingServiceEndsInItsErrorByTheTimeout) {
    LocalServer slowRedirects;  // every hop answers after 300 ms, with one more redirection
    slowRedirects.server().Get("/hop", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        response.status = 302;
        response.set_header("Location", "/hop");
    });
    ASSERT_TRUE(slowRedirects.start());
    using test::Misbehaviour;
    const std::map<Misbehaviour, std::int64_t> codes = {
        {Misbehaviour::EndlessChunkedBody, URLErrorCode::kDataLengthExceedsMaximum},
        {Misbehaviour::HugeContentLength, URLErrorCode::kDataLengthExceedsMaximum},
        {Misbehaviour::TrickleBody, URLErrorCode::kTimedOut},
        {Misbehaviour::TrickleHeaders, URLErrorCode::kTimedOut},
        {Misbehaviour::SilentAfterHeaders, URLErrorCode::kTimedOut},
        {Misbehaviour::ResetMidBody, URLErrorCode::kNetworkConnectionLost},
        {Misbehaviour::GarbageStatusLine, URLErrorCode::kBadServerResponse},
        {Misbehaviour::ResetBeforeAnyByte, URLErrorCode::kNetworkConnectionLost},
        {Misbehaviour::ResetMidHeaders, URLErrorCode::kNetworkConnectionLost},
        {Misbehaviour::TruncatedChunkedBody, URLErrorCode::kNetworkConnectionLost},
        {Misbehaviour::RedirectLoop, URLErrorCode::kHTTPTooManyRedirects},
        {Misbehaviour::RedirectToFTP, URLErrorCode::kUnsupportedURL},
        {Misbehaviour::RedirectToFile, URLErrorCode::kUnsupportedURL},
        {Misbehaviour::WrongHostCertificate, URLErrorCode::kServerCertificateUntrusted},
    };
    const auto& certificates = test::TestCertificates::shared();
    ASSERT_TRUE(certificates.available()) << "openssl could not make a test certificate";
    ASSERT_TRUE(
        URLSessionTLS::setAdditionalCAFile(certificates.caFile()));  // only the host name is wrong
    constexpr std::int64_t kLimit = 1 << 20;
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBodySize = kLimit;
    using Outcome = std::pair<std::optional<Error>, std::chrono::milliseconds>;
    const auto start = [&](const std::string& url, bool synchronous) {
        return std::async(std::launch::async, [=, request = requestFor(url, 2.0)] {
            const auto started = std::chrono::steady_clock::now();
            std::optional<Error> error;
            if (synchronous) {
                URLConnection::sendSynchronousRequest(request, nullptr, &error, kLimit);
            } else {
                error = load(request, nullptr, configuration)->error;
            }
            return Outcome{error, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)};
        });
    };
    std::vector<std::unique_ptr<test::MisbehavingServer>> servers;
    std::vector<std::tuple<std::string, std::int64_t, std::future<Outcome>>> rows;
    for (const bool synchronous : {false, true}) {
        const std::string path = synchronous ? ", sync" : "";
        for (const Misbehaviour misbehaviour : test::kMisbehaviours) {
            servers.push_back(std::make_unique<test::MisbehavingServer>(misbehaviour));
            rows.emplace_back(test::nameOf(misbehaviour) + path, codes.at(misbehaviour),
                              start(servers.back()->url("/"), synchronous));
        }
        rows.emplace_back("slow redirections" + path, URLErrorCode::kTimedOut,
                          start(slowRedirects.url("/hop"), synchronous));
    }
    for (auto& [row, code, outcome] : rows) {
        const auto [error, elapsed] = outcome.get();
        ASSERT_TRUE(error) << row;
        EXPECT_EQ(error->domain, kNSURLErrorDomain) << row;
        EXPECT_EQ(error->code, code) << row;
        if (code == URLErrorCode::kTimedOut) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(1900)) << row;
        }
        // Thirty transfers at once, TLS among them, on a loaded machine (a sanitizer build)
        // take a while to settle; without the timeout the trickling and redirecting ones would
        // run on for several seconds more.
        EXPECT_LE(elapsed, std::chrono::milliseconds(2000 + 3000)) << row;
    }
    URLSessionTLS::clearAdditionalCA();
    EXPECT_TRUE(liveSessionsSettleAt(0));
}

TEST(URLSessionTest, WaitingForAFreeConnectionDoesNotCountAgainstTheTimeout) {
    LocalServer server;
    server.server().new_task_queue = [] { return new httplib::ThreadPool(64); };
    std::atomic<int> serving{0}, mostAtOnce{0};
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        const int now = ++serving;
        for (int most = mostAtOnce; now > most && !mostAtOnce.compare_exchange_weak(most, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        --serving;
        response.set_content("done", "text/plain");
    });
    ASSERT_TRUE(server.start());

    // Eight rounds of six take 2.4 s: past the 2 s timeout only when waiting counts against it.
    auto delegate = load(std::vector<URLRequest>(48, requestFor(server.url("/slow"), 2.0)));
    EXPECT_EQ(delegate->completions, 48);
    EXPECT_EQ(delegate->failures, 0);
    EXPECT_LE(mostAtOnce.load(), 6) << "six transfers per origin at a time";
}

TEST(URLSessionTest, BodiesOverTheLimitFailTheirTaskBeforeTheyAreDelivered) {
    LocalServer& server = shared();
    constexpr std::int64_t kLimit = 100000;
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBodySize = kLimit;
    const Events whole = {"response 200", "data", "cache", "complete", "invalid"};
    for (const auto& [path, events] : {
             std::pair{"/length/100000", whole},
             std::pair{"/length/100001", Events{"complete", "invalid"}},  // from Content-Length
             std::pair{"/chunked/100000", whole},
             std::pair{"/chunked/250000", Events{"response 200", "data", "complete", "invalid"}},
         }) {
        auto delegate = load(requestFor(server.url(path)), nullptr, configuration);
        EXPECT_EQ(delegate->eventKinds(), events) << path;
        const std::int64_t code = delegate->error ? delegate->error->code : 0;
        EXPECT_EQ(code, events == whole ? 0 : URLErrorCode::kDataLengthExceedsMaximum) << path;
        EXPECT_LE(delegate->body.size(), std::size_t{kLimit}) << path;
    }
}

TEST(URLSessionTest, SurvivesHostileReplies) {
    const std::string hugeHeaders = [] {
        std::string text = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 6000; ++i)
            text += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'x') + "\r\n";
        return text + "Content-Length: 0\r\n\r\n";
    }();
    const std::string hugeLine =
        "HTTP/1.1 200 OK\r\nX-Big: " + std::string(200 * 1024, 'y') + "\r\n\r\n";
    const std::vector<std::pair<std::string, std::int64_t>> replies = {
        {"HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n", URLErrorCode::kBadServerResponse},
        {"HTTP/1.1 2x0 OK\r\n\r\n", URLErrorCode::kBadServerResponse},
        {"", URLErrorCode::kNetworkConnectionLost},
        {hugeHeaders, URLErrorCode::kBadServerResponse},
        {hugeLine, URLErrorCode::kBadServerResponse},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZZ\r\nabc\r\n0\r\n\r\n",
         URLErrorCode::kNetworkConnectionLost},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\nabc",
         URLErrorCode::kNetworkConnectionLost},
    };
    for (const auto& [reply, code] : replies) {
        RawServer server([&reply = reply](RawConnection& connection) { connection.send(reply); });
        auto delegate = load(requestFor(server.url("/"), 5.0));
        ASSERT_TRUE(delegate->completions) << reply.substr(0, 40);
        ASSERT_TRUE(delegate->error) << reply.substr(0, 40);
        EXPECT_EQ(delegate->error->code, code) << reply.substr(0, 40);
    }

    RawServer odd([](RawConnection& connection) {
        connection.send(
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=\r\nContent-Length: 4x\r\n"
            "Bad Name: x\r\nX-Folded: one\r\n two\r\nConnection: close\r\n\r\nbody");
    });
    auto delegate = load(requestFor(odd.url("/")));
    ASSERT_TRUE(delegate->completions);
    ASSERT_TRUE(delegate->response) << delegate->error->code;
    EXPECT_FALSE(delegate->response->textEncodingName);
    EXPECT_EQ(delegate->response->expectedContentLength, -1);
    EXPECT_EQ(delegate->response->allHeaderFields.count("Bad Name"), 0u);
    EXPECT_EQ(delegate->response->allHeaderFields.at("X-Folded"), "one two");

    // An informational block before the answer leaves the answer, its fields and its body.
    RawServer hints([](RawConnection& connection) {
        connection.send(
            "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"
            "HTTP/1.1 200 OK\r\nX-Final: yes\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    auto hinted = load(requestFor(hints.url("/")));
    ASSERT_TRUE(hinted->response);
    EXPECT_EQ(hinted->response->statusCode, 200);
    EXPECT_EQ(hinted->response->allHeaderFields.count("Link"), 0u);
    EXPECT_EQ(hinted->response->allHeaderFields.count("X-Final"), 1u);
    EXPECT_EQ(toString(hinted->body), "ok");
}

TEST(URLSessionTest, JoinsRepeatedFieldsUnderTheirFirstSpellingInShortAndLongBlocks) {
    // A long block is matched through a table, a short one by scanning: the result is the same.
    for (const int filler : {0, 100}) {
        std::vector<std::pair<std::string, std::string>> fields = {
            {"content-TYPE", "text/plain; charset=UTF-8"},
            {"X-Twice", "a"},
            {"Content-Length", "7"},
            {"x-twice", "b"},
            {"X-TWICE", "c"}};
        for (int i = 0; i < filler; ++i) fields.emplace_back("X-F" + std::to_string(i), "v");
        const auto response = curl::makeResponse("http://h.example/", 200, fields);
        EXPECT_EQ(response.allHeaderFields.size(), 3u + filler);
        EXPECT_EQ(response.allHeaderFields.at("X-Twice"), "a, b, c") << filler;
        EXPECT_EQ(response.valueForHTTPHeaderField("X-TWICE"), "a, b, c") << filler;
        EXPECT_EQ(response.textEncodingName, "utf-8") << filler;
        EXPECT_EQ(response.expectedContentLength, 7) << filler;
        EXPECT_EQ(response.rawHeaderFields, fields) << filler;
    }
}

TEST(URLSessionTest, FieldNamesAreTokensOfVisibleASCIIWithoutSeparators) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"X-Ok", true},       {"!#$%&'*+-.^_`|~09azAZ", true},
        {"", false},          {"Bad Name", false},
        {"X(y)", false},      {"X:y", false},
        {"a{b}", false},      {"\"q\"", false},
        {"X\t", false},       {"X\x7f", false},
        {"X\xc3\xa9", false}, {std::string("X\0y", 3), false},
    };
    for (const auto& [name, token] : names) EXPECT_EQ(curl::isToken(name), token) << name;
}

TEST(URLSessionTest, CancelsRunningAndSuspendedTasksAndRefusedResponses) {
    RawServer silent(
        [](RawConnection& connection) { connection.waitForClientClose(std::chrono::seconds(10)); });
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    auto task = session->dataTaskWithRequest(requestFor(silent.url("/")));
    task->resume();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (silent.connections() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    task->cancel();
    ASSERT_TRUE(delegate->waitCompleted());
    EXPECT_EQ(delegate->error->code, URLErrorCode::kCancelled);
    EXPECT_EQ(delegate->error->localizedDescription(), "cancelled");
    task->cancel();  // a completed task stays completed

    auto idle = std::make_shared<RecordingDelegate>();
    auto idleSession = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::defaultSessionConfiguration(), idle);
    idleSession->dataTaskWithRequest(requestFor(silent.url("/")))->cancel();
    ASSERT_TRUE(idle->waitCompleted());
    EXPECT_EQ(idle->error->code, URLErrorCode::kCancelled);

    auto refusing = std::make_shared<RecordingDelegate>();
    refusing->keepResponseHandler = [](auto answer) {
        answer(URLSessionResponseDisposition::Cancel);
    };
    load(requestFor(shared().url("/echo")), refusing);
    EXPECT_EQ(refusing->eventKinds(), (Events{"response 200", "complete", "invalid"}));
    EXPECT_EQ(refusing->error->code, URLErrorCode::kCancelled);
    session->finishTasksAndInvalidate();
    idleSession->finishTasksAndInvalidate();
}

TEST(URLSessionTest, HoldsTheBodyBackUntilTheResponseIsAnsweredFromAnotherThread) {
    LocalServer server;
    std::atomic<bool> served{false};
    server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(100000, 'z'), "application/octet-stream");
    });
    server.server().set_logger(
        [&](const httplib::Request&, const httplib::Response&) { served = true; });
    ASSERT_TRUE(server.start());

    std::promise<std::function<void(URLSessionResponseDisposition)>> handedOver;
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->keepResponseHandler = [&](auto handler) { handedOver.set_value(std::move(handler)); };
    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    session->dataTaskWithRequest(requestFor(server.url("/")))->resume();
    session->finishTasksAndInvalidate();
    auto pending = handedOver.get_future();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!served && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(delegate->eventKinds(), (Events{"response 200"}));

    std::thread([answer = pending.get()] {
        answer(URLSessionResponseDisposition::Allow);
        answer(URLSessionResponseDisposition::Cancel);  // only the first answer counts
    }).join();
    ASSERT_TRUE(delegate->waitInvalidated());
    EXPECT_FALSE(delegate->error);
    EXPECT_EQ(delegate->body.size(), 100000u);
}

TEST(URLSessionTest, RunsManyTasksOfManySessionsOnTheOneIOThread) {
    LocalServer& server = shared();
    load(requestFor(server.url("/echo")));  // the service's threads exist from here on
    const int baseline = test::threadCount();

    constexpr int kSessions = 20, kTasksPerSession = 10;
    std::vector<std::shared_ptr<RecordingDelegate>> delegates;
    std::vector<std::shared_ptr<URLSession>> sessions;
    int peak = baseline;
    for (int s = 0; s < kSessions; ++s) {
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration(
            URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        for (int t = 0; t < kTasksPerSession; ++t) {
            session
                ->dataTaskWithRequest(
                    requestFor(server.url("/echo?" + std::to_string(s * 100 + t))))
                ->resume();
        }
        session->finishTasksAndInvalidate();
        delegates.push_back(delegate);
        sessions.push_back(session);
        peak = std::max(peak, test::threadCount());
    }
    for (auto& delegate : delegates) {
        ASSERT_TRUE(delegate->waitUntil([&] {
            peak = std::max(peak, test::threadCount());
            return delegate->invalidated;
        }));
        const auto events = delegate->eventKinds();
        EXPECT_EQ(std::count(events.begin(), events.end(), "complete"), kTasksPerSession);
        EXPECT_EQ(events.back(), "invalid");
        EXPECT_FALSE(delegate->error);
    }
    EXPECT_LE(peak, baseline + 1) << "no thread per session or per request";

    // Many origins, most of them gone at once (nothing listens on these ports): the service
    // forgets idle origins as it goes and still serves the one that answers.
    std::vector<URLRequest> requests;
    for (int port = 1; port <= 80; ++port) {
        requests.push_back(requestFor(port % 20 == 0
                                          ? server.url("/echo")
                                          : "http://127.0.0.1:" + std::to_string(port) + "/"));
    }
    EXPECT_EQ(load(requests)->completions, 80);
    EXPECT_EQ(toString(load(requestFor(server.url("/echo")))->body), "GET 0 [] [] []");
}

TEST(URLSessionTest, UploadsAFileOrMemoryAsTheBodyAndReportsProgress) {
    test::TempDir dir;
    const std::string file = dir.file("body.bin");
    std::ofstream(file, std::ios::binary) << std::string(300000, 'u');

    auto request = requestFor(shared().url("/echo"));
    request.httpMethod = "POST";
    request.headerFields.set("Content-Type", "application/octet-stream");
    // A file is read out piece by piece, a small body handed over whole: both report progress.
    for (const std::int64_t size : {300000, 600}) {
        auto sending = request;
        if (size < 1000) sending.httpBody = Bytes(static_cast<std::size_t>(size), 'm');
        auto delegate =
            load(sending, nullptr, URLSessionConfiguration::defaultSessionConfiguration(),
                 size < 1000 ? "" : file);
        EXPECT_EQ(delegate->sentRequest.headerFields.get("Content-Length"), std::to_string(size));
        ASSERT_FALSE(delegate->sent.empty()) << size;
        EXPECT_EQ(delegate->eventKinds().front(), "sent") << "before the response";
        std::int64_t total = 0;
        for (const auto& progress : delegate->sent) {
            total += progress.step;
            EXPECT_EQ(progress.total, total);
            EXPECT_EQ(progress.expected, size);
        }
        EXPECT_EQ(total, size);
        EXPECT_EQ(toString(delegate->body),
                  "POST " + std::to_string(size) + " [] [] [application/octet-stream]");
        EXPECT_FALSE(delegate->error);
    }

    auto failing = load(request, nullptr, URLSessionConfiguration::defaultSessionConfiguration(),
                        dir.file("missing.bin"));
    ASSERT_TRUE(failing->error);
    EXPECT_EQ(failing->error->code, URLErrorCode::kCannotOpenFile);
    EXPECT_EQ(failing->error->localizedDescription(), "cannot open file");
}

TEST(URLSessionTest, AHandleKeptFromOneRequestCarriesNothingOfItIntoTheNext) {
    // Requests run one after the other, so each takes the handle the one before gave back.
    test::TempDir dir;
    const std::string file = dir.file("body.bin");
    std::ofstream(file, std::ios::binary) << std::string(5000, 'u');

    struct Step {
        const char* method;
        bool body, upload, extras;
        const char* expected;        // empty for a HEAD, which has no body to show
        const char* path = "/echo";  // alternating, as a query and its report do
    };
    const Step steps[] = {
        {"HEAD", false, false, true, ""},
        {"POST", true, false, true, "POST 3 [identity] [1] [text/plain]"},
        {"POST", true, false, false, "POST 3 [] [] [application/x-www-form-urlencoded]"},
        {"HEAD", false, false, true, ""},
        {"POST", true, false, false, "POST 3 [] [] [application/x-www-form-urlencoded]"},
        {"DELETE", false, false, false, "DELETE 0 [] [] []"},
        {"GET", false, false, false, "ll", "/length/2"},
        {"GET", false, false, false, "GET 0 [] [] []"},
        {"GET", false, false, false, "ll", "/length/2"},
        {"PUT", false, true, false, "PUT 5000 [] [] [application/x-www-form-urlencoded]"},
        {"DELETE", false, false, false, "DELETE 0 [] [] []"},
        {"GET", false, false, false, "GET 0 [] [] []"},
    };
    for (const auto& step : steps) {
        auto request = requestFor(shared().url(step.path));
        request.httpMethod = step.method;
        if (step.body) request.httpBody = Bytes{'a', 'b', 'c'};
        if (step.extras) {
            request.headerFields.set("X-One", "1");
            request.headerFields.set("Accept-Encoding", "identity");
            request.headerFields.set("Content-Type", "text/plain");
        }
        auto delegate =
            load(request, nullptr, URLSessionConfiguration::ephemeralSessionConfiguration(),
                 step.upload ? file : "");
        ASSERT_FALSE(delegate->error) << step.method;
        EXPECT_EQ(delegate->response->statusCode, 200) << step.method;
        EXPECT_EQ(toString(delegate->body), step.expected) << step.method;
    }
}

TEST(URLSessionTest, TrustsAServerOnlyOnceItsCAIsConfigured) {
    const auto& certificates = test::TestCertificates::shared();
    ASSERT_TRUE(certificates.available()) << "openssl could not make a test certificate";
    LocalServer server(certificates);
    server.server().Get("/secret", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secret", "text/plain");
    });
    ASSERT_TRUE(server.start());
    const auto request = requestFor(server.url("/secret"));

    auto untrusted = load(request);
    ASSERT_TRUE(untrusted->error);
    EXPECT_EQ(untrusted->error->code, URLErrorCode::kServerCertificateUntrusted);
    EXPECT_EQ(untrusted->error->localizedDescription(),
              "The certificate for this server is invalid.");
    EXPECT_EQ(server.requestCount(), 0) << "nothing is sent to an untrusted server";

    auto notTLS = load(requestFor("https://127.0.0.1:" + std::to_string(shared().port()) + "/"));
    ASSERT_TRUE(notTLS->error);
    EXPECT_EQ(notTLS->error->code, URLErrorCode::kSecureConnectionFailed);

    ASSERT_TRUE(URLSessionTLS::setAdditionalCAFile(certificates.caFile()));
    auto trusted = load(request);
    EXPECT_FALSE(trusted->error);
    EXPECT_EQ(toString(trusted->body), "secret");

    URLSessionTLS::clearAdditionalCA();
    EXPECT_EQ(load(request)->error->code, URLErrorCode::kServerCertificateUntrusted);
    EXPECT_FALSE(URLSessionTLS::setAdditionalCAFile(certificates.keyFile() + ".absent"));
    EXPECT_FALSE(URLSessionTLS::setAdditionalCAFile(certificates.keyFile()))
        << "a key is no certificate";
    // A FIFO nobody writes to is refused, not waited on.
    const std::string fifo = certificates.keyFile() + ".fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto fromFifo =
        std::async(std::launch::async, [&] { return URLSessionTLS::setAdditionalCAFile(fifo); });
    const bool answered = fromFifo.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!answered) ::close(::open(fifo.c_str(), O_WRONLY));  // releases the blocked reader
    EXPECT_TRUE(answered) << "reading the FIFO blocked";
    EXPECT_FALSE(fromFifo.get());
    EXPECT_TRUE(URLSessionTLS::setAdditionalCAFile(certificates.caFile()));
    std::optional<Error> error;
    EXPECT_EQ(URLConnection::sendSynchronousRequest(request, nullptr, &error), toBytes("secret"));
    EXPECT_FALSE(error);
    URLSessionTLS::clearAdditionalCA();
}

TEST(URLSessionTest, SendsAndStoresCookiesOfTheSharedStore) {
    for (const auto& cookie : HTTPCookieStorage::shared().cookies())
        HTTPCookieStorage::shared().deleteCookie(cookie);
    LocalServer& server = shared();
    auto ephemeral = load(requestFor(server.url("/login")), nullptr,
                          URLSessionConfiguration::ephemeralSessionConfiguration());
    EXPECT_FALSE(ephemeral->error);
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty())
        << "an ephemeral session keeps its cookies to itself";

    load(requestFor(server.url("/login")));
    EXPECT_EQ(HTTPCookieStorage::shared().cookiesForURL(server.url("/")).size(), 2u);
    auto echoed = load(requestFor(server.url("/cookies")));
    EXPECT_EQ(echoed->sentRequest.headerFields.get("Cookie"), "sid=abc; theme=dark");

    auto own = requestFor(server.url("/cookies"));
    own.headerFields.set("Cookie", "mine=1");
    EXPECT_EQ(toString(load(own)->body), "mine=1") << "a caller's cookie field is left as it is";

    EXPECT_EQ(
        URLConnection::sendSynchronousRequest(requestFor(server.url("/cookies")), nullptr, nullptr),
        toBytes("sid=abc; theme=dark"));
}

TEST(URLSessionTest, LoopbackTrafficBypassesAnEnvironmentProxyWhateverNoProxySays) {
    const std::string origin = shared().url("/echo");
    RawServer proxy([](RawConnection& connection) {
        connection.send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nproxy");
    });
    struct Environment {
        ~Environment() {
            for (const char* name : {"http_proxy", "no_proxy", "NO_PROXY"}) ::unsetenv(name);
        }
    } restore;
    ::setenv("http_proxy", proxy.url("").c_str(), 1);
    for (const char* noProxy : {"", "example.com", "example.com,.internal"}) {
        ::setenv("NO_PROXY", noProxy, 1);
        EXPECT_EQ(toString(load(requestFor(origin))->body), "GET 0 [] [] []")
            << "NO_PROXY=" << noProxy;
    }
    EXPECT_EQ(proxy.connections(), 0);
    EXPECT_EQ(toString(load(requestFor("http://elsewhere.invalid/"))->body), "proxy");
    EXPECT_EQ(proxy.connections(), 1);
}

// A delegate that keeps its task, as a request object keeps the transfer it started.
struct TaskKeepingDelegate : RecordingDelegate {
    std::shared_ptr<URLSessionTask> task;
};

TEST(URLSessionShutdownTest, StoppingFreesWhatUnfinishedTasksHeldAndResumingServesAgain) {
    RawServer silent(
        [](RawConnection& connection) { connection.waitForClientClose(std::chrono::seconds(10)); });
    // A session of an earlier test leaves the count just after its last event: let it go first,
    // or stopping the service here would release it too.
    const auto settled = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (URLSession::liveSessionCount() > 0 && std::chrono::steady_clock::now() < settled)
        std::this_thread::yield();
    const std::size_t sessionsBefore = URLSession::liveSessionCount();
    std::weak_ptr<URLSessionTask> running;
    {
        auto delegate = std::make_shared<TaskKeepingDelegate>();
        auto session = URLSession::sessionWithConfiguration(
            URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        delegate->task = session->dataTaskWithRequest(requestFor(silent.url("/"), 30.0));
        running = delegate->task;
        delegate->task->resume();
        session->finishTasksAndInvalidate();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (silent.connections() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(silent.connections(), 1);

    ASSERT_TRUE(URLSession::stopService());
    EXPECT_TRUE(running.expired());
    EXPECT_EQ(URLSession::liveSessionCount(), sessionsBefore);
    URLSession::resumeService();
    auto after = std::make_shared<RecordingDelegate>();
    load(requestFor(shared().url("/status/204")), after);
    EXPECT_EQ(after->eventKinds(), (Events{"response 204", "cache", "complete", "invalid"}));
}

TEST(URLSessionShutdownTest, ExitingWithTransfersInFlightNeitherCrashesNorHangs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static RawServer silent([](RawConnection& connection) {
                connection.waitForClientClose(std::chrono::seconds(30));
            });
            auto delegate = std::make_shared<RecordingDelegate>();
            auto session = URLSession::sessionWithConfiguration(
                URLSessionConfiguration::defaultSessionConfiguration(), delegate);
            session->dataTaskWithRequest(requestFor(silent.url("/"), 30.0))->resume();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (silent.connections() == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            std::exit(silent.connections() == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace plovendale
