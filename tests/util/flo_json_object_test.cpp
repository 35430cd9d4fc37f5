#include "util/flo_json_object.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "util/json_serialization.h"

namespace plovendale {
namespace {

FLOJSONObject parse(const std::string& text, unsigned options = 0) {
    return FLOJSONObject::objectWithData(toBytes(text), options);
}

TEST(FLOJSONObjectTest, AnswersOnlyTheKindItHolds) {
    const FLOJSONObject root = parse(R"({"a":1,"b":"x","c":null,"d":true,"e":false,"f":"200"})");
    const auto dictionary = root.dictionary();
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(dictionary->size(), 6u);

    EXPECT_EQ(dictionary->at("a").number()->longLongValue(), 1);
    EXPECT_FALSE(dictionary->at("a").string());
    EXPECT_EQ(dictionary->at("b").string(), "x");
    EXPECT_FALSE(dictionary->at("b").number());
    EXPECT_TRUE(dictionary->at("c").null());
    EXPECT_FALSE(dictionary->at("c").string());
    EXPECT_EQ(dictionary->at("d").number()->longLongValue(), 1);
    EXPECT_EQ(dictionary->at("e").number()->longLongValue(), 0);
    EXPECT_FALSE(dictionary->at("f").number()) << "a string of digits is not a number";
    EXPECT_FALSE(root.objectForKey("missing").null());
}

TEST(FLOJSONObjectTest, NumbersKeepTheirIntegerPart) {
    const FLOJSONObject root =
        parse(R"([200.9, -3.7, 18446744073709551615, 1e300, -1e300, 9007199254740993])");
    const auto values = root.array();
    ASSERT_TRUE(values);
    EXPECT_EQ((*values)[0].number()->longLongValue(), 200);
    EXPECT_TRUE((*values)[0].number()->isFloatingPoint());
    EXPECT_EQ((*values)[1].number()->longLongValue(), -3);
    EXPECT_EQ((*values)[2].number()->longLongValue(), INT64_MAX);
    EXPECT_EQ((*values)[3].number()->longLongValue(), INT64_MAX);
    EXPECT_EQ((*values)[4].number()->longLongValue(), INT64_MIN);
    EXPECT_EQ((*values)[5].number()->longLongValue(), 9007199254740993)
        << "integers are not rounded";
}

TEST(FLOJSONObjectTest, MappingAsOneContainerKindIsFinal) {
    const FLOJSONObject list = parse("[1,2]");
    EXPECT_FALSE(list.dictionary());
    EXPECT_TRUE(list.verifyClass(JSONKind::Array)) << "a failed dictionary changes nothing";
    ASSERT_EQ(list.array()->size(), 2u);
    EXPECT_FALSE(list.verifyClass(JSONKind::Array));
    EXPECT_FALSE(list.dictionary());
    EXPECT_TRUE(list.array());

    const FLOJSONObject object = parse(R"({"k":{"n":"v"}})");
    EXPECT_TRUE(object.verifyClass(JSONKind::Dictionary));
    const auto first = object.dictionary();
    EXPECT_FALSE(object.verifyClass(JSONKind::Dictionary));
    EXPECT_FALSE(object.string());
    EXPECT_FALSE(object.array());
    const auto second = object.dictionary();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->at("k").isIdenticalTo(second->at("k")));

    // Children are wrapped lazily and keep their own cache, seen through every copy of a handle.
    const FLOJSONObject copy = object;
    const FLOJSONObject child = copy.objectForKey("k");
    EXPECT_TRUE(child.verifyClass(JSONKind::Dictionary));
    EXPECT_EQ(child.objectForKey("n").string(), "v");
    EXPECT_FALSE(object.objectForKey("k").verifyClass(JSONKind::Dictionary));
}

TEST(FLOJSONObjectTest, NothingPropagatesThroughEveryAccessor) {
    Error error;
    for (const char* text : {"\"text\"", "5", "", "{", "[1,]", "{\"a\":1} x", "nul"}) {
        EXPECT_FALSE(FLOJSONObject::objectWithData(toBytes(text), 0, &error)) << text;
    }
    EXPECT_EQ(error.domain, kJSONErrorDomain);
    EXPECT_FALSE(FLOJSONObject::objectWithData(std::nullopt));
    EXPECT_EQ(
        FLOJSONObject::objectWithData(toBytes("\"text\""), kJSONReadingAllowFragments).string(),
        "text");

    for (const FLOJSONObject& nothing :
         {FLOJSONObject(), FLOJSONObject::initWithUnderlyingObject(nullptr)}) {
        EXPECT_FALSE(nothing.string());
        EXPECT_FALSE(nothing.number());
        EXPECT_FALSE(nothing.null());
        EXPECT_FALSE(nothing.array());
        EXPECT_FALSE(nothing.dictionary());
        EXPECT_FALSE(nothing.mutableArray());
        EXPECT_FALSE(nothing.mutableDictionary());
        EXPECT_FALSE(nothing.verifyClass(JSONKind::Null));
        EXPECT_FALSE(nothing.objectForKey("a").objectForKey("b").string());
    }
}

TEST(FLOJSONObjectTest, MutableCopiesFollowTheMutableContainersOption) {
    const FLOJSONObject immutable = parse(R"({"a":1,"b":[1]})");
    EXPECT_FALSE(immutable.verifyClass(JSONKind::MutableDictionary));
    EXPECT_FALSE(immutable.mutableDictionary()) << "nothing until dictionary has been asked";
    ASSERT_TRUE(immutable.dictionary());
    auto copy = immutable.mutableDictionary();
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->size(), 2u);
    EXPECT_TRUE(copy->at("a").isIdenticalTo(immutable.dictionary()->at("a")));
    copy->emplace("added", FLOJSONObject());
    EXPECT_EQ(immutable.dictionary()->size(), 2u);
    EXPECT_FALSE(immutable.objectForKey("b").mutableArray());

    const FLOJSONObject mutableRoot = parse(R"({"a":1,"b":[1]})", kJSONReadingMutableContainers);
    EXPECT_TRUE(mutableRoot.verifyClass(JSONKind::MutableDictionary));
    EXPECT_TRUE(mutableRoot.verifyClass(JSONKind::Dictionary));
    EXPECT_TRUE(mutableRoot.mutableDictionary());
    const FLOJSONObject nested = mutableRoot.objectForKey("b");
    EXPECT_TRUE(nested.verifyClass(JSONKind::MutableArray));
    ASSERT_TRUE(nested.mutableArray());
    EXPECT_EQ(nested.mutableArray()->size(), 1u);
}

TEST(FLOJSONObjectTest, HostileDocumentsAreReadSafely) {
    // Ten thousand levels, walked all the way down while the root stays alive, then released.
    constexpr int kDepth = 10000;
    const std::string deep = std::string(kDepth, '[') + "\"bottom\"" + std::string(kDepth, ']');
    {
        FLOJSONObject root = parse(deep);
        FLOJSONObject cursor = root;
        for (int level = 0; level < kDepth; ++level) cursor = cursor.array()->at(0);
        EXPECT_EQ(cursor.string(), "bottom");
    }
    const std::string deepObjects = std::string(kDepth * 5, ' ') + [] {
        std::string text;
        for (int level = 0; level < kDepth; ++level) text += "{\"a\":";
        return text + "1" + std::string(kDepth, '}');
    }();
    EXPECT_EQ(parse(deepObjects).objectForKey("a").objectForKey("a").dictionary()->size(), 1u);

    EXPECT_FALSE(parse("{\"a\":\"\xff\xfe\"}")) << "ill-formed UTF-8";
    EXPECT_FALSE(parse(std::string("{\"a\":\"x\0y\"}", 11))) << "a raw NUL is not JSON";
    EXPECT_FALSE(parse(std::string("{\"a\":1}\0{", 9))) << "nor is text after one";
    const auto withNul = parse(R"({"a":"x\u0000y"})").objectForKey("a").string();
    ASSERT_TRUE(withNul);
    EXPECT_EQ(*withNul, std::string("x\0y", 3));
}

}  // namespace
}  // namespace plovendale
