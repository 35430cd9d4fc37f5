#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/local_server.h"

namespace plovendale::test {

/// A scripted attribution service on 127.0.0.1 (a free port): records every request it receives
/// and answers the install-trace endpoint with whatever the test set.
class ServiceStub {
  public:
    struct Received {
        std::string method;
        std::string path;
        std::string body;
        std::string contentType;
    };
    struct Answer {
        int status = 200;
        std::string body = R"({"status":200})";
        std::chrono::milliseconds delay{0};
    };

    ServiceStub();
    ~ServiceStub();

    std::string baseURL() const { return server_.url(""); }
    void answerReports(Answer answer);
    /// The answer to state reports (200 unless told).
    void answerStates(Answer answer);
    /// The statuses of the next event batches' answers, in turn; 200 once they are used up.
    void answerEvents(std::vector<int> statuses);
    /// The next event batches' answers in full, in turn.
    void answerEventsWith(std::vector<Answer> answers);
    std::vector<Received> received() const;
    std::vector<Received> receivedAt(const std::string& pathPrefix) const;

  private:
    mutable std::mutex mutex_;
    Answer answer_;
    Answer stateAnswer_;
    std::vector<Answer> eventAnswers_;
    std::vector<Received> received_;
    std::atomic<bool> stopping_{false};
    LocalServer server_;  // last: stopped before what its handlers use goes away
};

}  // namespace plovendale::test
