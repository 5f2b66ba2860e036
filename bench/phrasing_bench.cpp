// Tagging (2 iterations, a POS dictionary made from festlex-poslex),
// phrasing, homograph tagging and reduction on 1 MB and 10 MB of English
// (the GPL-3 text, repeated), fed in the channel's 4096-byte pieces through
// the plain-text token parser, against the parser alone on the same text:
// tokens per second. Hostile input: 100,000 unpunctuated words in calls of
// 700 tokens.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "foundation/serial.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "linguistics/homtagger.h"
#include "linguistics/pbreak.h"
#include "linguistics/phrasing.h"
#include "linguistics/postagger.h"
#include "linguistics/reduction.h"
#include "textproc/channel.h"
#include "textproc/toxparselite.h"

namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// English text of about n bytes.
std::string Text(size_t n) {
  const std::string one = ReadFile("/usr/share/common-licenses/GPL-3");
  std::string t;
  while (!one.empty() && t.size() < n) t += one;
  return t;
}

// The POS dictionary text: each word of the lexicon with its most probable
// tag, words written escaped.
std::string PosText() {
  std::ifstream in("/usr/share/festival/dicts/wsj.wp39.poslexR");
  std::string out = "DEFAULT nn\n# affixes\nS ing vbg\nS ly rb\nS ed vbd\n# not read\n-\n# entries\n", line;
  while (std::getline(in, line)) {
    if (line.size() < 4 || line[0] != '(' || line[1] != '"') continue;
    size_t q = line.find('"', 2);
    if (q == std::string::npos || q == 2) continue;
    std::string word = line.substr(2, q - 2), best;
    double best_p = -1e300;
    for (size_t at = line.find("((", q); at != std::string::npos && at < line.size();) {
      size_t open = line.find('(', at + 1), space = line.find(' ', open), close = line.find(')', space);
      if (open == std::string::npos || space == std::string::npos || close == std::string::npos) break;
      double p = std::strtod(line.substr(space + 1, close - space - 1).c_str(), nullptr);
      if (p > best_p) best_p = p, best = line.substr(open + 1, space - open - 1);
      at = close;
      if (line.compare(close + 1, 2, " )") == 0) break;
    }
    if (best.empty() || word.find_first_of("#&:_| ") != std::string::npos) continue;
    out += word + " 1:" + best + "|X\n";
  }
  return out;
}

void Queue(tpdb* db, const char* name, void* object, int32_t (*write)(void*, char*, int)) {
  int32_t size = write(object, nullptr, 0);
  QLTP_fixedbuf* image = QLTP_fixedbuf_new(static_cast<uint32_t>(size));
  write(object, image->data, 0);
  if (!QLTP_tpobj_serialisequeue(db, image, name)) QLTP_fixedbuf_delete(image);
}

const std::string& DbPath() {
  static const std::string path = [] {
    std::string p = "/tmp/orvelle_phrasing_bench_" + std::to_string(::getpid()) + ".tpdb";
    tpdb* db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
    QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
    QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
    pos* tags = QLTP_deserialise_pos(PosText().c_str());
    hashstrarray* sets = QLTP_deserialise_hashstrarray("nn 2\nnns 2\nvb 3\nvbz 3\ndt 1\nin 1\njj 4\n");
    pbreak* breaks = QLTP_deserialise_pbreak(
        "DEFAULT 1 0.05 1 0.05\nFORCED 2 0.1 0 0\nnewline 2 0.2 0 0\n, 2 0.2 0 0\n. 4 0.4 0 0\n; 3 0.3 0 0\n"
        ": 3 0.3 0 0\n( 0 0 2 0.1\n) 2 0.1 0 0\n\" 1 0.05 1 0.05\n");
    prules* pairs = QLTP_deserialise_prules("nn_in 1\nnns_in 1\nnn_dt 0.5\n_and 2\n_or 2\n_that 1.5\n");
    hashstrarray* homographs = QLTP_deserialise_hashstrarray(
        "[read] present\n[read]the past\n[use] verb\n[use]nn noun\n[lead] verb\ndt[lead] noun\n[live] verb\n");
    hashstrarray* reductions = QLTP_deserialise_hashstrarray(
        "FIELDS mono_full,full_end,reduce_mid\nthe ttt\na ttt\nof ttt\nto ttt\nand ttt\nor ttt\n");
    Queue(db, "TPOBJ_POSTAGS:DEFAULT", tags, QLTP_tpobj_postags_write);
    Queue(db, "TPOBJ_POSSETS:DEFAULT", sets, QLTP_tpobj_possets_write);
    Queue(db, "TPOBJ_PBREAK:DEFAULT", breaks, QLTP_tpobj_pbreak_write);
    Queue(db, "TPOBJ_PRULES:DEFAULT", pairs, QLTP_tpobj_prules_write);
    Queue(db, "TPOBJ_HOMTAGS:DEFAULT", homographs, QLTP_tpobj_homtags_write);
    Queue(db, "TPOBJ_RRULES:DEFAULT", reductions, QLTP_tpobj_rrules_write);
    QLTP_tpdb_write_serial(db, p.c_str());
    QLTP_tpdb_delete(db);
    QLTP_pos_delete(tags);
    QLTP_hashstrarray_delete(sets);
    QLTP_pbreak_delete(breaks);
    QLTP_prules_delete(pairs);
    QLTP_hashstrarray_delete(homographs);
    QLTP_hashstrarray_delete(reductions);
    return p;
  }();
  return path;
}

// The four stages on a channel over the database, behind the parser.
struct Stages {
  tpdb* db = QLTP_tpdb_new(nullptr);
  channel* ch;
  toxparselite* parser;
  postagger* tagger;
  phrasing* phraser;
  homtagger* homographs;
  reduction* reducer;
  Stages() {
    QLTP_tpdb_load(db, DbPath().c_str());
    ch = QLTP_tpc_newtype(db, nullptr, 0, "B", QLTP_TPC_TK);
    parser = QLTP_toxparselite_new(ch);
    tagger = QLTP_postagger_new(ch);
    phraser = QLTP_phrasing_new(ch);
    homographs = QLTP_homtagger_new(ch);
    reducer = QLTP_reduction_new(ch);
    tagger->iterations = 2;
  }
  ~Stages() {
    QLTP_reduction_delete(reducer);
    QLTP_homtagger_delete(homographs);
    QLTP_phrasing_delete(phraser);
    QLTP_postagger_delete(tagger);
    QLTP_toxparselite_delete(parser);
    QLTP_tpc_delete(ch);
    QLTP_tpdb_delete(db);
  }
  // One piece through the chain; gives the tokens that left it. Without a
  // normaliser the token text stands for the normalised text.
  int64_t Piece(const char* text, int len, int final) {
    toxstream* tokens = QLTP_toxparselite_process(parser, text, len, final);
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
      toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
      QLTP_toxtoken_set_norm(t, QLTP_toxtoken_get(t), -1);
    }
    voidparray* out = QLTP_postagger_process(tagger, tokens, final);
    out = QLTP_phrasing_process(phraser, out, final);
    out = QLTP_homtagger_process(homographs, out, final);
    out = QLTP_reduction_process(reducer, out, final);
    int64_t n = 0;
    for (int s = 0; s < QLTP_voidparray_sz(out); ++s)
      n += QLTP_voidparray_sz(QLTP_toxspurt_tokens(QLTP_toxspurt_cast(QLTP_voidparray_idx(out, s)))) - 1;
    QLTP_toxspstream_release_tox(out);
    return n;
  }
};

void BM_FourStages(benchmark::State& state) {
  const std::string text = Text(static_cast<size_t>(state.range(0)));
  int64_t tokens = 0;
  // The database is loaded once; each iteration is one whole text.
  Stages s;
  for (auto _ : state) {
    for (size_t at = 0; at < text.size(); at += QLTP_TPC_PIECE) {
      int len = static_cast<int>(std::min<size_t>(QLTP_TPC_PIECE, text.size() - at));
      tokens += s.Piece(text.data() + at, len, at + QLTP_TPC_PIECE >= text.size());
    }
  }
  state.counters["tokens_per_second"] = benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FourStages)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

void BM_PlainTextParser(benchmark::State& state) {
  const std::string text = Text(static_cast<size_t>(state.range(0)));
  int64_t tokens = 0;
  for (auto _ : state) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "B", QLTP_TPC_TK);
    toxparselite* parser = QLTP_toxparselite_new(ch);
    for (size_t at = 0; at < text.size(); at += QLTP_TPC_PIECE) {
      int len = static_cast<int>(std::min<size_t>(QLTP_TPC_PIECE, text.size() - at));
      toxstream* out = QLTP_toxparselite_process(parser, text.data() + at, len, at + QLTP_TPC_PIECE >= text.size());
      tokens += QLTP_voidparray_sz(out);
      QLTP_toxstream_release_tox(out);
    }
    QLTP_toxparselite_delete(parser);
    QLTP_tpc_delete(ch);
  }
  state.counters["tokens_per_second"] = benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainTextParser)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
