#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plovendale {

/// The location that marks "no position" (the largest signed 64-bit integer).
inline constexpr std::uint64_t NSNotFound = 0x7fffffffffffffffULL;

/// A stretch of text in UTF-16 code units.
struct RxRange {
    std::uint64_t location = 0;
    std::uint64_t length = 0;

    friend bool operator==(const RxRange&, const RxRange&) = default;
};

/// One match as the engine reports it: the whole match's range first, then one range per capture
/// group of the pattern (location NSNotFound, length 0 for a group that took no part).
struct RxTextCheckingResult {
    std::vector<RxRange> ranges;

    RxRange range() const { return ranges.empty() ? RxRange{NSNotFound, 0} : ranges.front(); }
    std::size_t numberOfRanges() const { return ranges.size(); }
    RxRange rangeAtIndex(std::size_t index) const {
        return index < ranges.size() ? ranges[index] : RxRange{NSNotFound, 0};
    }
};

/// A capture group of a match; `value` is nothing when the group is empty or took no part.
struct RxMatchGroup {
    std::optional<std::string> value;
    RxRange range;
};

/// A match: its text (nothing when empty), where it lies, its groups (index 0 is the whole match)
/// and the text that was searched.
struct RxMatch {
    std::optional<std::string> value;
    RxRange range;
    std::vector<RxMatchGroup> groups;
    std::string original;
};

/// Option bits of a compiled expression.
enum RxOption : unsigned {
    RxCaseInsensitive = 1u << 0,
    RxAllowCommentsAndWhitespace = 1u << 1,
    RxIgnoreMetacharacters = 1u << 2,
    RxDotMatchesLineSeparators = 1u << 3,
    RxAnchorsMatchLines = 1u << 4,
    RxUseUnixLineSeparators = 1u << 5,
    RxUseUnicodeWordBoundaries = 1u << 6,
};

/// A set of RxOption bits (a distinct type, so that `rx(pattern, true)` stays the case flag).
struct RxOptions {
    unsigned bits = 0;
};

/// A compiled regular expression (ICU syntax) with operations that always search the whole
/// subject. Subjects and results are UTF-8; positions count UTF-16 code units. Ill-formed UTF-8
/// in a subject is read as U+FFFD.
///
/// Matching is bounded: each search for the next match may take at most kMatchTimeLimit units of
/// the engine's work (one unit is 10,000 backtracking steps; about 100 ms of a typical CPU) and
/// the engine's default backtracking memory. A search that exceeds either ends as though no
/// further match existed, so hostile subjects cannot hang the caller. The bound is per search: a
/// long subject with many cheap matches is walked to its end.
///
/// Immutable once compiled; every operation is safe to call from any thread.
class Rx {
  public:
    static constexpr std::int32_t kMatchTimeLimit = 1000;

    using Transform = std::function<std::string(const std::string& matched)>;
    using DetailsTransform = std::function<std::string(const RxMatch& match)>;

    /// Compiled with no options; null when the pattern is invalid.
    static std::shared_ptr<Rx> rx(const std::string& pattern);
    static std::shared_ptr<Rx> rx(const std::string& pattern, bool ignoreCase);
    static std::shared_ptr<Rx> rx(const std::string& pattern, RxOptions options);
    static std::shared_ptr<Rx> initWithPattern(const std::string& pattern) { return rx(pattern); }

    bool isMatch(const std::string& subject) const;
    /// The UTF-16 location of the first match; -1 when there is none.
    std::int32_t indexOf(const std::string& subject) const;
    /// The pieces between matches, empty ones included (n matches give n + 1 pieces).
    std::vector<std::string> split(const std::string& subject) const;
    /// Every match replaced by `templ` expanded for it ("$1" names group 1, "\" escapes).
    /// A template that refers to a group the pattern lacks leaves the subject unchanged.
    std::string replace(const std::string& subject, const std::string& templ) const;
    /// Every match replaced by what `transform` makes of its text; the transform is called from
    /// the last match to the first. Without a transform the subject comes back unchanged.
    std::string replace(const std::string& subject, const Transform& transform) const;
    std::string replaceWithDetails(const std::string& subject,
                                   const DetailsTransform& transform) const;
    /// The matched texts in order (an empty match gives "").
    std::vector<std::string> matches(const std::string& subject) const;
    std::optional<std::string> firstMatch(const std::string& subject) const;
    std::vector<RxMatch> matchesWithDetails(const std::string& subject) const;
    std::optional<RxMatch> firstMatchWithDetails(const std::string& subject) const;

    /// The record of `result` over `original`; a range outside `original` gives no value.
    static RxMatch resultToMatch(const RxTextCheckingResult& result, const std::string& original);

    ~Rx();
    Rx(const Rx&) = delete;
    Rx& operator=(const Rx&) = delete;

  private:
    struct Impl;
    explicit Rx(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

/// The string-side forms: the string is the pattern...
std::shared_ptr<Rx> toRxWithOptions(const std::string& pattern, RxOptions options);

/// ...or the subject, with the same results as the expression's operations.
bool isMatch(const std::string& subject, const Rx& rx);
std::int32_t indexOf(const std::string& subject, const Rx& rx);
std::vector<std::string> split(const std::string& subject, const Rx& rx);
std::string replace(const std::string& subject, const Rx& rx, const std::string& templ);
std::string replace(const std::string& subject, const Rx& rx, const Rx::Transform& transform);
std::string replaceWithDetails(const std::string& subject, const Rx& rx,
                               const Rx::DetailsTransform& transform);
std::vector<std::string> matches(const std::string& subject, const Rx& rx);
std::optional<std::string> firstMatch(const std::string& subject, const Rx& rx);
std::vector<RxMatch> matchesWithDetails(const std::string& subject, const Rx& rx);
std::optional<RxMatch> firstMatchWithDetails(const std::string& subject, const Rx& rx);

}  // namespace plovendale
