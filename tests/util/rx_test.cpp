#include "util/rx.h"

#include <gtest/gtest.h>

namespace plovendale {
namespace {

TEST(RxTest, InvalidPatternsCompileToNothing) {
    EXPECT_FALSE(Rx::rx("(ab"));
    EXPECT_FALSE(toRxWithOptions("(ab", RxOptions{RxCaseInsensitive}));
    EXPECT_FALSE(Rx::rx("a\xff")) << "a pattern that is not UTF-8";
    ASSERT_TRUE(Rx::rx("ab"));

    EXPECT_FALSE(Rx::rx("ab")->isMatch("xAB"));
    EXPECT_TRUE(Rx::rx("ab", true)->isMatch("xAB"));
    EXPECT_FALSE(Rx::rx("a.b")->isMatch("a\nb"));
    EXPECT_TRUE(Rx::rx("a.b", RxOptions{RxDotMatchesLineSeparators})->isMatch("a\nb"));
    EXPECT_TRUE(Rx::rx("a.b", RxOptions{RxIgnoreMetacharacters})->isMatch("xa.b"));
    EXPECT_FALSE(Rx::rx("a.b", RxOptions{RxIgnoreMetacharacters})->isMatch("axb"));
}

TEST(RxTest, PositionsCountUTF16Units) {
    const auto rx = Rx::rx("x+");
    EXPECT_EQ(rx->indexOf("abc"), -1);
    EXPECT_EQ(rx->indexOf("xab"), 0);
    // "é" is one unit, the emoji two.
    const std::string subject = "\u00e9\U0001F600xx\U0001F600";
    EXPECT_EQ(rx->indexOf(subject), 3);
    const auto match = rx->firstMatchWithDetails(subject);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->range, (RxRange{3, 2}));
    EXPECT_EQ(match->value, "xx");
    EXPECT_EQ(match->original, subject);
    EXPECT_EQ(Rx::rx("\U0001F600")->split(subject), (std::vector<std::string>{"\u00e9", "xx", ""}));
}

TEST(RxTest, SplitKeepsEveryPiece) {
    const auto comma = Rx::rx(",");
    EXPECT_EQ(comma->split(""), (std::vector<std::string>{""}));
    EXPECT_EQ(comma->split("abc"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(comma->split("a,b,"), (std::vector<std::string>{"a", "b", ""}));
    EXPECT_EQ(comma->split(",a,,b"), (std::vector<std::string>{"", "a", "", "b"}));
    EXPECT_EQ(split("a,b", *comma), comma->split("a,b"));
}

TEST(RxTest, ReplaceForms) {
    const auto digits = Rx::rx("(\\d)(\\d)?");
    EXPECT_EQ(digits->replace("a12b3", Rx::Transform()), "a12b3");

    std::vector<std::string> seen;
    const std::string replaced = digits->replace("a12b3", [&](const std::string& text) {
        seen.push_back(text);
        return "<" + text + text + ">";
    });
    EXPECT_EQ(replaced, "a<1212>b<33>");
    EXPECT_EQ(seen, (std::vector<std::string>{"3", "12"}))
        << "called from the last match to the first";

    EXPECT_EQ(digits->replace("a12b3", "[$2$1]"), "a[21]b[3]");
    EXPECT_EQ(digits->replace("a12b3", "\\$"), "a$b$");
    EXPECT_EQ(digits->replace("ab", "x"), "ab");
    EXPECT_EQ(digits->replace("a12", "$9"), "a12") << "no group 9";
    EXPECT_EQ(digits->replace("a12", "$"), "a12");
    EXPECT_EQ(replace("a12", *digits, "-"), "a-");

    const std::string detailed = digits->replaceWithDetails(
        "a12b3", [](const RxMatch& match) { return match.groups[2].value.value_or("none"); });
    EXPECT_EQ(detailed, "a2bnone");
    EXPECT_EQ(replaceWithDetails("a1", *digits, Rx::DetailsTransform()), "a1");
}

TEST(RxTest, GroupsThatTookNoPartHaveNoValueAndNoLocation) {
    const auto rx = Rx::rx("a(b)?(c)");
    const auto found = rx->matchesWithDetails("xac abc");
    ASSERT_EQ(found.size(), 2u);
    ASSERT_EQ(found[0].groups.size(), 3u);
    EXPECT_EQ(found[0].groups[0].value, "ac");
    EXPECT_EQ(found[0].groups[0].range, (RxRange{1, 2}));
    EXPECT_FALSE(found[0].groups[1].value);
    EXPECT_EQ(found[0].groups[1].range, (RxRange{NSNotFound, 0}));
    EXPECT_EQ(found[0].groups[2].value, "c");
    EXPECT_EQ(found[1].groups[1].value, "b");
    EXPECT_EQ(matchesWithDetails("xac", *rx).size(), 1u);
}

TEST(RxTest, EmptyMatchesAreTextsButNotValues) {
    const auto rx = Rx::rx("x*");
    EXPECT_EQ(rx->matches("ab"), (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(rx->firstMatch("ab"), "");
    const auto match = rx->firstMatchWithDetails("ab");
    ASSERT_TRUE(match);
    EXPECT_FALSE(match->value);
    EXPECT_EQ(match->range, (RxRange{0, 0}));
    EXPECT_FALSE(Rx::rx("z")->firstMatch("ab"));
    EXPECT_FALSE(firstMatchWithDetails("ab", *Rx::rx("z")));
    EXPECT_EQ(matches("axxb", *rx), (std::vector<std::string>{"", "xx", "", ""}));
    EXPECT_TRUE(isMatch("", *rx));
    EXPECT_EQ(indexOf("ab", *Rx::rx("b")), 1);
}

TEST(RxTest, ResultToMatchNeverReadsOutsideTheText) {
    const RxTextCheckingResult result{{{1, 2}, {NSNotFound, 0}, {2, 50}, {NSNotFound, 3}}};
    const RxMatch match = Rx::resultToMatch(result, "abcd");
    EXPECT_EQ(match.value, "bc");
    ASSERT_EQ(match.groups.size(), 4u);
    EXPECT_FALSE(match.groups[1].value);
    EXPECT_FALSE(match.groups[2].value);
    EXPECT_FALSE(match.groups[3].value);
    EXPECT_EQ(match.groups[3].range, (RxRange{NSNotFound, 3}));
}

TEST(RxTest, RunawayMatchingEndsAsNoMatch) {
    // Nested quantifiers backtrack exponentially on a near miss; the engine's limit ends them.
    const auto rx = Rx::rx("(a+)+$");
    const std::string nearMiss = std::string(64, 'a') + "b";
    EXPECT_FALSE(rx->isMatch(nearMiss));
    EXPECT_EQ(rx->matches(nearMiss), std::vector<std::string>{});
    EXPECT_EQ(rx->replace(nearMiss, "x"), nearMiss);
    EXPECT_TRUE(rx->isMatch("aaa"));

    // The limit is per search: a long subject whose many cheap matches together take far more
    // than one search's budget (here about 12 million backtracking steps) is walked to its end.
    std::string block;
    for (int i = 0; i < 1000; ++i) block += i % 2 ? 'y' : 'x';
    block += "z ";
    std::string longSubject;
    for (int i = 0; i < 50; ++i) longSubject += block;
    constexpr std::size_t kMatches = 50 * 500;
    const auto eachX = Rx::rx("x(?=(?:x|y)*z)");  // every x looks ahead across its whole block
    EXPECT_EQ(eachX->matches(longSubject).size(), kMatches);
    EXPECT_EQ(eachX->split(longSubject).size(), kMatches + 1);
    const std::string withoutX = eachX->replace(longSubject, "");
    EXPECT_EQ(withoutX.size(), longSubject.size() - kMatches);
    EXPECT_EQ(withoutX.find('x'), std::string::npos);

    // Ill-formed UTF-8 and NUL bytes are ordinary characters to the engine.
    EXPECT_EQ(Rx::rx("b")->split(std::string("a\0b\xff", 4)),
              (std::vector<std::string>{std::string("a\0", 2), "\xEF\xBF\xBD"}));
}

}  // namespace
}  // namespace plovendale
