#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "http_test_util.h"
#include "plovendale/platform/main_queue.h"
#include "support/local_server.h"
#include "support/test_environment.h"
#include "transport/http_cookie_storage.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

using test::runMainQueueUntil;

constexpr std::size_t kBigBody = 12 * 1024 * 1024;

/// Everything a request reports, in order, with the thread each report came on.
struct Recorder {
    std::vector<std::string> events;
    std::vector<Error> errors;
    std::optional<std::string> body;
    Bytes data;
    std::vector<std::int64_t> downloadTotals, downloadExpected, uploadTotals;
    bool offMainThread = false;
    std::thread::id mainThread = std::this_thread::get_id();

    bool finished() const { return !errors.empty() || body.has_value(); }

    void note(const std::string& event) {
        events.push_back(event);
        if (std::this_thread::get_id() != mainThread) offMainThread = true;
    }

    static std::shared_ptr<Recorder> attach(STHTTPRequest& request) {
        auto recorder = std::make_shared<Recorder>();
        request.setCompletionDataBlock([recorder](const STHTTPHeaders&, const Bytes& data) {
            recorder->note("data");
            recorder->data = data;
        });
        request.setCompletionBlock(
            [recorder](const STHTTPHeaders&, const std::optional<std::string>& body) {
                recorder->note("completion");
                recorder->body = body;
            });
        request.setErrorBlock([recorder](const Error& error) {
            recorder->note("error");
            recorder->errors.push_back(error);
        });
        request.setDownloadProgressBlock(
            [recorder](const Bytes&, std::int64_t total, std::int64_t expected) {
                recorder->note("download");
                recorder->downloadTotals.push_back(total);
                recorder->downloadExpected.push_back(expected);
            });
        request.setUploadProgressBlock([recorder](std::int64_t, std::int64_t total, std::int64_t) {
            recorder->note("upload");
            recorder->uploadTotals.push_back(total);
        });
        return recorder;
    }
};

class RequestExecution : public test::HTTPClientTest {
  protected:
    void SetUp() override {
        HTTPClientTest::SetUp();
        platform_.configure();
        server_.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string("caf\xE9", 4), "text/plain; charset=ISO-8859-1");
        });
        server_.server().Get(
            R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
                res.status = std::stoi(req.matches[1].str());
                if (res.status >= 400)
                    res.set_content("status " + req.matches[1].str(), "text/plain");
            });
        server_.server().Get("/cookie", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Set-Cookie", "s=1; Path=/");
            res.set_content(req.get_header_value("Cookie"), "text/plain");
        });
        server_.server().Get("/hop", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "r=2; Path=/");
            res.status = 302;
            res.set_header("Location", "/cookie");
        });
        server_.server().Get(
            R"(/chunked/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
                const std::size_t size = std::stoul(req.matches[1].str());
                res.set_chunked_content_provider(
                    "application/octet-stream",
                    [size](size_t offset, httplib::DataSink& sink) {
                        if (offset >= size) {
                            sink.done();
                            return true;
                        }
                        const std::string chunk(std::min<std::size_t>(size - offset, 65536), 'b');
                        return sink.write(chunk.data(), chunk.size());
                    },
                    [this](bool) { ++bigServed_; });
            });
        server_.server().Post("/upload", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::to_string(req.body.size()), "text/plain");
        });
        ASSERT_TRUE(server_.start());
    }

    std::shared_ptr<STHTTPRequest> request(const std::string& path) {
        return STHTTPRequest::requestWithURLString(server_.url(path));
    }

    static std::shared_ptr<Recorder> run(
        const std::shared_ptr<STHTTPRequest>& request,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto recorder = Recorder::attach(*request);
        request->startAsynchronous();
        EXPECT_TRUE(runMainQueueUntil([&] { return recorder->finished(); }, timeout));
        return recorder;
    }

    test::TestPlatform platform_;
    std::atomic<int> bigServed_{0};  // chunked bodies sent to the end or cut off by the client
    test::LocalServer server_;
};

TEST_F(RequestExecution, SuccessfulOutcomesCallBothCompletionCallbacksInOrder) {
    auto ok = request("/ok");
    ok->setHeaderWithName("X-Caller", "yes");
    auto recorder = run(ok);
    EXPECT_EQ(recorder->events.back(), "completion");
    EXPECT_EQ(recorder->events[recorder->events.size() - 2], "data");
    EXPECT_FALSE(recorder->offMainThread);
    EXPECT_EQ(ok->responseStatus(), 200);
    EXPECT_EQ(ok->responseHeaders()->at("Content-Type"), "text/plain; charset=ISO-8859-1");
    EXPECT_EQ(toString(recorder->data), std::string("caf\xE9", 4));
    EXPECT_EQ(recorder->body, "caf\xC3\xA9");  // decoded by the declared charset
    EXPECT_FALSE(ok->error());
    EXPECT_EQ(ok->request()->headerFields.get("X-Caller"), "yes");  // the fields as sent
    auto sync = request("/ok");
    std::optional<Error> error;
    EXPECT_EQ(sync->startSynchronousWithError(&error), "caf\xC3\xA9");
    EXPECT_FALSE(error);
    EXPECT_EQ(sync->responseHeaders()->at("Content-Type"), "text/plain; charset=ISO-8859-1");

    for (const char* path : {"/status/204", "/status/304"}) {
        auto outcome = run(request(path));
        EXPECT_EQ(outcome->events, (std::vector<std::string>{"data", "completion"})) << path;
        EXPECT_EQ(outcome->body, "") << path;
    }
}

TEST_F(RequestExecution, StatusesOf400AndMoreGoToTheErrorCallback) {
    for (const auto& [path, status, description, body] :
         {std::tuple{"/status/400", 400, "HTTP Status 400: Bad Request", "status 400"},
          std::tuple{"/status/404", 404, "HTTP Status 404: Not Found", "status 404"},
          std::tuple{"/status/500", 500, "HTTP Status 500: Internal Server Error", "status 500"}}) {
        auto failing = request(path);
        auto recorder = run(failing);
        EXPECT_EQ(recorder->events, (std::vector<std::string>{"download", "error"})) << path;
        ASSERT_EQ(recorder->errors.size(), 1u);
        const Error& error = recorder->errors[0];
        EXPECT_EQ(error.code, status);
        EXPECT_EQ(error.localizedDescription(), description);
        EXPECT_EQ(error.infoString("body"), body);
        EXPECT_EQ(failing->error()->code, status);
        EXPECT_EQ(failing->responseString(), body);

        auto sync = request(path);
        std::optional<Error> syncError;
        EXPECT_EQ(sync->startSynchronousWithError(&syncError), body) << path;
        EXPECT_EQ(syncError->localizedDescription(), description) << path;
        EXPECT_FALSE(sync->error()) << "a synchronous start leaves the field as it was";
    }
}

TEST_F(RequestExecution, CancellationIsReportedTwice) {
    test::RawServer silent([](test::RawConnection& connection) {
        connection.waitForClientClose(std::chrono::seconds(10));
    });
    auto running = STHTTPRequest::requestWithURLString(silent.url("/"));
    auto recorder = Recorder::attach(*running);
    running->startAsynchronous();
    ASSERT_TRUE(test::eventually([&] { return silent.connections() > 0; }));
    running->cancel();
    ASSERT_EQ(recorder->errors.size(), 1u);  // at once, on the caller's thread
    EXPECT_TRUE(st_isCancellationError(recorder->errors[0]));
    EXPECT_EQ(recorder->errors[0].localizedDescription(), "Connection was cancelled.");
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder->errors.size() == 2; }));
    EXPECT_EQ(recorder->errors[1].domain, kNSURLErrorDomain);
    EXPECT_EQ(recorder->errors[1].code, URLErrorCode::kCancelled);
    EXPECT_EQ(running->error()->code, kSTHTTPRequestCancellationError);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"error", "error"}));
}

TEST_F(RequestExecution, FailedStartReportsOnTheCallersThread) {
    auto request = STHTTPRequest::requestWithURLString(server_.url("/ok"));
    request->setAddCredentialsToURL(true);  // no credential stored for the host
    auto recorder = Recorder::attach(*request);
    request->startAsynchronous();
    ASSERT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(recorder->errors[0].domain, "STHTTPRequest");
    EXPECT_EQ(recorder->errors[0].code, 0);
    EXPECT_EQ(recorder->errors[0].localizedDescription(), "can't create task");
    EXPECT_EQ(request->error()->code, 0);
    std::optional<Error> error;
    EXPECT_EQ(request->startSynchronousWithError(&error), std::nullopt);
    EXPECT_EQ(error->localizedDescription(), "can't create task");
    MainQueue::shared().drain();
    EXPECT_EQ(recorder->errors.size(), 1u) << "a synchronous start calls no callback";
}

TEST_F(RequestExecution, ProgressAndOrderingOnTheMainQueue) {
    auto download = request("/chunked/300000");
    download->startAsynchronous();
    // Set after the start: nothing of the transfer is handled before the caller returns to the
    // queue.
    auto recorder = Recorder::attach(*download);
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder->finished(); }));
    EXPECT_FALSE(recorder->offMainThread);
    ASSERT_GE(recorder->downloadTotals.size(), 1u);
    EXPECT_EQ(recorder->downloadTotals.back(), 300000);
    EXPECT_TRUE(std::is_sorted(recorder->downloadTotals.begin(), recorder->downloadTotals.end()));
    for (auto expected : recorder->downloadExpected)
        EXPECT_EQ(expected, -1);  // chunked: no length announced
    EXPECT_EQ(recorder->events.back(), "completion");
    EXPECT_EQ(static_cast<std::int64_t>(download->responseData().size()), 300000);
    // Without a progress block the first piece becomes the body itself; the others join it.
    auto bare = request("/chunked/300000");
    bool done = false;
    bare->setCompletionDataBlock([&done](const STHTTPHeaders&, const Bytes&) { done = true; });
    bare->startAsynchronous();
    ASSERT_TRUE(runMainQueueUntil([&] { return done; }));
    EXPECT_EQ(bare->responseData(), Bytes(300000, 'b'));

    auto upload = request("/upload");
    upload->setRawPOSTData(Bytes(200000, 0x41));
    upload->setHeaderWithName("Content-Type", "application/octet-stream");
    recorder = run(upload);
    ASSERT_FALSE(recorder->uploadTotals.empty());
    EXPECT_EQ(recorder->uploadTotals.back(), 200000);
    EXPECT_TRUE(std::is_sorted(recorder->uploadTotals.begin(), recorder->uploadTotals.end()));
    const auto firstDownload =
        std::find(recorder->events.begin(), recorder->events.end(), "download");
    EXPECT_EQ(std::find(firstDownload, recorder->events.end(), "upload"), recorder->events.end());
    EXPECT_EQ(recorder->body, "200000");
}

TEST_F(RequestExecution, ThrowingCallbacksAreContainedAndAllAreReleasedOnTheMainQueue) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::refusedPort()) + "/";
    struct Case {
        std::string url;
        const char* thrower;  // the callback that throws, if any
        bool withoutCredential = false;
    };
    const Case cases[] = {
        {server_.url("/ok"), nullptr},
        {server_.url("/ok"), "completionDataBlock"},
        {server_.url("/ok"), "completionBlock"},
        {server_.url("/chunked/300000"), "downloadProgressBlock"},
        {server_.url("/upload"), "uploadProgressBlock"},
        {server_.url("/status/404"), "errorBlock"},
        {refused, "errorBlock"},
        {server_.url("/ok"), "errorBlock", true},  // fails inside startAsynchronous
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + (c.thrower ? c.thrower : "-"));
        auto record = std::make_shared<test::ReleaseRecord>();
        auto outcomes = std::make_shared<int>(0);
        {
            auto request = STHTTPRequest::requestWithURLString(c.url);
            auto witness = std::make_shared<test::ReleaseWitness>(record);
            auto call = [witness, outcomes, thrower = std::string(c.thrower ? c.thrower : "")](
                            const std::string& name, bool outcome) {
                *outcomes += outcome ? 1 : 0;
                if (name == thrower) throw std::runtime_error(name);
            };
            request->setCompletionDataBlock(
                [call](const STHTTPHeaders&, const Bytes&) { call("completionDataBlock", false); });
            request->setCompletionBlock(
                [call](const STHTTPHeaders&, const std::optional<std::string>&) {
                    call("completionBlock", true);
                });
            request->setErrorBlock([call](const Error&) { call("errorBlock", true); });
            request->setDownloadProgressBlock([call](const Bytes&, std::int64_t, std::int64_t) {
                call("downloadProgressBlock", false);
            });
            request->setUploadProgressBlock([call](std::int64_t, std::int64_t, std::int64_t) {
                call("uploadProgressBlock", false);
            });
            if (c.url == server_.url("/upload")) request->setRawPOSTData(Bytes(200000, 0x41));
            request->setAddCredentialsToURL(c.withoutCredential);
            request->startAsynchronous();
        }
        ASSERT_TRUE(test::eventually(
            [&] { return record->released && URLSession::liveSessionCount() == 0; }));
        EXPECT_EQ(record->thread, std::this_thread::get_id());
        EXPECT_EQ(*outcomes, 1);
        if (c.thrower) {
            const std::string line =
                std::string("STHTTPRequest ") + c.thrower + " threw: " + c.thrower;
            const auto lines = platform_.log().lines();
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
    }
}

TEST_F(RequestExecution, CookiesUnderEachPolicy) {
    // Shared: a redirection sends the cookies of the store as they are by then, its own included.
    run(request("/cookie"));
    const auto redirected = run(request("/hop"))->body.value_or("");
    EXPECT_NE(redirected.find("s=1"), std::string::npos) << redirected;
    EXPECT_NE(redirected.find("r=2"), std::string::npos) << redirected;
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
    STHTTPRequest::clearSession();

    // Local: the process-wide list, and nothing in the shared store.
    STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageLocal);
    run(request("/cookie"));
    ASSERT_EQ(STHTTPRequest::localCookiesStorage().size(), 1u);
    EXPECT_EQ(STHTTPRequest::localCookiesStorage()[0].domain, "127.0.0.1");
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
    STHTTPRequest::clearSession();

    // Ephemeral: only the request's own list, both ways.
    STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageShared);
    auto own = request("/cookie");
    own->setCookieStoragePolicyForInstance(CookieStorageEphemeral);
    own->addCookieWithName("e", "1");
    EXPECT_EQ(run(own)->body, "e=1");
    ASSERT_EQ(own->ephemeralRequestCookies().size(), 2u);
    EXPECT_EQ(own->ephemeralRequestCookies()[1].name, "s");
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
}

TEST_F(RequestExecution, ResponseBodiesAreBoundedAndATooLargeOneIsDropped) {
    constexpr std::int64_t kMiB = 1024 * 1024;
    struct Row {
        const char* name;
        std::function<void(STHTTPRequest&)> configure;
        bool fits;
    };
    const Row rows[] = {
        {"class-level default", [](STHTTPRequest&) {}, false},
        {"own limit", [](STHTTPRequest& r) { r.setMaximumResponseBodySize(16 * kMiB); }, true},
        {"raised default",
         [](STHTTPRequest&) { STHTTPRequest::setDefaultMaximumResponseBodySize(16 * kMiB); }, true},
        {"discarded body",
         [](STHTTPRequest& r) {
             r.setMaximumResponseBodySize(16 * kMiB);
             r.setDiscardsResponseBody(true);
         },
         true},
    };
    for (const auto& [name, configure, fits] : rows) {
        configure(*request("/"));  // a class-level setting applies to requests made afterwards
        auto big = request("/chunked/" + std::to_string(kBigBody));
        configure(*big);
        auto recorder = Recorder::attach(*big);
        const int servedBefore = bigServed_;
        big->startAsynchronous();
        // A main queue that does not keep up: nothing is drained while the body arrives, and what
        // waits for it stays within the limit too.
        ASSERT_TRUE(runMainQueueUntil([&] { return big->responseStatus() != 0; })) << name;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (bigServed_ == servedBefore && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(runMainQueueUntil([&] { return recorder->finished(); })) << name;

        const auto received =
            recorder->downloadTotals.empty() ? 0 : recorder->downloadTotals.back();
        EXPECT_LE(received, fits ? 16 * kMiB : 10 * kMiB) << name;
        if (!fits) {
            ASSERT_EQ(recorder->errors.size(), 1u) << name;
            EXPECT_EQ(recorder->errors[0].domain, kNSURLErrorDomain);
            EXPECT_EQ(recorder->errors[0].code, URLErrorCode::kDataLengthExceedsMaximum);
            EXPECT_EQ(recorder->errors[0].localizedDescription(), "resource exceeds maximum size");
            EXPECT_EQ(big->responseData().capacity(), 0u) << name << ": what was received is freed";
        } else if (big->discardsResponseBody()) {
            EXPECT_TRUE(recorder->body && recorder->body->empty()) << name;
            EXPECT_TRUE(recorder->downloadTotals.empty()) << name;
        } else {
            EXPECT_EQ(recorder->data.size(), kBigBody) << name;
        }
        STHTTPRequest::setDefaultMaximumResponseBodySize(10 * kMiB);
    }

    auto sync = request("/chunked/" + std::to_string(kBigBody));
    sync->setMaximumResponseBodySize(kMiB);
    std::optional<Error> error;
    EXPECT_EQ(sync->startSynchronousWithError(&error), "");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, URLErrorCode::kDataLengthExceedsMaximum);
}

TEST_F(RequestExecution, BackgroundUploadGoesThroughATemporaryFile) {
    auto upload = request("/upload");
    upload->setUseUploadTaskInBackground(true);
    upload->setRawPOSTData(toBytes("from a file"));
    auto recorder = Recorder::attach(*upload);
    upload->startAsynchronous();
    ASSERT_TRUE(upload->HTTPBodyFileURL());
    const std::string prefix = "file://";
    ASSERT_EQ(upload->HTTPBodyFileURL()->rfind(prefix, 0), 0u);
    const std::filesystem::path file = upload->HTTPBodyFileURL()->substr(prefix.size());
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << "the body is readable by others";
    EXPECT_TRUE(
        std::filesystem::equivalent(file.parent_path(), std::filesystem::temp_directory_path()));
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder->finished(); }));
    EXPECT_EQ(recorder->body, "11");
    EXPECT_FALSE(std::filesystem::exists(file));  // removed once a response has arrived

    // A transfer without a response leaves the file where it is.
    auto failing = STHTTPRequest::requestWithURLString(
        "http://127.0.0.1:" + std::to_string(test::refusedPort()) + "/");
    failing->setUseUploadTaskInBackground(true);
    failing->setRawPOSTData(toBytes("kept"));
    recorder = run(failing);
    ASSERT_EQ(recorder->errors.size(), 1u);
    const std::filesystem::path kept = failing->HTTPBodyFileURL()->substr(prefix.size());
    EXPECT_TRUE(std::filesystem::exists(kept));
    std::filesystem::remove(kept);
}

}  // namespace
}  // namespace plovendale
