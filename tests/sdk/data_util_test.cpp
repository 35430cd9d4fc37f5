#include "sdk/data_util.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace plovendale {
namespace {

std::optional<ResData> parse(const std::string& body) {
    return DataUtil::parseResData(toBytes(body));
}

TEST(DataUtilTest, ParsesServiceResponses) {
    EXPECT_EQ(parse(R"({"status":200})"), (ResData{200, std::nullopt, "", std::nullopt}));
    EXPECT_EQ(
        parse(
            R"({"status":200,"error":"E","data":{"params_data":"P","channel":"C","trace_id":"T"},"x":1})"),
        (ResData{200, "E", "T", AppData{"P", "C"}}));
    EXPECT_EQ(parse(R"({"status":500,"error":"E"})"), (ResData{500, "E", "", std::nullopt}));
    EXPECT_EQ(parse(R"({"status":200,"data":{}})"),
              (ResData{200, std::nullopt, "", AppData{"", ""}}));
    EXPECT_EQ(parse(R"({"status":200,"data":{"params_data":7,"channel":null,"trace_id":""}})"),
              (ResData{200, std::nullopt, "", AppData{"", ""}}));
    EXPECT_EQ(parse(R"({"status":200,"data":{"params_data":" ","trace_id":" "},"error":3})"),
              (ResData{200, std::nullopt, " ", AppData{"", ""}}));
    EXPECT_EQ(parse(R"({"status":200,"data":"x","trace_id":"T"})"),
              (ResData{200, std::nullopt, "", std::nullopt}));
    EXPECT_EQ(parse(R"({"status":200,"data":[1]})"),
              (ResData{200, std::nullopt, "", std::nullopt}));
    // The last of duplicate keys counts, at the top and in "data"; a later "data" replaces all.
    EXPECT_EQ(
        parse(
            R"({"status":200,"data":{"params_data":"P","channel":"C","trace_id":"T"},"data":{}})"),
        (ResData{200, std::nullopt, "", AppData{"", ""}}));
    EXPECT_EQ(parse(R"({"status":200,"data":{"channel":"C"},"data":"x","error":"E","error":1})"),
              (ResData{200, std::nullopt, "", std::nullopt}));
    EXPECT_EQ(
        parse(R"({"status":200,"data":{"channel":"C","channel":[],"trace_id":"T","trace_id":{}}})"),
        (ResData{200, std::nullopt, "", AppData{"", ""}}));
    // Only the top object and its "data" count; the same names deeper do not.
    EXPECT_EQ(
        parse(
            R"({"x":{"status":1,"data":{"channel":"D"}},"data":{"channel":"C","x":{"channel":"D","trace_id":"D"},"y":[{"params_data":"D"}]},"z":{"channel":"D","trace_id":"D"},"w":[{"error":"D","status":1}],"status":200})"),
        (ResData{200, std::nullopt, "", AppData{"", "C"}}));
    EXPECT_EQ(parse(R"({"status":"x","status":201})")->code, 201);
    EXPECT_EQ(parse(R"({"status":200.9})")->code, 200);
    EXPECT_EQ(parse(R"({"status":-200.9})")->code, -200);
    EXPECT_EQ(parse(R"({"status":true})")->code, 1);
    EXPECT_EQ(parse(R"({"status":false})")->code, 0);
    EXPECT_EQ(parse(R"({"status":-5})")->code, -5);
    EXPECT_EQ(parse(R"({"status":1e40})")->code, INT64_MAX);
    EXPECT_EQ(parse(R"({"status":-1e40})")->code, INT64_MIN);
    EXPECT_EQ(parse(R"({"status":18446744073709551615})")->code, INT64_MAX);

    for (const char* refused :
         {R"({"status":"200"})", R"({"error":"E"})", R"([{"status":200}])", R"({"status":null})",
          R"({"status":200,"status":null})", R"({"status":{}})", R"({"status":[200]})",
          R"({"x":{"status":200},"data":{"status":200}})", R"({"status":1e400})", "", "{", "200",
          R"({"status":200} {})"}) {
        EXPECT_FALSE(parse(refused)) << refused;
    }
    EXPECT_FALSE(DataUtil::parseResData(std::nullopt));
}

TEST(DataUtilTest, CacheFormRoundTrips) {
    EXPECT_EQ(DataUtil::appData2Json(std::nullopt), "");
    const std::string json = DataUtil::appData2Json(AppData{"a=1&b=\"2\"", "web/\u00e9"});
    EXPECT_EQ(nlohmann::json::parse(json),
              (nlohmann::json{{"params_data", "a=1&b=\"2\""}, {"channel", "web/\u00e9"}}));
    EXPECT_EQ(DataUtil::appData2Json(AppData{"", std::nullopt}), R"({"params_data":""})");
    EXPECT_EQ(DataUtil::appData2Json(AppData{"P", "C"}), R"({"channel":"C","params_data":"P"})");
    EXPECT_EQ(DataUtil::appData2Json(AppData{"\xff", "C"}), "") << "text that is not UTF-8";

    EXPECT_EQ(DataUtil::parseAppData(json), (AppData{"a=1&b=\"2\"", "web/\u00e9"}));
    EXPECT_EQ(DataUtil::parseAppData(std::string("{\"params_data\":\"x\\u0000y\"}")),
              (AppData{std::string("x\0y", 3), ""}));
    EXPECT_FALSE(DataUtil::parseAppData(""));
    EXPECT_FALSE(DataUtil::parseAppData(" "));
    EXPECT_FALSE(DataUtil::parseAppData(std::nullopt));
    EXPECT_EQ(DataUtil::parseAppData("not json"), (AppData{"", ""}));
    EXPECT_EQ(DataUtil::parseAppData("[\"P\"]"), (AppData{"", ""}));
    EXPECT_EQ(
        DataUtil::parseAppData(
            R"({"channel":"A","channel":"B","params_data":"P","params_data":{"params_data":"x"}})"),
        (AppData{"", "B"}));
}

TEST(DataUtilTest, HostileBodiesAreRefusedQuietly) {
    const std::string deep = std::string(10000, '[') + std::string(10000, ']');
    EXPECT_FALSE(parse(deep));
    std::string deepData = R"({"status":200,"data":)";
    for (int i = 0; i < 10000; ++i) deepData += "{\"a\":";
    deepData += "1" + std::string(10001, '}');
    EXPECT_EQ(parse(deepData), (ResData{200, std::nullopt, "", AppData{"", ""}}));
    EXPECT_FALSE(parse("{\"status\":200,\"error\":\"\xc3\x28\"}"));
    EXPECT_FALSE(parse(std::string("{\"status\":200}\0", 15)));
    EXPECT_EQ(parse(R"({"status":200,"error":"a\u0000b"})")->msg, std::string("a\0b", 3));
}

}  // namespace
}  // namespace plovendale
