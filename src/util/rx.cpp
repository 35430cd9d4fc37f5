#include "util/rx.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "util/text.h"
#include "util/utf16.h"

namespace plovendale {

struct Rx::Impl {
    std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

std::uint32_t icuFlags(unsigned bits) {
    std::uint32_t flags = 0;
    if (bits & RxCaseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
    if (bits & RxAllowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
    if (bits & RxIgnoreMetacharacters) flags |= UREGEX_LITERAL;
    if (bits & RxDotMatchesLineSeparators) flags |= UREGEX_DOTALL;
    if (bits & RxAnchorsMatchLines) flags |= UREGEX_MULTILINE;
    if (bits & RxUseUnixLineSeparators) flags |= UREGEX_UNIX_LINES;
    if (bits & RxUseUnicodeWordBoundaries) flags |= UREGEX_UWORD;
    return flags;
}

RxRange toRange(std::int32_t start, std::int32_t end) {
    if (start < 0 || end < start) return {NSNotFound, 0};
    return {static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end - start)};
}

bool inside(const RxRange& range, const icu::UnicodeString& text) {
    const auto size = static_cast<std::uint64_t>(text.length());
    return range.location <= size && range.length <= size - range.location;
}

std::optional<std::string> valueAt(const RxRange& range, const icu::UnicodeString& text) {
    // A length of 0 (which includes a group that took no part) never reaches the substring.
    if (range.length == 0 || !inside(range, text)) return std::nullopt;
    return utf16Substring(text, static_cast<std::int32_t>(range.location),
                          static_cast<std::int32_t>(range.length));
}

RxMatch makeMatch(const RxTextCheckingResult& result, const icu::UnicodeString& text,
                  const std::string& original) {
    RxMatch match;
    match.original = original;
    match.range = result.range();
    match.value = valueAt(match.range, text);
    match.groups.reserve(result.numberOfRanges());
    for (std::size_t i = 0; i < result.numberOfRanges(); ++i) {
        const RxRange range = result.rangeAtIndex(i);
        match.groups.push_back(RxMatchGroup{valueAt(range, text), range});
    }
    return match;
}

/// One left-to-right walk over the matches of a subject, within the engine's limits.
class Search {
  public:
    Search(const icu::RegexPattern& pattern, const icu::UnicodeString& subject) {
        if (subject.isBogus()) return;
        UErrorCode status = U_ZERO_ERROR;
        matcher_.reset(pattern.matcher(subject, status));
        if (U_SUCCESS(status)) matcher_->setMatchCallback(&Search::withinBudget, &budget_, status);
        if (U_FAILURE(status)) matcher_.reset();
    }
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    /// Advances to the next match; false at the end, or once a limit was reached (a search cut
    /// short is not resumed).
    bool next() {
        if (!matcher_ || finished_) return false;
        budget_.searchStartedAt = budget_.latest;
        UErrorCode status = U_ZERO_ERROR;
        const bool found = matcher_->find(status);
        finished_ = U_FAILURE(status) || !found;
        return !finished_;
    }

    RxTextCheckingResult result() const {
        RxTextCheckingResult result;
        UErrorCode status = U_ZERO_ERROR;
        const std::int32_t groups = matcher_->groupCount();
        result.ranges.reserve(static_cast<std::size_t>(groups) + 1);
        for (std::int32_t i = 0; i <= groups; ++i) {
            result.ranges.push_back(toRange(matcher_->start(i, status), matcher_->end(i, status)));
        }
        return result;
    }

    icu::RegexMatcher& matcher() const { return *matcher_; }

  private:
    // The engine's own time limit counts the work of every find() on one matcher together, so a
    // long subject would lose all matches past the first few million steps. The work is counted
    // per search here instead, from the engine's running total.
    struct Budget {
        std::int32_t searchStartedAt = 0;
        std::int32_t latest = 0;
    };

    static UBool U_CALLCONV withinBudget(const void* context, std::int32_t steps) {
        auto* budget = static_cast<Budget*>(const_cast<void*>(context));
        budget->latest = steps;
        return steps - budget->searchStartedAt < Rx::kMatchTimeLimit;
    }

    Budget budget_;
    std::unique_ptr<icu::RegexMatcher> matcher_;
    bool finished_ = false;
};

std::vector<RxTextCheckingResult> allMatches(const icu::RegexPattern& pattern,
                                             const icu::UnicodeString& subject) {
    std::vector<RxTextCheckingResult> results;
    Search search(pattern, subject);
    while (search.next()) results.push_back(search.result());
    return results;
}

std::optional<RxTextCheckingResult> firstResult(const icu::RegexPattern& pattern,
                                                const icu::UnicodeString& subject) {
    Search search(pattern, subject);
    if (!search.next()) return std::nullopt;
    return search.result();
}

/// The subject with each match's stretch replaced by its replacement, assembled front to back.
std::string splice(const icu::UnicodeString& subject,
                   const std::vector<RxTextCheckingResult>& results,
                   const std::vector<std::string>& replacements) {
    std::string out;
    std::int32_t cursor = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const RxRange range = results[i].range();
        const auto start = static_cast<std::int32_t>(range.location);
        out += utf16Substring(subject, cursor, start - cursor);
        out += replacements[i];
        cursor = start + static_cast<std::int32_t>(range.length);
    }
    out += utf16Substring(subject, cursor, subject.length() - cursor);
    return out;
}

}  // namespace

Rx::Rx(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Rx::~Rx() = default;

std::shared_ptr<Rx> Rx::rx(const std::string& pattern) {
    return rx(pattern, RxOptions{});
}

std::shared_ptr<Rx> Rx::rx(const std::string& pattern, bool ignoreCase) {
    return rx(pattern, RxOptions{ignoreCase ? unsigned{RxCaseInsensitive} : 0u});
}

std::shared_ptr<Rx> Rx::rx(const std::string& pattern, RxOptions options) {
    if (!isValidUTF8(pattern)) return nullptr;
    const icu::UnicodeString source = toUTF16(pattern);
    if (source.isBogus()) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    auto impl = std::make_unique<Impl>();
    impl->pattern.reset(
        icu::RegexPattern::compile(source, icuFlags(options.bits), parseError, status));
    if (U_FAILURE(status) || !impl->pattern) return nullptr;
    return std::shared_ptr<Rx>(new Rx(std::move(impl)));
}

bool Rx::isMatch(const std::string& subject) const {
    return firstResult(*impl_->pattern, toUTF16(subject)).has_value();
}

std::int32_t Rx::indexOf(const std::string& subject) const {
    const auto first = firstResult(*impl_->pattern, toUTF16(subject));
    return first ? static_cast<std::int32_t>(first->range().location) : -1;
}

std::vector<std::string> Rx::split(const std::string& subject) const {
    const icu::UnicodeString text = toUTF16(subject);
    const auto results = allMatches(*impl_->pattern, text);
    if (results.empty()) return {subject};
    std::vector<std::string> pieces;
    pieces.reserve(results.size() + 1);
    std::int32_t cursor = 0;
    for (const auto& result : results) {
        const auto start = static_cast<std::int32_t>(result.range().location);
        pieces.push_back(utf16Substring(text, cursor, start - cursor));
        cursor = start + static_cast<std::int32_t>(result.range().length);
    }
    pieces.push_back(utf16Substring(text, cursor, text.length() - cursor));
    return pieces;
}

std::string Rx::replace(const std::string& subject, const std::string& templ) const {
    const icu::UnicodeString text = toUTF16(subject);
    const icu::UnicodeString replacement = toUTF16(templ);
    Search search(*impl_->pattern, text);
    if (!search.next()) return subject;
    icu::UnicodeString out;
    UErrorCode status = U_ZERO_ERROR;
    do {
        search.matcher().appendReplacement(out, replacement, status);
        if (U_FAILURE(status)) return subject;
    } while (search.next());
    search.matcher().appendTail(out);
    if (out.isBogus()) return subject;
    std::string result;
    out.toUTF8String(result);
    return result;
}

std::string Rx::replace(const std::string& subject, const Transform& transform) const {
    if (!transform) return subject;
    return replaceWithDetails(subject, [&transform](const RxMatch& match) {
        return transform(match.value.value_or(""));
    });
}

std::string Rx::replaceWithDetails(const std::string& subject,
                                   const DetailsTransform& transform) const {
    if (!transform) return subject;
    const icu::UnicodeString text = toUTF16(subject);
    const auto results = allMatches(*impl_->pattern, text);
    if (results.empty()) return subject;
    // Called from the last match to the first, as callers of the block forms expect.
    std::vector<std::string> replacements(results.size());
    for (std::size_t i = results.size(); i-- > 0;) {
        replacements[i] = transform(makeMatch(results[i], text, subject));
    }
    return splice(text, results, replacements);
}

std::vector<std::string> Rx::matches(const std::string& subject) const {
    const icu::UnicodeString text = toUTF16(subject);
    std::vector<std::string> found;
    for (const auto& result : allMatches(*impl_->pattern, text)) {
        found.push_back(valueAt(result.range(), text).value_or(""));
    }
    return found;
}

std::optional<std::string> Rx::firstMatch(const std::string& subject) const {
    const icu::UnicodeString text = toUTF16(subject);
    const auto first = firstResult(*impl_->pattern, text);
    if (!first) return std::nullopt;
    return valueAt(first->range(), text).value_or("");
}

std::vector<RxMatch> Rx::matchesWithDetails(const std::string& subject) const {
    const icu::UnicodeString text = toUTF16(subject);
    std::vector<RxMatch> found;
    for (const auto& result : allMatches(*impl_->pattern, text)) {
        found.push_back(makeMatch(result, text, subject));
    }
    return found;
}

// Only the first match is needed, so the search stops there instead of listing every match: the
// answer is the same and a long subject costs no more than the way to its first match.
std::optional<RxMatch> Rx::firstMatchWithDetails(const std::string& subject) const {
    const icu::UnicodeString text = toUTF16(subject);
    const auto first = firstResult(*impl_->pattern, text);
    if (!first) return std::nullopt;
    return makeMatch(*first, text, subject);
}

RxMatch Rx::resultToMatch(const RxTextCheckingResult& result, const std::string& original) {
    return makeMatch(result, toUTF16(original), original);
}

std::shared_ptr<Rx> toRxWithOptions(const std::string& pattern, RxOptions options) {
    return Rx::rx(pattern, options);
}

bool isMatch(const std::string& subject, const Rx& rx) {
    return rx.isMatch(subject);
}
std::int32_t indexOf(const std::string& subject, const Rx& rx) {
    return rx.indexOf(subject);
}
std::vector<std::string> split(const std::string& subject, const Rx& rx) {
    return rx.split(subject);
}
std::string replace(const std::string& subject, const Rx& rx, const std::string& templ) {
    return rx.replace(subject, templ);
}
std::string replace(const std::string& subject, const Rx& rx, const Rx::Transform& transform) {
    return rx.replace(subject, transform);
}
std::string replaceWithDetails(const std::string& subject, const Rx& rx,
                               const Rx::DetailsTransform& transform) {
    return rx.replaceWithDetails(subject, transform);
}
std::vector<std::string> matches(const std::string& subject, const Rx& rx) {
    return rx.matches(subject);
}
std::optional<std::string> firstMatch(const std::string& subject, const Rx& rx) {
    return rx.firstMatch(subject);
}
std::vector<RxMatch> matchesWithDetails(const std::string& subject, const Rx& rx) {
    return rx.matchesWithDetails(subject);
}
std::optional<RxMatch> firstMatchWithDetails(const std::string& subject, const Rx& rx) {
    return rx.firstMatchWithDetails(subject);
}

}  // namespace plovendale
