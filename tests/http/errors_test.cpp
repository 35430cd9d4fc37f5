#include "http_test_util.h"

namespace plovendale {
namespace {

TEST(STHTTPRequestErrors, StatusErrorCarriesHeadersAndBody) {
    auto request = STHTTPRequest::requestWithURLString("http://h/");
    request->setResponseStatus(399);
    EXPECT_FALSE(request->errorDescribingRequestNonfulfillment());
    request->setResponseStatus(-1);
    EXPECT_FALSE(request->errorDescribingRequestNonfulfillment());

    request->setResponseStatus(400);
    request->setResponseHeaders(STHTTPHeaders{{"Content-Type", "text/plain"}});
    request->setResponseData(toBytes("bad input"));
    auto error = request->errorDescribingRequestNonfulfillment();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "STHTTPRequest");
    EXPECT_EQ(std::get<Error::Headers>(error->userInfo.at("headers")),
              (STHTTPHeaders{{"Content-Type", "text/plain"}}));

    // A body that does not decode is left out; the rest stays.
    auto binary = STHTTPRequest::requestWithURLString("http://h/");
    binary->setResponseStatus(502);
    binary->setResponseData(Bytes{0xFF, 0xFE, 0xFD});
    error = binary->errorDescribingRequestNonfulfillment();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "HTTP Status 502: Bad Gateway");
    EXPECT_FALSE(error->userInfo.count("body"));
}

TEST(STHTTPRequestErrors, AuthenticationAndCancellationTests) {
    EXPECT_TRUE(st_isAuthenticationError(Error::make("STHTTPRequest", 401, "x")));
    EXPECT_TRUE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, -1012, "x")));
    EXPECT_TRUE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, -1013, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, 401, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("STHTTPRequest", 403, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("sthttprequest", 401, "x")));

    EXPECT_TRUE(
        st_isCancellationError(Error::make("STHTTPRequest", 1, "Connection was cancelled.")));
    EXPECT_FALSE(st_isCancellationError(Error::make("Other", 1, "x")));
    EXPECT_FALSE(st_isCancellationError(Error::make(kNSURLErrorDomain, -999, "cancelled")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("STHTTPRequest", 1, "x")));

    auto request = STHTTPRequest::requestWithURLString("http://h/");
    std::optional<Error> reported;
    request->setErrorBlock([&reported](const Error& error) { reported = error; });
    request->cancel();  // no task yet: only the report
    ASSERT_TRUE(reported);
    EXPECT_TRUE(st_isCancellationError(*reported));
    EXPECT_EQ(reported->localizedDescription(), "Connection was cancelled.");
    EXPECT_EQ(request->error()->code, 1);
}

}  // namespace
}  // namespace plovendale
