#include "plovendale/platform/url_session.h"

namespace plovendale {

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() { return {}; }

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration configuration;
    configuration.kind = Kind::Ephemeral;
    return configuration;
}

bool URLSessionConfiguration::backgroundSessionsAvailable() { return false; }

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration&,
                                                                 std::shared_ptr<URLSessionDelegate>) {
    return nullptr;
}

std::size_t URLSession::liveSessionCount() { return 0; }

std::optional<Bytes> URLConnection::sendSynchronousRequest(const URLRequest&, std::optional<HTTPURLResponse>* response,
                                                           std::optional<Error>* error) {
    if (response) response->reset();
    if (error) *error = Error::make(kNSURLErrorDomain, URLErrorCode::kUnknown, "unknown error");
    return std::nullopt;
}

bool URLSessionTLS::setAdditionalCAFile(const std::string&) { return false; }
void URLSessionTLS::setAdditionalCAPEM(const std::string&) {}
void URLSessionTLS::clearAdditionalCA() {}

}  // namespace plovendale
