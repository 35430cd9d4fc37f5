// Pasteboard text is untrusted: the capture at start-up must stay fast however hostile the text.
#include <benchmark/benchmark.h>

#include "sdk/data_util.h"
#include "signals/pasteboard_helper.h"

namespace {

std::string hostileText() {
    std::string text = "<a ";
    while (text.size() < 4 * 1024 * 1024)
        text += std::string(1000, ' ') + "id=\"" + std::string(600, 'x') + "\n";
    return text;
}

void BM_ExtractTraceIdHostile(benchmark::State& state) {
    const std::string text = hostileText();
    for (auto _ : state)
        benchmark::DoNotOptimize(plovendale::UIPasteboardHelper::extractTraceId(text, "ab3Kx9PqZ"));
}
BENCHMARK(BM_ExtractTraceIdHostile)->Unit(benchmark::kMillisecond);

void BM_ExtractTraceIdValid(benchmark::State& state) {
    const std::string text =
        "<a id=\"PLOVENDALE:fffffab3KxgggPqZ:hhhT012345678iiiii9xyz\" href=\"x\">open</a>";
    for (auto _ : state)
        benchmark::DoNotOptimize(plovendale::UIPasteboardHelper::extractTraceId(text, "ab3Kx9PqZ"));
}
BENCHMARK(BM_ExtractTraceIdValid)->Unit(benchmark::kMicrosecond);

void BM_ParseResData(benchmark::State& state) {
    const auto body = plovendale::toBytes(
        R"({"status":200,"data":{"params_data":"a=1&b=2","channel":"web","trace_id":"T1"}})");
    for (auto _ : state) benchmark::DoNotOptimize(plovendale::DataUtil::parseResData(body));
}
BENCHMARK(BM_ParseResData)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
