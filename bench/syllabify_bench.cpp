// Syllabification of every pronunciation of the CMU dictionary (festlex-cmu),
// word by word (phone array, syllabification, spron), against libhyphen
// hyphenating the same words with its US English patterns. Then the
// syllabify and archiphone stages over the GPL-3 text, pronounced from the
// dictionary and repeated to 1 and 10 MB, to show they grow linearly, and
// an archiphone '?' rule against phones of 256 KB and 1 MB.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/serial.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/voidparray.h"
#include "linguistics/archiphone.h"
#include "linguistics/phonearray.h"
#include "linguistics/syllabify.h"
#include "textproc/channel.h"

#ifdef ORVELLE_BENCH_HYPHEN
#include <hyphen.h>
#endif

namespace {

const char kCmu[] = "/usr/share/festival/dicts/cmu/cmudict-0.4.out";
const char kGpl[] = "/usr/share/common-licenses/GPL-3";
const std::set<std::string> kVowels = {"aa", "ae", "ah", "ao", "aw", "ax", "ay", "eh",
                                       "er", "ey", "ih", "iy", "ow", "oy", "uh", "uw"};

struct Entry {
  std::string word;
  std::string phonemes;  // blank-separated, vowels with their stress digit
  std::string onset;     // the consonants before the first vowel, joined by '_'
};

// Entries such as ("aback" nil (((ax) 0) ((b ae k) 1))).
const std::vector<Entry>& cmu() {
  static const std::vector<Entry> list = [] {
    std::vector<Entry> out;
    std::ifstream in(kCmu);
    for (std::string line; std::getline(in, line);) {
      if (line.size() < 4 || line[0] != '(' || line[1] != '"') continue;
      Entry e;
      const size_t close = line.find('"', 2);
      e.word = line.substr(2, close - 2);
      bool vowel_seen = false;
      for (size_t at = line.find("((", close); at != std::string::npos; at = line.find("((", at)) {
        while (line[at + 2] == '(') ++at;
        const size_t end = line.find(')', at);
        std::istringstream phones(line.substr(at + 2, end - at - 2));
        for (std::string p; phones >> p;) {
          const bool vowel = kVowels.count(p) > 0;
          if (!vowel && !vowel_seen) e.onset += (e.onset.empty() ? "" : "_") + p;
          vowel_seen |= vowel;
          e.phonemes += (e.phonemes.empty() ? "" : " ") + p + (vowel ? std::string(1, line[end + 2]) : "");
        }
        at = end;
      }
      out.push_back(std::move(e));
    }
    return out;
  }();
  return list;
}

std::string sylmax_text() {
  std::string text;
  for (const auto& v : kVowels) text += "N_" + v + "0\nN_" + v + "1\n";
  std::set<std::string> onsets;
  for (const Entry& e : cmu())
    if (!e.onset.empty()) onsets.insert(e.onset);
  for (const auto& o : onsets) text += o + "\n";
  return text;
}

void BM_SyllabifyCmuWords(benchmark::State& state) {
  maxonset* data = QLTP_deserialise_maxonset(sylmax_text().c_str());
  phonearray* a = QLTP_phonearray_new();
  dystr* key = QLTP_dystr_new("", 0);
  dystr* spron = QLTP_dystr_new("", 0);
  for (auto _ : state) {
    for (const Entry& e : cmu()) {
      QLTP_phonearray_clear(a);
      QLTP_phone_add_pron(a, e.phonemes.c_str());
      QLTP_maxonset_syllabify(data, key, a);
      QLTP_phone_get_pron(a, 0, spron);
      benchmark::DoNotOptimize(QLTP_dystr_cstr(spron));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cmu().size()));
  QLTP_dystr_delete(spron);
  QLTP_dystr_delete(key);
  QLTP_phonearray_delete(a);
  QLTP_maxonset_delete(data);
}
BENCHMARK(BM_SyllabifyCmuWords)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_HYPHEN
void BM_LibhyphenCmuWords(benchmark::State& state) {
  HyphenDict* dict = hnj_hyphen_load("/usr/share/hyphen/hyph_en_US.dic");
  if (!dict) {
    state.SkipWithError("no hyphenation patterns: run scripts/setup.sh");
    return;
  }
  std::vector<char> hyphens(256);
  for (auto _ : state) {
    for (const Entry& e : cmu()) {
      char** rep = nullptr;
      int* pos = nullptr;
      int* cut = nullptr;
      const int n = static_cast<int>(std::min<size_t>(e.word.size(), 250));
      hnj_hyphen_hyphenate2(dict, e.word.c_str(), n, hyphens.data(), nullptr, &rep, &pos, &cut);
      benchmark::DoNotOptimize(hyphens.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cmu().size()));
  hnj_hyphen_free(dict);
}
BENCHMARK(BM_LibhyphenCmuWords)->Unit(benchmark::kMillisecond);
#endif

// ---------------------------------------------------------------------------
// Stages over pronounced text

// A database file holding the objects given as (name, stored bytes).
std::string write_db(const std::vector<std::pair<std::string, std::string>>& objects) {
  const std::string path = "/tmp/orvelle_syllabify_bench_" + std::to_string(::getpid()) + ".tpdb";
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
  QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
  QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
  QLTP_tpdb_header_setval(db, "ACCENT", -1, "ga", -1);
  for (const auto& [name, bytes] : objects)
    QLTP_tpobj_serialisequeue(db, QLTP_fixedbuf_frombytes(bytes.data(), static_cast<uint32_t>(bytes.size())),
                              name.c_str());
  QLTP_tpdb_write_serial(db, path.c_str());
  QLTP_tpdb_delete(db);
  return path;
}

std::string image(const char* kind, void* object) {
  const int slot = QLTP_tpobj_kind_of(kind, -1);
  std::string out(static_cast<size_t>(QLTP_TPOBJ_WRITE[slot](object, nullptr, 0)), '\0');
  QLTP_TPOBJ_WRITE[slot](object, out.data(), 0);
  return out;
}

// The GPL-3 words with their dictionary pronunciations; words ending in 'n'
// end in the archiphone N instead.
struct Word {
  std::string norm, phonemes;
};
const std::vector<Word>& gpl_words() {
  static const std::vector<Word> list = [] {
    std::unordered_map<std::string, std::string> pron;
    for (const Entry& e : cmu()) pron.emplace(e.word, e.phonemes);
    std::vector<Word> out;
    std::ifstream in(kGpl);
    for (std::string w; in >> w;) {
      std::string norm;
      for (char c : w)
        if (std::isalpha(static_cast<unsigned char>(c))) norm += static_cast<char>(std::tolower(c));
      if (norm.empty()) continue;
      auto it = pron.find(norm);
      std::string p = it == pron.end() ? "ax0" : it->second;
      if (p.size() > 1 && p.back() == 'n' && p[p.size() - 2] == ' ') p.back() = 'N';
      out.push_back({norm, p});
    }
    return out;
  }();
  return list;
}

size_t gpl_bytes() {
  std::ifstream in(kGpl, std::ios::binary | std::ios::ate);
  return static_cast<size_t>(in.tellg());
}

// Runs a stage over the text repeated to state.range(0) MB, twelve words a
// spurt; the tokens of one spurt are recycled.
template <typename Stage, typename Process>
void run_text(benchmark::State& state, channel* ch, Stage* stage, Process process) {
  const auto& words = gpl_words();
  const size_t repeats = static_cast<size_t>(state.range(0)) * (1u << 20) / gpl_bytes() + 1;
  toxpool* pool = QLTP_toxpool_new(1, 16, 32);
  toxspurt* spurt = QLTP_toxpool_spurt(pool);
  QLTP_toxspurt_setparent(spurt, pool);
  std::vector<toxtoken*> tokens;
  std::vector<toxtag*> lex;
  for (int i = 0; i < 12; ++i) {
    tokens.push_back(QLTP_toxpool_token(pool));
    QLTP_toxtoken_setparent(tokens.back(), spurt);
    lex.push_back(QLTP_toxpool_tag(pool));
    QLTP_toxtag_init(lex.back(), tokens.back(), "lex", -1, QLTP_TAG_CLOSED);
    QLTP_toxtoken_addtag(tokens.back(), lex.back());
  }
  voidparray* stream = QLTP_voidparray_new();
  QLTP_voidparray_add(stream, spurt);
  for (auto _ : state) {
    for (size_t r = 0; r < repeats; ++r)
      for (size_t w = 0; w < words.size(); w += 12) {
        QLTP_voidparray_clear(spurt->tokens);
        for (size_t k = 0; k < 12 && w + k < words.size(); ++k) {
          QLTP_toxtoken_set_norm(tokens[k], words[w + k].norm.c_str(), -1);
          QLTP_toxtag_set_attrib(lex[k], "phonemes", -1, words[w + k].phonemes.c_str(), -1);
          QLTP_toxspurt_add(spurt, tokens[k]);
        }
        benchmark::DoNotOptimize(process(stage, stream, 0));
      }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * repeats * gpl_bytes()));
  QLTP_voidparray_delete(stream);
  QLTP_toxpool_delete(pool);
  (void)ch;
}

void BM_SyllabifyStageGpl(benchmark::State& state) {
  maxonset* data = QLTP_deserialise_maxonset(sylmax_text().c_str());
  const std::string path = write_db({{"TPOBJ_SYLMAX:DEFAULT", image("TPOBJ_SYLMAX", data)}});
  QLTP_maxonset_delete(data);
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, path.c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, 1, "", 99);
  syllabify* stage = QLTP_syllabify_new(ch);
  run_text(state, ch, stage, QLTP_syllabify_process);
  QLTP_syllabify_delete(stage);
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
  std::remove(path.c_str());
}
BENCHMARK(BM_SyllabifyStageGpl)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// An archiphone stage over a database holding `rules` (which it deletes),
// gone with the object.
struct ArchiphoneStage {
  explicit ArchiphoneStage(hashstrarray* rules)
      : path(write_db({{"TPOBJ_ARCHIS:DEFAULT", image("TPOBJ_ARCHIS", rules)}})) {
    QLTP_hashstrarray_delete(rules);
    db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_load(db, path.c_str());
    ch = QLTP_tpc_newtype(db, nullptr, 1, "", 99);
    stage = QLTP_archiphone_new(ch);
  }
  ~ArchiphoneStage() {
    QLTP_archiphone_delete(stage);
    QLTP_tpc_delete(ch);
    QLTP_tpdb_delete(db);
    std::remove(path.c_str());
  }
  const std::string path;
  tpdb* db = nullptr;
  channel* ch = nullptr;
  archiphone* stage = nullptr;
};

void BM_ArchiphoneStageGpl(benchmark::State& state) {
  hashstrarray* rules = QLTP_hashstrarray_new(2048);
  QLTP_hashstrarray_add(rules, "N+p", -1, "m", -1);
  QLTP_hashstrarray_add(rules, "N+b", -1, "m", -1);
  QLTP_hashstrarray_add(rules, "N+k", -1, "ng", -1);
  QLTP_hashstrarray_add(rules, "N+", -1, "n", -1);
  const auto& words = gpl_words();
  for (size_t i = 0; QLTP_hashstrarray_sz(rules) < 1000; ++i) {
    const std::string key = "N(" + words[i % words.size()].norm + ")+(w" + std::to_string(i) + ")";
    QLTP_hashstrarray_add(rules, key.c_str(), -1, "n_d", -1);
  }
  ArchiphoneStage archis(rules);
  run_text(state, archis.ch, archis.stage, QLTP_archiphone_process);
}
BENCHMARK(BM_ArchiphoneStageGpl)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// One word whose phone runs to state.range(0) KB against a rule of
// state.range(1) '?': time grows with the phone, memory with neither.
void BM_ArchiphoneQuestionMarkRule(benchmark::State& state) {
  hashstrarray* rules = QLTP_hashstrarray_new(16);
  const std::string key = "|" + std::string(static_cast<size_t>(state.range(1)), '?') + "z|";
  QLTP_hashstrarray_add(rules, key.c_str(), -1, "m", -1);
  ArchiphoneStage archis(rules);
  const std::string phonemes = "N " + std::string(static_cast<size_t>(state.range(0)) << 10, 'a') + "y";
  toxpool* pool = QLTP_toxpool_new(1, 16, 32);
  toxspurt* spurt = QLTP_toxpool_spurt(pool);
  QLTP_toxspurt_setparent(spurt, pool);
  toxtoken* token = QLTP_toxpool_token(pool);
  QLTP_toxtoken_setparent(token, spurt);
  QLTP_toxtoken_set_norm(token, "w", -1);
  toxtag* lex = QLTP_toxpool_tag(pool);
  QLTP_toxtag_init(lex, token, "lex", -1, QLTP_TAG_CLOSED);
  QLTP_toxtoken_addtag(token, lex);
  QLTP_toxspurt_add(spurt, token);
  voidparray* stream = QLTP_voidparray_new();
  QLTP_voidparray_add(stream, spurt);
  for (auto _ : state) {
    QLTP_toxtag_set_attrib(lex, "phonemes", -1, phonemes.c_str(), -1);
    benchmark::DoNotOptimize(QLTP_archiphone_process(archis.stage, stream, 1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * phonemes.size()));
  QLTP_voidparray_delete(stream);
  QLTP_toxpool_delete(pool);
}
BENCHMARK(BM_ArchiphoneQuestionMarkRule)->ArgsProduct({{256, 1024}, {1, 17}})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
