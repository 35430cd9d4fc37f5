#include "support/service_stub.h"

namespace plovendale::test {

ServiceStub::ServiceStub() {
    server_.server().Post(R"(/api/trace/client/.*)", [this](const httplib::Request& request,
                                                            httplib::Response& response) {
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            received_.push_back({request.method, request.path, request.body,
                                 request.get_header_value("Content-Type")});
            answer = answer_;
        }
        if (request.path.find("/api/trace/client/events/") == 0) {
            std::lock_guard lock(mutex_);
            Answer events{200, R"({"status":200,"accepted":1,"duplicates":0})"};
            if (!eventAnswers_.empty()) {
                events = eventAnswers_.front();
                eventAnswers_.erase(eventAnswers_.begin());
            }
            response.status = events.status;
            response.set_content(events.body, "application/json");
            return;
        }
        if (request.path.find("/api/trace/client/state/") == 0) {
            std::lock_guard lock(mutex_);
            response.status = stateAnswer_.status;
            response.set_content(stateAnswer_.body, "application/json");
            return;
        }
        // Bounded wait that ends early when the stub is torn down.
        const auto until = std::chrono::steady_clock::now() + answer.delay;
        while (!stopping_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        response.status = answer.status;
        if (answer.status != 204 && answer.status != 304)
            response.set_content(answer.body, "application/json");
    });
    server_.start();
}

ServiceStub::~ServiceStub() {
    stopping_ = true;
    server_.stop();
}

void ServiceStub::answerStates(Answer answer) {
    std::lock_guard lock(mutex_);
    stateAnswer_ = std::move(answer);
}

void ServiceStub::answerReports(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

void ServiceStub::answerEvents(std::vector<int> statuses) {
    std::vector<Answer> answers;
    for (const int status : statuses)
        answers.push_back({status, R"({"status":200,"accepted":1,"duplicates":0})"});
    answerEventsWith(std::move(answers));
}

void ServiceStub::answerEventsWith(std::vector<Answer> answers) {
    std::lock_guard lock(mutex_);
    eventAnswers_ = std::move(answers);
}

std::vector<ServiceStub::Received> ServiceStub::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<ServiceStub::Received> ServiceStub::receivedAt(const std::string& pathPrefix) const {
    std::vector<Received> matching;
    for (auto& r : received()) {
        if (r.path.rfind(pathPrefix, 0) == 0) matching.push_back(r);
    }
    return matching;
}

}  // namespace plovendale::test
