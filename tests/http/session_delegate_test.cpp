#include "http/session_delegate.h"

#include "http_test_util.h"
#include "plovendale/platform/main_queue.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

class FakeTask final : public URLSessionTask {
  public:
    void resume() override {}
    void cancel() override {}
    std::shared_ptr<const URLRequest> currentRequest() const override {
        return std::make_shared<const URLRequest>(URLRequest{"http://h.example/"});
    }
    std::shared_ptr<const HTTPURLResponse> response() const override { return nullptr; }
};

class FakeSession final : public URLSession {
  public:
    explicit FakeSession(std::string identifier) {
        configuration_.identifier = std::move(identifier);
    }
    std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest) override { return nullptr; }
    std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest, const std::string&) override {
        return nullptr;
    }
    void finishTasksAndInvalidate() override {}
    const URLSessionConfiguration& configuration() const override { return configuration_; }

  private:
    URLSessionConfiguration configuration_;
};

class SessionDelegate : public test::HTTPClientTest {};

TEST_F(SessionDelegate, BackgroundHandlerIsCalledOnceThenRemoved) {
    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    STHTTPRequestSessionDelegate delegate(request, false);
    FakeSession session("bg-1");
    FakeSession unknown("bg-unknown");
    int calls = 0;
    STHTTPRequest::setBackgroundCompletionHandler([&calls] { ++calls; }, "bg-1");

    delegate.didFinishEventsForBackgroundURLSession(unknown);
    delegate.didFinishEventsForBackgroundURLSession(session);
    EXPECT_EQ(calls, 0);  // on the main queue, not on the session's thread
    MainQueue::shared().drain();
    EXPECT_EQ(calls, 1);
    delegate.didFinishEventsForBackgroundURLSession(session);
    MainQueue::shared().drain();
    EXPECT_EQ(calls, 1);
}

TEST_F(SessionDelegate, AnswersToTheService) {
    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    auto delegate = std::make_shared<STHTTPRequestSessionDelegate>(request, false);
    FakeSession session("s");
    FakeTask task;

    std::vector<std::string> answers;
    auto askCache = [&] {
        delegate->willCacheResponse(session, task, CachedURLResponse{},
                                    [&answers](std::optional<CachedURLResponse> answer) {
                                        answers.push_back(answer ? "store" : "skip");
                                    });
    };
    auto askRedirect = [&] {
        delegate->willPerformHTTPRedirection(session, task, HTTPURLResponse{},
                                             URLRequest{"http://h.example/next"},
                                             [&answers](std::optional<URLRequest> answer) {
                                                 answers.push_back(answer ? "follow" : "refuse");
                                             });
    };
    askCache();
    request->setIgnoreCache(true);
    askCache();  // read when the question is handled, on the main queue
    askRedirect();
    // Every response is taken at once, so that the body need not wait for the main queue.
    delegate->didReceiveResponse(
        session, task, HTTPURLResponse{},
        [&answers](URLSessionResponseDisposition) { answers.push_back("response"); });
    MainQueue::shared().drain();
    EXPECT_EQ(answers, (std::vector<std::string>{"response", "skip", "skip", "follow"}));

    answers.clear();
    request->setIgnoreCache(false);
    STHTTPRequest::setGlobalIgnoreCache(true);
    askCache();
    request->setPreventRedirections(true);
    askRedirect();
    MainQueue::shared().drain();
    EXPECT_EQ(answers, (std::vector<std::string>{"skip", "refuse"}));

    // A completion without error and without a response is a bad response class.
    std::optional<Error> reported;
    request->setErrorBlock([&reported](const Error& error) { reported = error; });
    delegate->didCompleteWithError(session, task, std::nullopt);
    MainQueue::shared().drain();
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->localizedDescription(), "bad response class: (null)");
    EXPECT_EQ(reported->code, 0);
    EXPECT_FALSE(request->error());

    // An invalidation with an error reaches the error callback; one without calls nothing.
    reported.reset();
    delegate->didBecomeInvalidWithError(session, std::nullopt);
    MainQueue::shared().drain();
    EXPECT_FALSE(reported);
    delegate->didBecomeInvalidWithError(session, Error::make("X", 7, "gone"));
    MainQueue::shared().drain();
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->code, 7);
}

}  // namespace
}  // namespace plovendale
