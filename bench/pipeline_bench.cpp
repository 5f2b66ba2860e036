// The full pipeline channel on 1 MB of English prose (the fortunes files in
// name order, "%" lines and control characters other than line feed and tab
// dropped), over a database of normalisation rules, a break table and the
// CMU dictionary; against espeak-ng's text front end (text to phonemes,
// clause by clause) on the same text. Words are the text's white-space
// separated words.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "linguistics/cbout.h"
#include "linguistics/pbreak.h"
#include "tests/linguistics/cmudict.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

#ifdef ORVELLE_BENCH_ESPEAK
#include <espeak-ng/speak_lib.h>
#endif

namespace {

constexpr char kFortunes[] = "/usr/share/games/fortunes";

const std::string& Prose() {
  static const std::string text = [] {
    std::vector<std::string> names;
    if (DIR* dir = opendir(kFortunes)) {
      while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n[0] != '.' && n.find('.') == std::string::npos && e->d_type == DT_REG) names.push_back(n);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& n : names) {
      std::ifstream in(std::string(kFortunes) + "/" + n);
      std::string line;
      while (std::getline(in, line) && out.size() < (1u << 20)) {
        if (line == "%") continue;
        for (char c : line)
          if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        out += '\n';
      }
    }
    size_t cut = std::min<size_t>(out.size(), 1u << 20);
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    return out;
  }();
  return text;
}

double Words(const std::string& text) {
  double n = 0;
  bool in_word = false;
  for (char c : text) {
    bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    n += !space && !in_word;
    in_word = !space;
  }
  return n;
}

void Queue(tpdb* db, const char* name, const std::string& bytes) {
  QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (!QLTP_tpobj_serialisequeue(db, image, name)) QLTP_fixedbuf_delete(image);
}

std::string Serial(const char* kind, void* object) {
  int slot = QLTP_tpobj_kind_of(kind, -1);
  int32_t size = QLTP_TPOBJ_WRITE[slot](object, nullptr, 0);
  std::string image(static_cast<size_t>(std::max(size, 0)), '\0');
  QLTP_TPOBJ_WRITE[slot](object, image.data(), 0);
  return image;
}

const std::string& Database() {
  static const std::string path = [] {
    std::string rules = "<rules>\n<regex name='punc_strip'><![CDATA[^(\\W*)(.*?)(\\W*)$]]></regex>\n"
                        "<regex name='alpha'><![CDATA[[A-Za-z]]]></regex>\n<lookup name='downcase'><![CDATA[{";
    for (char c = 'A'; c <= 'Z'; ++c) rules += std::string(c == 'A' ? "" : ", ") + "'" + c + "':'" + char(c + 32) + "'";
    rules += "}]]></lookup>\n</rules>\n";
    std::fflush(stdout);
    nrules* set = QLTP_deserialise_nrules(nullptr, rules.c_str());
    pbreak* breaks = QLTP_deserialise_pbreak("DEFAULT 1 0.05 1 0.05\nFORCED 2 0.1 0 0\n, 2 0.2 0 0\n"
                                             ". 4 0.4 0 0\n? 4 0.4 0 0\n! 4 0.4 0 0\n");
    std::string lexicon = "main\n";
    for (const auto& e : orvelle_test::ReadCmuDict()) lexicon += e.word + " " + orvelle_test::CmuToQrln(e, '_') + "\n";
    const std::string p = "/tmp/orvelle_pipeline_bench.tpdb";
    tpdb* db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
    QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
    QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
    Queue(db, "TPOBJ_NRULES:DEFAULT", Serial("TPOBJ_NRULES", set));
    Queue(db, "TPOBJ_PBREAK:DEFAULT", Serial("TPOBJ_PBREAK", breaks));
    Queue(db, "TPOBJ_LEXMGR:DEFAULT", std::string("main:0") + '\0');
    Queue(db, "TPOBJ_LEXHASH:MAIN", lexicon + '\0');
    QLTP_tpdb_write_serial(db, p.c_str());
    QLTP_tpdb_delete(db);
    QLTP_nrules_delete(set);
    QLTP_pbreak_delete(breaks);
    return p;
  }();
  return path;
}

void CountSpurt(cbout*, void* user, toxspurt*, int, int) { ++*static_cast<long*>(user); }
void DropText(void*, const char*, int) {}

// One channel of the type; each iteration processes the prose `copies`
// times over as one final call.
void RunChannel(benchmark::State& state, int type) {
  std::string text;
  for (int64_t i = 0; i < state.range(0); ++i) text += Prose();
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, Database().c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", type);
  if (!ch) {
    state.SkipWithError("channel refused");
    QLTP_tpdb_delete(db);
    return;
  }
  long spurts = 0;
  QLTP_tpc_set_phrase_callback(ch, CountSpurt, &spurts, 0, 0);
  if (type != QLTP_TPC_FULL) QLTP_tpc_set_text_callback(ch, DropText, nullptr);
  for (auto _ : state) QLTP_tpc_process(ch, text.c_str(), static_cast<int>(text.size()), 1);
  state.counters["words_per_second"] = benchmark::Counter(Words(text) * state.iterations(), benchmark::Counter::kIsRate);
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
}

void BM_FullChannel(benchmark::State& state) { RunChannel(state, QLTP_TPC_FULL); }
BENCHMARK(BM_FullChannel)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_SpurtChannel(benchmark::State& state) { RunChannel(state, QLTP_TPC_SPURT); }
BENCHMARK(BM_SpurtChannel)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_DatabaseLoad(benchmark::State& state) {
  const std::string& path = Database();
  for (auto _ : state) {
    tpdb* db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_load(db, path.c_str());
    QLTP_tpdb_delete(db);
  }
}
BENCHMARK(BM_DatabaseLoad)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_ESPEAK
void BM_EspeakTextToPhonemes(benchmark::State& state) {
  const std::string& text = Prose();
  espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
  espeak_SetVoiceByName("en");
  for (auto _ : state) {
    const void* p = text.c_str();
    while (p) benchmark::DoNotOptimize(espeak_TextToPhonemes(&p, espeakCHARS_UTF8, 0));
  }
  state.counters["words_per_second"] = benchmark::Counter(Words(text) * state.iterations(), benchmark::Counter::kIsRate);
  espeak_Terminate();
}
BENCHMARK(BM_EspeakTextToPhonemes)->Unit(benchmark::kMillisecond)->Iterations(2);
#endif

}  // namespace

BENCHMARK_MAIN();
