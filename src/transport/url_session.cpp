#include "transport/url_session.h"

#include <atomic>
#include <mutex>

#include "transport/curl_engine.h"
#include "transport/curl_text.h"
#include "transport/task_impl.h"

namespace plovendale {
namespace curl {

std::atomic<std::size_t>& liveSessions() {
    static std::atomic<std::size_t> count{0};
    return count;
}

namespace {
struct Registry {
    std::mutex mutex;
    SessionImpl* first = nullptr;
};
Registry& registry() {
    static Registry* const sessions = new Registry();  // sessions may outlive static destruction
    return *sessions;
}
}  // namespace

void enterRegistry(SessionImpl* session) {
    auto& sessions = registry();
    std::lock_guard lock(sessions.mutex);
    session->nextInRegistry_ = sessions.first;
    if (sessions.first) sessions.first->previousInRegistry_ = session;
    sessions.first = session;
}

void leaveRegistry(SessionImpl* session) {
    auto& sessions = registry();
    std::lock_guard lock(sessions.mutex);
    if (session->previousInRegistry_) {
        session->previousInRegistry_->nextInRegistry_ = session->nextInRegistry_;
    } else {
        sessions.first = session->nextInRegistry_;
    }
    if (session->nextInRegistry_)
        session->nextInRegistry_->previousInRegistry_ = session->previousInRegistry_;
}

std::vector<std::shared_ptr<SessionImpl>> registeredSessions() {
    std::vector<std::shared_ptr<SessionImpl>> alive;
    auto& sessions = registry();
    std::lock_guard lock(sessions.mutex);
    for (SessionImpl* session = sessions.first; session; session = session->nextInRegistry_) {
        // One being destroyed waits in leaveRegistry for this lock; it has no owner left.
        if (auto owned = session->weak_from_this().lock()) alive.push_back(std::move(owned));
    }
    return alive;
}

std::shared_ptr<URLSessionTask> SessionImpl::makeTask(URLRequest&& request,
                                                      std::optional<std::string> uploadFile) {
    // Once set, invalidating_ stays; a task that races with invalidation is refused when resumed.
    if (!looksLikeAbsoluteURL(request.url) || invalidating_.load(std::memory_order_acquire))
        return nullptr;
    return std::make_shared<TaskImpl>(shared_from_this(), std::move(request),
                                      std::move(uploadFile));
}

}  // namespace curl

using curl::Engine;
using curl::SessionImpl;

void postDelegateWorkToMainQueue(std::function<void()> work) {
    Engine::shared().postToMainQueue(std::move(work));
}

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
    return {};
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration configuration;
    configuration.kind = Kind::Ephemeral;
    return configuration;
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate) {
    (void)Engine::shared();
    return std::make_shared<SessionImpl>(configuration, std::move(delegate));
}

std::size_t URLSession::liveSessionCount() {
    return curl::liveSessions().load();
}

bool URLSession::stopService() {
    if (!curl::Engine::stopIfStarted()) return false;
    // Outside the registry's lock: letting a delegate go may destroy sessions.
    for (const auto& session : curl::registeredSessions()) session->tasksAbandoned();
    return true;
}

void URLSession::resumeService() {
    curl::Engine::restartIfStopped();
}

}  // namespace plovendale
