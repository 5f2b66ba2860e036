// The pronunciation stage on the words of 1 MB of English (the GPL-3 text,
// repeated) with the CMU dictionary as its lexicon, against espeak-ng's
// text-to-phonemes on the same words: words per second.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/serial.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "linguistics/pronounce.h"
#include "tests/linguistics/cmudict.h"
#include "tests/linguistics/test_phoneset.h"
#include "textproc/channel.h"

#ifdef ORVELLE_BENCH_ESPEAK
#include <espeak-ng/speak_lib.h>
#endif

namespace {

const std::vector<std::string>& Words() {
  static const std::vector<std::string> words = [] {
    std::ifstream in("/usr/share/common-licenses/GPL-3");
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    std::vector<std::string> one;
    std::string word;
    for (char c : text + " ") {
      if (std::isalpha(static_cast<unsigned char>(c))) {
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      } else if (!word.empty()) {
        one.push_back(word);
        word.clear();
      }
    }
    std::vector<std::string> all;
    for (size_t bytes = 0; !one.empty() && bytes < 1000000;)
      for (const auto& w : one) {
        all.push_back(w);
        bytes += w.size() + 1;
      }
    return all;
  }();
  return words;
}

void Queue(tpdb* db, const char* name, const std::string& text) {
  QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(text.c_str(), static_cast<uint32_t>(text.size() + 1));
  if (!QLTP_tpobj_serialisequeue(db, image, name)) QLTP_fixedbuf_delete(image);
}

// A database of the test phone set and the CMU dictionary as a plain lexicon.
std::string Database() {
  std::string lexicon = "main\n";
  for (const auto& e : orvelle_test::ReadCmuDict()) lexicon += e.word + " " + orvelle_test::CmuToQrln(e, '_') + "\n";
  const std::string path = "/tmp/orvelle_pronounce_bench.tpdb";
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
  QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
  QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
  Queue(db, "TPOBJ_PHONESET:DEFAULT", orvelle_test::kTestPhoneSet);
  Queue(db, "TPOBJ_LEXMGR:DEFAULT", "main:0");
  Queue(db, "TPOBJ_LEXHASH:MAIN", lexicon);
  QLTP_tpdb_write_serial(db, path.c_str());
  QLTP_tpdb_delete(db);
  return path;
}

void BM_PronounceStage(benchmark::State& state) {
  const std::vector<std::string>& words = Words();
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, Database().c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", QLTP_TPC_TK);
  toxpool* pool = QLTP_toxpool_new(64, 4096, 4096);
  ch->pool = pool;
  pronounce* stage = QLTP_pronounce_new(ch);
  voidparray* input = QLTP_voidparray_new();
  for (auto _ : state) {
    state.PauseTiming();
    QLTP_toxpool_clear(pool);
    QLTP_voidparray_clear(input);
    toxspurt* spurt = nullptr;
    for (size_t i = 0; i < words.size(); ++i) {
      if (i % 1000 == 0) {
        spurt = QLTP_toxpool_spurt(pool);
        QLTP_toxspurt_setparent(spurt, input);
        QLTP_voidparray_add(input, spurt);
      }
      toxtoken* token = QLTP_toxpool_token(pool);
      QLTP_toxtoken_setparent(token, spurt);
      QLTP_toxtoken_set_norm(token, words[i].c_str(), static_cast<int>(words[i].size()));
      QLTP_toxspurt_add(spurt, token);
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(QLTP_pronounce_process(stage, input, 1));
  }
  state.counters["words_per_second"] =
      benchmark::Counter(static_cast<double>(words.size()) * state.iterations(), benchmark::Counter::kIsRate);
  QLTP_pronounce_delete(stage);
  QLTP_voidparray_delete(input);
  ch->pool = nullptr;
  QLTP_tpc_delete(ch);
  QLTP_toxpool_delete(pool);
  QLTP_tpdb_delete(db);
}
BENCHMARK(BM_PronounceStage)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_ESPEAK
void BM_EspeakTextToPhonemes(benchmark::State& state) {
  const std::vector<std::string>& words = Words();
  espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
  espeak_SetVoiceByName("en");
  for (auto _ : state)
    for (const auto& w : words) {
      const void* text = w.c_str();
      benchmark::DoNotOptimize(espeak_TextToPhonemes(&text, espeakCHARS_UTF8, 0));
    }
  state.counters["words_per_second"] =
      benchmark::Counter(static_cast<double>(words.size()) * state.iterations(), benchmark::Counter::kIsRate);
  espeak_Terminate();
}
BENCHMARK(BM_EspeakTextToPhonemes)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
