#include "http_test_util.h"

namespace plovendale {
namespace {

TEST(STHTTPRequestErrors, StatusTexts) {
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(404), "HTTP Status 404: Not Found");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(400), "HTTP Status 400: Bad Request");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(416),
              "HTTP Status 416: Requested Range Not Satisfiable");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(418), "HTTP Status 418");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(421), "HTTP Status 421");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(425), "HTTP Status 425: Unassigned");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(431),
              "HTTP Status 431: Request Header Fields Too Large");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(433), "HTTP Status 433");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(499), "HTTP Status 499");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(500),
              "HTTP Status 500: Internal Server Error");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(511),
              "HTTP Status 511: Network Authentication Required");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(512), "HTTP Status 512");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(200), "HTTP Status 200");
    EXPECT_EQ(STHTTPRequest::descriptionForHTTPStatus(600), "HTTP Status 600");
}

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
    EXPECT_EQ(error->code, 400);
    EXPECT_EQ(error->localizedDescription(), "HTTP Status 400: Bad Request");
    EXPECT_EQ(error->infoString("body"), "bad input");
    EXPECT_EQ(std::get<Error::Headers>(error->userInfo.at("headers")),
              (STHTTPHeaders{{"Content-Type", "text/plain"}}));
    EXPECT_EQ(request->responseString(), "bad input");

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
