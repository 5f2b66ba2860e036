// Tokeniser throughput through a tk channel (as the speech server client
// drives it: one final call, output to a text callback) on plain text and on
// markup of 1 MB and 10 MB, against libxml2's xmlReadMemory of the same
// markup; then inputs that once cost more than they should: runs of markup
// characters, text fed in small calls and application tags inside elements
// never closed, at sizes that double. Bytes per second are those of the
// input.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <algorithm>
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

// Markup characters alone, in one final call of markup input: every "<"
// and "&" tries the tag and reference patterns. Arguments: the character
// (0 "<", 1 "&") and MB.
void BM_TokeniseMarkupCharacters(benchmark::State& state) {
    const std::string text(static_cast<size_t>(state.range(1)) * MB, state.range(0) == 0 ? '<' : '&');
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", QLTP_TPC_TK);
    int64_t out = 0;
    QLTP_tpc_set_text_callback(ch, CountBytes, &out);
    for (auto _ : state) QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
    QLTP_tpc_delete(ch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// Text fed as it arrives, in calls of 1 or 7 bytes: plain words against
// blank-free runs of 2,000 bytes with a "<" every 100 bytes, which wait for
// the next call to tell whether the "<" begins markup. Arguments: input
// (0 words, 1 runs), call size, KB.
void BM_TokeniseSmallCalls(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(2)) * 1024;
    std::string text;
    if (state.range(0) == 0) {
        while (text.size() < bytes) text += "plain words ";
    } else {
        while (text.size() < bytes) {
            for (int i = 0; i < 20; ++i) text += std::string(99, 'r') + "<";
            text += ' ';
        }
    }
    text.resize(bytes);
    const size_t call = static_cast<size_t>(state.range(1));
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", QLTP_TPC_TK);
    int64_t out = 0;
    QLTP_tpc_set_text_callback(ch, CountBytes, &out);
    for (auto _ : state) {
        for (size_t at = 0; at < text.size(); at += call)
            QLTP_tpc_process(ch, text.data() + at, static_cast<int>(std::min(call, text.size() - at)), 0);
        QLTP_tpc_process(ch, "", 0, 1);
    }
    QLTP_tpc_delete(ch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// Application tags with text between them inside elements never closed, in
// one final call of markup input. Arguments: the repeated unit (0
// "<metadata>x", 1 "<voice name='a'>x ", 2 "<p><voice name='a'>x</voice>")
// and KB.
void BM_TokeniseApplicationTags(benchmark::State& state) {
    static const char* const kUnits[] = {"<metadata>x", "<voice name='a'>x ", "<p><voice name='a'>x</voice>"};
    const size_t bytes = static_cast<size_t>(state.range(1)) * 1024;
    std::string text;
    while (text.size() < bytes) text += kUnits[state.range(0)];
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", QLTP_TPC_TK);
    int64_t out = 0;
    QLTP_tpc_set_text_callback(ch, CountBytes, &out);
    QLTP_tpc_set_application_callback(ch, [](void*, const char*, int) {}, &out);
    for (auto _ : state) QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
    QLTP_tpc_delete(ch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["out_per_in"] =
        static_cast<double>(out) / (static_cast<double>(state.iterations()) * static_cast<double>(text.size()));
}

BENCHMARK(BM_TokenisePlain)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseMarkup)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseMarkupCharacters)
    ->Args({0, 1})->Args({0, 2})->Args({1, 1})->Args({1, 2})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseSmallCalls)
    ->ArgsProduct({{0, 1}, {1, 7}, {100, 200}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokeniseApplicationTags)->ArgsProduct({{0, 1, 2}, {16, 32, 64}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2ReadMemory)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
