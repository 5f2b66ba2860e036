// Tokeniser throughput through a tk channel (as the speech server client
// drives it: one final call, output to a text callback) on plain text and on
// markup of 1 MB and 10 MB, against libxml2's xmlReadMemory of the same
// markup. Bytes per second are those of the input.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdint>
#include <random>
#include <string>

#include "textproc/channel.h"

namespace {

constexpr size_t MB = 1024 * 1024;

const char* const kWords[] = {
    "the",   "quick", "brown",   "fox",   "jumps",     "over",    "lazy",   "dog",  "while", "committee",
    "reviews", "minutes", "prices", "rose", "by",      "3.5%",    "second", "quarter", "caf\xC3\xA9", "r\xC3\xA9sum\xC3\xA9",
    "na\xC3\xAFve", "report", "Monday", "version", "2.0", "protocol", "adds", "streaming", "AT&amp;T", "e-mail",
};

std::string Words(std::mt19937& rng, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    }
    return s;
}

std::string PlainText(size_t bytes) {
    std::mt19937 rng(1);
    std::string s;
    while (s.size() < bytes) s += Words(rng, 12) + ".\n";
    return s;
}

// A well-formed document: paragraphs and sentences with emphasis, breaks,
// marks, prosody attributes and entities.
std::string Markup(size_t bytes) {
    std::mt19937 rng(2);
    std::string s = "<?xml version=\"1.0\"?>\n<speak version=\"1.0\" xml:lang=\"en-US\">\n";
    while (s.size() < bytes) {
        s += "<p><s>" + Words(rng, 6) + " <emphasis level=\"strong\">" + Words(rng, 2) + "</emphasis> " +
             Words(rng, 5) + ".</s>\n<s><prosody rate=\"slow\" pitch='+10%'>" + Words(rng, 7) +
             "</prosody><break time=\"300ms\"/> " + Words(rng, 4) + " &lt;tag&gt; <mark name=\"m\"/>" +
             Words(rng, 3) + ".</s></p>\n";
    }
    return s + "</speak>\n";
}

const std::string& Input(bool markup, size_t mb) {
    static std::string texts[2][11];
    std::string& t = texts[markup][mb];
    if (t.empty()) t = markup ? Markup(mb * MB) : PlainText(mb * MB);
    return t;
}

void CountBytes(void* user, const char*, int len) { *static_cast<int64_t*>(user) += len; }

void Tokenise(benchmark::State& state, bool markup) {
    const std::string& text = Input(markup, static_cast<size_t>(state.range(0)));
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, markup ? 1 : 0, "CLIENT", QLTP_TPC_TK);
    int64_t out = 0;
    QLTP_tpc_set_text_callback(ch, CountBytes, &out);
    for (auto _ : state) {
        QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
        benchmark::DoNotOptimize(out);
    }
    QLTP_tpc_delete(ch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["out_per_in"] =
        static_cast<double>(out) / (static_cast<double>(state.iterations()) * static_cast<double>(text.size()));
}

void BM_TokenisePlain(benchmark::State& state) { Tokenise(state, false); }
void BM_TokeniseMarkup(benchmark::State& state) { Tokenise(state, true); }

void BM_Libxml2ReadMemory(benchmark::State& state) {
    const std::string& text = Input(true, static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.xml", nullptr,
                                      XML_PARSE_NONET | XML_PARSE_HUGE);
        if (doc == nullptr) state.SkipWithError("libxml2 refused the markup");
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

BENCHMARK(BM_TokenisePlain)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseMarkup)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2ReadMemory)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
