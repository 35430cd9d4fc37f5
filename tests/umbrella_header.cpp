// Built with nothing but the installed include directory on its path: a public header that reached
// for an internal one, or for a dependency's header, fails this build.
#include "plovendale/plovendale.h"

namespace {

[[maybe_unused]] void usesEveryPart() {
    using namespace plovendale;
    PlatformConfiguration configuration;
    Platform::configure(configuration);
    MainQueue::shared().async([] {});
    auto request = STHTTPRequest::requestWithURLString("https://example.invalid/");
    if (request) request->setErrorBlock([](const Error&) {});
    Plovendale::getInstallTrace(Plovendale::SuccessHandler{}, Plovendale::FailHandler{});
}

}  // namespace
