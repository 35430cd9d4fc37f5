// End-to-end tests of the reference attribution service: the real binary, a real SQLite file and
// real HTTP on 127.0.0.1.

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/attribution_service_process.h"
#include "support/test_environment.h"

namespace {

using nlohmann::json;
using plovendale::test::AttributionServiceProcess;
using plovendale::test::runAttributionCommand;
using plovendale::test::TempDir;

const std::string kBinary = PLOVENDALE_BIN_DIR "/attribution-service";

std::unique_ptr<AttributionServiceProcess> startService(const std::string& database = "",
                                                        std::vector<std::string> extraArgs = {}) {
    std::string error;
    auto service =
        AttributionServiceProcess::start({kBinary, database, std::move(extraArgs)}, &error);
    EXPECT_TRUE(service) << "build the attribution_service_tool target first; " << error;
    return service;
}

plovendale::test::AttributionCommandResult command(std::vector<std::string> args) {
    args.insert(args.begin(), kBinary);
    return runAttributionCommand(args);
}

struct Reply {
    int httpStatus = -1;  // -1: no response
    json body;            // discarded when the body is not JSON
};

Reply send(const AttributionServiceProcess& service, const std::string& method,
           const std::string& path, const std::string& body = "") {
    httplib::Client client("127.0.0.1", service.port());
    client.set_read_timeout(30, 0);
    auto res = method == "GET" ? client.Get(path.c_str())
                               : client.Post(path.c_str(), body, "application/json");
    if (!res) return {};
    return {res->status, json::parse(res->body, nullptr, false)};
}

Reply post(const AttributionServiceProcess& service, const std::string& path, const json& body) {
    return send(service, "POST", path, body.dump());
}

json linkAnswer(const std::string& params, const std::string& channel, const std::string& trace) {
    return {{"status", 200},
            {"data", {{"params_data", params}, {"channel", channel}, {"trace_id", trace}}}};
}

TEST(AttributionService, AnswersRegisteredLinksByBundleTraceThenPasteboardTrace) {
    auto service = startService();
    ASSERT_TRUE(service);
    const std::string spring = service->registerLink("app-one", "room=42&ref=abc", "spring");
    const std::string autumn = service->registerLink("app-one", "room=7", "autumn");
    EXPECT_TRUE(std::regex_match(spring, std::regex("[A-Za-z0-9]{12,}"))) << spring;

    const std::string report = "/api/trace/client/report/app-one";
    Reply byTi = post(*service, report, {{"ti", spring}, {"clip", ""}, {"ci", "c1"}});
    EXPECT_EQ(byTi.httpStatus, 200);
    EXPECT_EQ(byTi.body, linkAnswer("room=42&ref=abc", "spring", spring));
    // The bundle's identifier wins over the pasteboard's; an unknown one falls back to it.
    EXPECT_EQ(post(*service, report, {{"ti", autumn}, {"clip", spring}}).body,
              linkAnswer("room=7", "autumn", autumn));
    EXPECT_EQ(post(*service, report, {{"ti", "UnknownTrace000"}, {"clip", autumn}}).body,
              linkAnswer("room=7", "autumn", autumn));

    for (const json& unknown : {json{{"ti", "UnknownTrace000"}, {"clip", ""}}, json::object(),
                                json{{"ti", 12345678901234}}}) {
        Reply miss = post(*service, report, unknown);
        EXPECT_EQ(miss.httpStatus, 200) << unknown;
        EXPECT_EQ(miss.body.value("status", 0), 404) << unknown;
        EXPECT_FALSE(miss.body.value("error", "").empty()) << unknown;
        EXPECT_FALSE(miss.body.contains("data")) << unknown;
    }
    // Links belong to their app key.
    EXPECT_EQ(post(*service, "/api/trace/client/report/app-two", {{"ti", spring}}).body["status"],
              404);

    Reply links = send(*service, "GET", "/api/links/app-one");
    ASSERT_EQ(links.body.size(), 2u) << links.body;
    EXPECT_EQ(links.body[1]["channel"], "autumn");
    EXPECT_EQ(send(*service, "GET", "/api/links/app-two").body, json::array());

    Reply installs = send(*service, "GET", "/api/installs/app-one");
    ASSERT_EQ(installs.body.size(), 6u) << installs.body;
    EXPECT_EQ(installs.body[0]["params"], (json{{"ti", spring}, {"clip", ""}, {"ci", "c1"}}));
    EXPECT_EQ(installs.body[3]["status"], 404);

    // A caller may choose the identifier, once, if it can travel in the pasteboard marker.
    Reply fixed = post(*service, "/api/links/app-one",
                       {{"params", "p"}, {"channel", "c"}, {"trace_id", "Fixed0123456789"}});
    EXPECT_EQ(fixed.body["trace_id"], "Fixed0123456789");
    EXPECT_EQ(post(*service, "/api/links/app-one", {{"trace_id", "Fixed0123456789"}}).httpStatus,
              409);
    for (const char* bad : {"short", "has:colon12345", "has\"quote12345"}) {
        Reply refused = post(*service, "/api/links/app-one", {{"trace_id", bad}});
        EXPECT_EQ(refused.httpStatus, 400) << bad;
        EXPECT_EQ(refused.body["status"], 400) << bad;
    }
    EXPECT_EQ(post(*service, report, {{"clip", "Fixed0123456789"}}).body,
              linkAnswer("p", "c", "Fixed0123456789"));
}

TEST(AttributionService, RecordsStateReportsInArrivalOrder) {
    auto service = startService();
    ASSERT_TRUE(service);
    const json first = {
        {"ci", "client1"}, {"t", "1234"}, {"ms", "1"}, {"cd", "200"}, {"msg", "success"}};
    const json second = {
        {"ci", "client1"}, {"t", "-3"}, {"ms", "0"}, {"cd", "-10004"}, {"msg", ""}};
    for (const json& report : {first, second}) {
        Reply answer = post(*service, "/api/trace/client/state/app-one", report);
        EXPECT_EQ(answer.httpStatus, 200);
        EXPECT_EQ(answer.body, (json{{"status", 200}}));
    }
    // Reports that are not what the client sends are refused, not stored.
    json missing = first;
    missing.erase("msg");
    json numeric = first;
    numeric["t"] = 1234;
    for (const json& bad : {missing, numeric}) {
        Reply refused = post(*service, "/api/trace/client/state/app-one", bad);
        EXPECT_EQ(refused.httpStatus, 400) << bad;
        EXPECT_EQ(refused.body["status"], 400) << bad;
    }

    Reply listed = send(*service, "GET", "/api/state/app-one");
    ASSERT_EQ(listed.body.size(), 2u) << listed.body;
    EXPECT_LE(listed.body[0]["received_at"], listed.body[1]["received_at"]);
    for (auto& row : listed.body) row.erase("received_at");
    EXPECT_EQ(listed.body, json::array({first, second}));
    EXPECT_EQ(send(*service, "GET", "/api/state/app-two").body, json::array());
}

TEST(AttributionService, RefusesHostileRequestsAndKeepsServing) {
    auto service = startService();
    ASSERT_TRUE(service);
    const std::string trace = service->registerLink("app-one", "x=1", "web");
    const std::string report = "/api/trace/client/report/app-one";

    const std::string deep = "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    const std::string badUtf8 = "{\"ti\":\"\xff\xfe\"}";
    for (const std::string& body : {std::string("{\"ti\":"), std::string(""), std::string("[1]"),
                                    std::string("\"text\""), deep, badUtf8}) {
        Reply refused = send(*service, "POST", report, body);
        EXPECT_EQ(refused.httpStatus, 400) << body.substr(0, 40);
        EXPECT_EQ(refused.body.value("status", 0), 400) << body.substr(0, 40);
        EXPECT_FALSE(refused.body.value("error", "").empty()) << body.substr(0, 40);
    }
    Reply tooLarge = send(*service, "POST", report, std::string(1024 * 1024 + 1, ' '));
    EXPECT_EQ(tooLarge.httpStatus, 413);
    EXPECT_EQ(tooLarge.body.value("status", 0), 413);

    const std::string longKey(200, 'k');
    for (const std::string& path : std::vector<std::string>{
             "/api/trace/client/report/bad.key", "/api/trace/client/report/" + longKey,
             "/api/trace/client/report/", "/api/links/forged%0A2099-01-01T00:00:00Z%20GET",
             "/api/nowhere"}) {
        Reply missing = send(*service, "POST", path, "{}");
        EXPECT_EQ(missing.httpStatus, 404) << path;
        EXPECT_EQ(missing.body.value("status", 0), 404) << path;
    }
    EXPECT_EQ(post(*service, "/api/links/app-one", {{"params", json::array()}}).httpStatus, 400);

    // Still serving, and still answering correctly.
    EXPECT_EQ(post(*service, report, {{"ti", trace}}).body, linkAnswer("x=1", "web", trace));
    ASSERT_EQ(service->stop(SIGTERM), 0);

    // One log line per request, and request text cannot start a line of its own.
    const std::string log = service->stderrText();
    EXPECT_TRUE(
        std::regex_match(log, std::regex(R"((\S+Z (GET|POST) /\S* \d{3} \d+\.\dms\n){15})")))
        << log;
    EXPECT_NE(log.find(" /api/links/forged\\x0A2099-01-01T00:00:00Z\\x20GET 404 "), log.npos);
    EXPECT_NE(log.find(" POST /api/trace/client/report/app-one 413 "), log.npos);
}

TEST(AttributionService, KeepsItsDataAcrossRestartsAndStopsCleanlyOnSignals) {
    TempDir dir;
    const std::string database = dir.file("links.db");
    std::string trace;
    {
        auto service = startService(database);
        ASSERT_TRUE(service);
        trace = service->registerLink("app-one", "ref=restart", "mail");
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(post(*service, "/api/trace/client/state/app-one",
                       {{"ci", "c"}, {"t", "5"}, {"ms", "1"}, {"cd", "200"}, {"msg", "success"}})
                      .httpStatus,
                  200);
        ASSERT_EQ(service->stop(SIGTERM), 0) << service->stderrText();
        EXPECT_EQ(service->stdoutText(),
                  "listening on http://127.0.0.1:" + std::to_string(service->port()) + "\n");
        EXPECT_FALSE(std::filesystem::exists(service->portFile()));
    }
    // Links registered offline are there too; a trace identifier of the caller's choosing, once.
    const auto offline = command({"register", "--db", database, "--app-key", "app-one", "--params",
                                  "from=cli", "--channel", "shell"});
    ASSERT_EQ(offline.exitCode, 0) << offline.err;
    const std::string offlineTrace = offline.out.substr(0, offline.out.find('\n'));
    EXPECT_TRUE(std::regex_match(offlineTrace, std::regex("[A-Za-z0-9]{12,}"))) << offline.out;
    const std::vector<std::string> chosen = {
        "register", "--db", database, "--app-key", "app-one", "--trace-id", "Chosen000000001"};
    const auto fixed = command(chosen);
    EXPECT_EQ(fixed.exitCode, 0);
    EXPECT_EQ(fixed.out, "Chosen000000001\n");
    EXPECT_EQ(command(chosen).exitCode, 1);

    auto again = startService(database, {"--quiet"});
    ASSERT_TRUE(again);
    EXPECT_EQ(post(*again, "/api/trace/client/report/app-one", {{"ti", trace}}).body,
              linkAnswer("ref=restart", "mail", trace));
    EXPECT_EQ(post(*again, "/api/trace/client/report/app-one", {{"clip", offlineTrace}}).body,
              linkAnswer("from=cli", "shell", offlineTrace));
    EXPECT_EQ(send(*again, "GET", "/api/state/app-one").body.size(), 1u);
    // A second service cannot take a port that is in use.
    EXPECT_EQ(command({"--port", std::to_string(again->port()), "--db", ":memory:"}).exitCode, 1);
    EXPECT_EQ(again->stop(SIGINT), 0);
    EXPECT_EQ(again->stderrText(), "");  // --quiet
}

TEST(AttributionService, CommandLineRejectsMistakes) {
    const auto help = command({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--port-file"), std::string::npos);
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {"--prot", "1"}, {"--port", "70000"}, {"--port"}, {"register", "--params", "p"}}) {
        const auto refused = command(wrong);
        EXPECT_EQ(refused.exitCode, 2) << wrong[0];
        EXPECT_NE(refused.err.find("attribution-service: "), std::string::npos);
    }
}

TEST(AttributionService, HeldAnswersDoNotDelayShutdown) {
    auto service = startService("", {"--delay-ms", "60000"});
    ASSERT_TRUE(service);
    httplib::Client impatient("127.0.0.1", service->port());
    impatient.set_read_timeout(0, 300000);
    auto res = impatient.Post("/api/trace/client/report/app-one", "{}", "application/json");
    EXPECT_FALSE(res);  // held well beyond the client's patience
    // The held answer is cut short: the service ends long before its 60 seconds are up.
    EXPECT_EQ(service->stop(SIGTERM, std::chrono::seconds(20)), 0);
}

}  // namespace
