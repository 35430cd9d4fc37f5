// Regular expressions: a short fuzzed pattern with fuzzed options and one operation on a short
// fuzzed subject. Each input makes one search at most, so its cost is bounded by one search
// budget of the engine; short subjects keep most inputs far below it.

#include "fuzz_support.h"
#include "util/rx.h"
#include "util/text.h"

using namespace plovendale;

namespace {

constexpr std::size_t kMaxPattern = 32;
constexpr std::size_t kMaxSubject = 48;

void checkMatch(const RxMatch& match, const std::string& subject) {
    FUZZ_CHECK(!match.groups.empty() && match.groups.front().range == match.range);
    FUZZ_CHECK(match.groups.front().value == match.value && match.original == subject);
    for (const auto& group : match.groups) {
        if (group.range.location == NSNotFound) FUZZ_CHECK(!group.value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint8_t operation = input.byte();
    const RxOptions options{input.byte() & 0x7fu};
    const std::string pattern(input.field('\0').substr(0, kMaxPattern));
    const std::string subject(input.take(kMaxSubject));

    const auto rx = Rx::rx(pattern, options);
    if (!rx) return 0;
    // isMatch and matches share their searches with indexOf and matchesWithDetails.
    switch (operation % 7) {
        case 1:
            FUZZ_CHECK(rx->indexOf(subject) >= -1);
            break;
        case 2:
            FUZZ_CHECK(!rx->split(subject).empty());
            break;
        case 3:
            rx->replace(subject, std::string(input.rest().substr(0, 16)));
            break;
        case 4: {
            // Giving every match back unchanged leaves the subject as it was (ill-formed UTF-8 is
            // read as U+FFFD, so only valid text comes back byte for byte).
            const std::string same =
                rx->replace(subject, [](const std::string& matched) { return matched; });
            if (isValidUTF8(subject)) FUZZ_CHECK(same == subject);
            break;
        }
        case 5:
            for (const auto& match : rx->matchesWithDetails(subject)) checkMatch(match, subject);
            break;
        case 6:
            if (const auto match = rx->firstMatchWithDetails(subject)) checkMatch(*match, subject);
            break;
        case 0: {
            RxTextCheckingResult result;
            while (result.ranges.size() < 4) {
                const std::uint8_t at = input.byte();
                const std::uint8_t length = input.byte();
                result.ranges.push_back(at == 0xff ? RxRange{NSNotFound, 0} : RxRange{at, length});
            }
            Rx::resultToMatch(result, subject);
            break;
        }
    }
    return 0;
}
