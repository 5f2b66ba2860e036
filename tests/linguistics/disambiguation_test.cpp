#include "linguistics/disambiguation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/serial.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "linguistics/lexmgr.h"
#include "cpu_time.h"
#include "test_db.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::DbObject;

constexpr char kClassRules[] = R"(<rules>
<regex name='qltp_disambiguation_alpha'><![CDATA[^[A-Za-z]+$]]></regex>
<regex name='qltp_disambiguation_kanji'><![CDATA[^\p{Han}+$]]></regex>
<regex name='qltp_disambiguation_numeric'><![CDATA[^[0-9]+$]]></regex>
<regex name='qltp_disambiguation_hiragana'><![CDATA[^\p{Hiragana}+$]]></regex>
<regex name='qltp_disambiguation_katakana'><![CDATA[^\p{Katakana}+$]]></regex>
<regex name='alphaonly'><![CDATA[^[A-Za-z]+$]]></regex>
</rules>)";

// A database in one language with a lexicon (lines "word entry"), the class
// rules and optionally a context matrix, loaded into a tokeniser channel
// (which carries the lexicon manager) and a disambiguation stage over it.
class Stage {
 public:
  Stage(const std::string& language, const std::string& lexicon, disamctxt* matrix = nullptr) {
    ::testing::internal::CaptureStdout();
    nrules* rules = QLTP_deserialise_nrules(nullptr, kClassRules);
    ::testing::internal::GetCapturedStdout();
    std::vector<DbObject> objects = {
        {"TPOBJ_LEXMGR:DEFAULT", nullptr, orvelle_test::TextObject("main:0")},
        {"TPOBJ_LEXHASH:MAIN", nullptr, orvelle_test::TextObject("main\n" + lexicon)},
        {"TPOBJ_NRULES:DEFAULT", rules},
    };
    if (matrix) objects.push_back({"TPOBJ_DISAMCTXT:DEFAULT", matrix});
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("disam_" + language + ".tpdb");
    orvelle_test::WriteTestDb(path, objects, false, {{"LANGUAGE", language}});
    QLTP_nrules_delete(rules);
    QLTP_disamctxt_delete(matrix);
    db_ = std::make_unique<orvelle_test::LoadedDb>(path);
    std::remove(path.c_str());
    ch_ = QLTP_tpc_newtype(db_->db, nullptr, 0, nullptr, QLTP_TPC_TK);
    stage = QLTP_disambiguation_new(ch_);
    pool_ = QLTP_toxpool_new(4, 16, 16);
    tokens_ = QLTP_voidparray_new();
  }
  ~Stage() {
    QLTP_disambiguation_delete(stage);
    QLTP_tpc_delete(ch_);
    QLTP_voidparray_delete(tokens_);
    QLTP_toxpool_delete(pool_);
  }

  disambiguation* stage;

  // Tokens with the ready marker; "text " marks white space after it and
  // "text," post-punctuation.
  voidparray* Tokens(const std::vector<std::string>& texts) {
    QLTP_voidparray_clear(tokens_);
    for (std::string text : texts) {
      toxtoken* t = QLTP_toxpool_token(pool_);
      QLTP_toxtoken_setparent(t, tokens_);
      if (!text.empty() && text.back() == ' ') {
        text.pop_back();
        QLTP_toxtoken_setfeat(t, QLTP_FEAT_WHITESPACE, 1);
      } else if (!text.empty() && text.back() == ',') {
        text.pop_back();
        QLTP_toxtoken_setpstpunc(t, ",", 1);
      }
      QLTP_toxtoken_set(t, text.c_str(), -1);
      QLTP_toxtoken_set_norm(t, text.c_str(), -1);
      QLTP_dystrarray_replace(t->strings, 3, "1", 1);
      QLTP_voidparray_add(tokens_, t);
    }
    return tokens_;
  }

  int Disam(const std::string& text, int* left = nullptr, int right = -1, int mode = 0) {
    int l = 0;
    return QLTP_disambiguation_word_disam_n(stage, text.c_str(), left ? left : &l, right, mode);
  }

 private:
  std::unique_ptr<orvelle_test::LoadedDb> db_;
  channel* ch_ = nullptr;
  toxpool* pool_ = nullptr;
  voidparray* tokens_ = nullptr;
};

std::string Norms(const toxtoken* t) {
  std::string out;
  for (; t; t = t->next) {
    out += QLTP_toxtoken_getnorm(t);
    out += QLTP_toxtoken_getfeat(t, QLTP_FEAT_COMPOUND_CONTINUES) ? "+" : "";
    out += "[";
    out += QLTP_dystrarray_idx(t->strings, 3);
    out += "]";
    if (t->next) out += " ";
  }
  return out;
}

disamctxt* Matrix(const std::string& text) { return QLTP_deserialise_disamctxt(text.c_str()); }

TEST(DisambiguationTest, CompoundWeightsFollowFrequencyAndEntryType) {
  const struct {
    const char* entry;
    int weight;
  } cases[] = {
      {"x entry_n freq_1000000", 333}, {"x entry_n freq_100", 26}, {"x entry_n freq_1", 0},
      {"x freq_1000000", -20},         {"x entry_pm freq_1000000", -20}, {"x entry_pmx", -20},
      {"x entry_n", 0},                {"entry_n freq_100", -20},  // the first field is the pronunciation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(QLTP_disambiguation_compound_weight(c.entry), c.weight);
  }
}

TEST(DisambiguationTest, SwedishCompoundsSplitIntoLexiconWords) {
  Stage s("sv",
          "sjuk s_j_uu1_k entry_n freq_1000000\nhus h_uu1_s entry_n freq_100\n"
          "dag d_aa1_g entry_n freq_100\ntid t_ii1_d entry_n freq_100\n"
          "ko k_oo1 entry_n freq_1000000\n");
  ASSERT_NE(s.stage, nullptr);
  EXPECT_EQ(s.Disam("sjukhus"), 4);
  ASSERT_EQ(s.stage->best_len, 2);
  EXPECT_EQ(s.stage->best[0].total, 834);
  EXPECT_EQ(s.stage->best[1].total, 217);
  // A linking s after a part, never after c, s or x; two-letter parts never.
  EXPECT_EQ(s.Disam("dagstid"), 4);
  EXPECT_EQ(s.stage->best[0].weight, -50);
  EXPECT_EQ(s.Disam("kohus"), 5);

  voidparray* tokens = s.Tokens({"sjukhus", "x", "dagstid"});
  QLTP_disambiguation_process(s.stage, tokens, 0);
  EXPECT_EQ(Norms(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 0))), "sjuk+[1] hus[1]");
  EXPECT_EQ(Norms(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 2))), "dags+[1] tid[1]");
  // A word in the lexicon, or a short one, stays whole.
  tokens = s.Tokens({"sjuk", "husdag"});
  QLTP_disambiguation_process(s.stage, tokens, 0);
  EXPECT_EQ(Norms(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 0))), "sjuk[1]");
  EXPECT_EQ(Norms(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 1))), "hus+[1] dag[1]");
}

TEST(DisambiguationTest, CompoundPartsOfOtherLanguagesAreSkipped) {
  const struct {
    const char* mark;
    int first;
  } cases[] = {{"lts_en", 7}, {"lts_sv", 4}, {"lts_exclude", 4}, {"", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mark);
    Stage s("sv", std::string("katt k_a1_t entry_n freq_1000000 ") + c.mark + "\nmat m_aa1_t entry_n freq_100\n");
    EXPECT_EQ(s.Disam("kattmat"), c.first);
  }
}

TEST(DisambiguationTest, ChineseJoinsLongestWords) {
  const std::string base = "A a\nB b\nC c\nAB ab\nBC bc\n";
  {
    Stage s("zh", base);
    EXPECT_EQ(s.Disam("ABC"), 2);
    EXPECT_EQ(s.stage->best[0].total, 300);
    EXPECT_EQ(s.Disam("DAB"), 0);
    EXPECT_EQ(s.Disam(""), 0);
    voidparray* tokens = s.Tokens({"A", "B", "C", "D"});
    QLTP_disambiguation_process(s.stage, tokens, 0);
    std::vector<std::string> norms;
    for (int i = 0; i < 4; ++i) norms.push_back(QLTP_toxtoken_getnorm(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i))));
    EXPECT_EQ(norms, (std::vector<std::string>{"AB", "", "C", "D"}));
  }
  Stage s("zh", base + "ABC abc\n");
  EXPECT_EQ(s.Disam("ABC"), 3);
}

TEST(DisambiguationTest, JapaneseDefaultNodesAndTagging) {
  Stage s("ja", "はし h_a_sh_i weight_100 ctxt_3 acon_N%a@2/b pos_N\n", Matrix("13\n"));
  int left = 0;
  EXPECT_EQ(s.Disam("ああ", &left, -1, 1), 2);
  EXPECT_EQ(left, 11);
  EXPECT_EQ(s.stage->best[0].weight, -14809);
  EXPECT_EQ(s.stage->best[0].total, -14609);
  EXPECT_STREQ(s.stage->best[0].pos, "ng");
  // A character of no class reads as row 0.
  EXPECT_EQ(s.Disam("@", &left, -1, 1), 1);
  EXPECT_EQ(left, 5);
  EXPECT_STREQ(s.stage->best[0].pos, "sg");

  voidparray* tokens = s.Tokens({"は", "し", "@"});
  QLTP_disambiguation_process(s.stage, tokens, 0);
  auto* first = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 0));
  EXPECT_STREQ(QLTP_toxtoken_getnorm(first), "はし");
  EXPECT_STREQ(QLTP_toxtoken_tagval(first, "jtag", "acon"), "N%a@2/b");
  EXPECT_STREQ(QLTP_toxtoken_tagval(first, "jtag", "aconr"), "b");
  EXPECT_STREQ(QLTP_toxtoken_tagval(first, "lex", "phonemes"), "h a sh i");
  EXPECT_STREQ(QLTP_toxtoken_getpos(first), "N");
  auto* third = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 2));
  EXPECT_STREQ(QLTP_toxtoken_tagval(third, "lex", "pos"), "sg");
  EXPECT_STREQ(QLTP_toxtoken_tagval(third, "jtag", "acon"), "*");
  // Latin words start runs of their own and are tagged like any other word;
  // a following Latin word ends the run before it.
  const struct {
    std::vector<std::string> tokens;
    std::vector<std::string> norms, pos;
  } runs[] = {
      {{"abc", "は", "し"}, {"abc", "はし", ""}, {"ng", "N", ""}},
      {{"は", "し", "abc"}, {"はし", "", "abc"}, {"N", "", "ng"}},
      {{"xy ", "abc"}, {"xy", "abc"}, {"ng", "ng"}},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.tokens[0] + r.tokens[1]);
    tokens = s.Tokens(r.tokens);
    QLTP_disambiguation_process(s.stage, tokens, 0);
    for (size_t i = 0; i < r.tokens.size(); ++i) {
      auto* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, static_cast<int>(i)));
      EXPECT_EQ(QLTP_toxtoken_getnorm(t), r.norms[i]) << i;
      const char* pos = QLTP_toxtoken_tagval(t, "lex", "pos");
      EXPECT_EQ(pos ? pos : "", r.pos[i]) << i;
    }
  }
  // Flag 0x10 leaves the tags alone.
  tokens = s.Tokens({"は", "し"});
  QLTP_disambiguation_process(s.stage, tokens, 0x10);
  EXPECT_EQ(QLTP_toxtoken_gettag(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 0)), "jtag"), nullptr);
}

TEST(DisambiguationTest, MatrixTextFillsRowsWithMeans) {
  const std::string six = "2\na b 10\na b 20\nskipped\na b 30\na b 40\na b 50\na b 61\n";
  disamctxt* m = Matrix(six);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->n, 3);
  const int want[3][3] = {{10, 20, 15}, {30, 40, 35}, {50, 61, 55}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(QLTP_disamctxt_lookup(m, i, j), want[i][j]) << i << "," << j;
  EXPECT_EQ(QLTP_disamctxt_lookup(m, 1, -1), 35);
  for (auto [i, j] : {std::pair{-1, 0}, {3, 0}, {0, 3}, {0, -2}}) EXPECT_EQ(QLTP_disamctxt_lookup(m, i, j), 100000);
  EXPECT_EQ(QLTP_disamctxt_lookup(nullptr, 0, 0), 0);
  QLTP_disamctxt_delete(m);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Matrix(six + "a b 70\n"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Critical error: disamctxt table too long!\n");
  m = Matrix("2\na b -3\na b -4\n");
  EXPECT_EQ(QLTP_disamctxt_lookup(m, 0, 2), -3);
  QLTP_disamctxt_delete(m);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_disamctxt_readtxt("/nonexistent/matrix.def"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Can't open file: /nonexistent/matrix.def\n");
}

// Stored matrices read back equal in either byte order; objects whose cells
// do not fit are refused, larger ones load with a message.
TEST(DisambiguationTest, StoredMatrixRoundTripsInBothByteOrders) {
  disamctxt* m = Matrix("3\na b -300\na b 2\na b 7\na b 1000\na b -1\na b 0\na b 5\na b 6\na b 7\na b 9\na b 9\na b 9\n");
  ASSERT_NE(m, nullptr);
  const std::string original = orvelle_test::KindImage("TPOBJ_DISAMCTXT:DEFAULT", m, false);
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("disamctxt.tpdb");
    orvelle_test::WriteTestDb(path, {{"TPOBJ_DISAMCTXT:DEFAULT", m}}, swapped);
    orvelle_test::LoadedDb d(path);
    ASSERT_TRUE(d.loaded());
    auto* back = d.Get<disamctxt>("TPOBJ_DISAMCTXT:DEFAULT");
    ASSERT_NE(back, nullptr);
    for (int i = 0; i < m->n; ++i)
      for (int j = 0; j < m->n; ++j) EXPECT_EQ(QLTP_disamctxt_lookup(back, i, j), QLTP_disamctxt_lookup(m, i, j));
    EXPECT_EQ(orvelle_test::KindImage("TPOBJ_DISAMCTXT:DEFAULT", back, false), original);
    std::remove(path.c_str());
  }
  QLTP_fixedbuf* buffer = QLTP_fixedbuf_new(static_cast<uint32_t>(QLTPPy_disamctxt_write(m, nullptr)));
  EXPECT_EQ(QLTPPy_disamctxt_write(m, buffer), 1);
  EXPECT_EQ(std::string(buffer->data, buffer->size), original);
  QLTP_fixedbuf_delete(buffer);
  QLTP_disamctxt_delete(m);

  auto header = [](int32_t n, int32_t bits) {
    std::string s(8, '\0');
    std::memcpy(s.data(), &n, 4);
    std::memcpy(s.data() + 4, &bits, 4);
    return s;
  };
  const struct {
    const char* what;
    std::string image;
    bool loads;
  } stored[] = {
      {"short", header(4, 16) + std::string(31, '\1'), false},
      {"negative n", header(-2, 8) + std::string(4, '\1'), false},
      {"no bits", header(2, 0), false},
      {"huge", header(65536, 16), false},
      {"larger", header(2, 8) + std::string(6, '\1'), true},
      {"exact", header(2, 8) + std::string(4, '\1'), true},
  };
  for (const auto& c : stored) {
    SCOPED_TRACE(c.what);
    ::testing::internal::CaptureStderr();
    orvelle_test::LoadedDb d("disamctxt_bad.tpdb", {{"TPOBJ_DISAMCTXT:DEFAULT", c.image}});
    std::string err = ::testing::internal::GetCapturedStderr();
    auto* back = d.Get<disamctxt>("TPOBJ_DISAMCTXT:DEFAULT");
    EXPECT_EQ(back != nullptr, c.loads);
    if (c.loads) {
      EXPECT_EQ(QLTP_disamctxt_lookup(back, 1, 1), 1);
    }
    if (std::string(c.what) == "larger") {
      EXPECT_NE(err.find("unmatched size for disamxtxt: 4 6"), std::string::npos);
    }
  }
}

// Mutated matrix texts and stored objects are read or refused, never read
// past: a matrix read back answers every lookup inside its cells.
TEST(DisambiguationTest, MutatedMatricesAreReadOrRefused) {
  std::mt19937 rng(144);
  const std::string text = "3\na b -300\na b 2\na b 7\na b 1000\na b -1\na b 0\na b 5\na b 6\na b 7\na b 9\n";
  auto mutate = [&rng](std::string s, const std::string& alphabet) {
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
      const size_t at = s.empty() ? 0 : rng() % s.size();
      switch (rng() % 3) {
        case 0: if (!s.empty()) s[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: s.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
        default: if (!s.empty()) s.erase(at, 1 + rng() % 8); break;
      }
    }
    return s;
  };
  auto check = [](const disamctxt* m) {
    ASSERT_GE(m->n, 0);
    for (int i = -1; i <= m->n; ++i)
      for (int j = -2; j <= m->n; ++j) {
        int32_t v = QLTP_disamctxt_lookup(m, i, j);
        EXPECT_TRUE(v == 100000 || (v >= INT16_MIN && v <= INT16_MAX));
      }
  };
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 3000; ++round) {
    std::string t = mutate(text, "0123456789 -\nab");
    if (std::atol(t.c_str()) > 64) continue;  // keep the matrices small
    disamctxt* m = Matrix(t);
    if (m) check(m);
    QLTP_disamctxt_delete(m);
  }
  disamctxt* m = Matrix(text);
  std::string image = orvelle_test::KindImage("TPOBJ_DISAMCTXT:DEFAULT", m, false);
  QLTP_disamctxt_delete(m);
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  for (int round = 0; round < 400; ++round) {
    std::string mutated = mutate(image, bytes);
    orvelle_test::LoadedDb d("disamctxt_mutated.tpdb", {{"TPOBJ_DISAMCTXT:DEFAULT", mutated}});
    if (auto* back = d.Get<disamctxt>("TPOBJ_DISAMCTXT:DEFAULT")) {
      EXPECT_LE(static_cast<int64_t>(back->n) * back->n * back->bits / 8, static_cast<int64_t>(mutated.size()) - 8);
      if (back->n <= 64) check(back);
    }
  }
  ::testing::internal::GetCapturedStderr();
}

// The search finds the best-scoring segmentation within six words: texts
// over a random lexicon with random weights, classes and context costs are
// scored by brute force over every segmentation, cut where the search stops
// opening positions, and the best compared.
TEST(DisambiguationTest, SearchMatchesBruteForceOnRandomLattices) {
  std::mt19937 rng(17);
  const std::string letters = "abcd";
  int cut_differs = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    std::map<std::string, std::vector<std::pair<int, int>>> lex;  // word -> (weight, class)
    std::string lines;
    auto add = [&](const std::string& w) {
      int weight = static_cast<int>(rng() % 500), klass = static_cast<int>(rng() % 4);
      lex[w].push_back({weight, klass});
      lines += w + " p weight_" + std::to_string(weight) + " ctxt_" + std::to_string(klass) + "\n";
    };
    for (char c : letters) add(std::string(1, c));
    for (int k = 0; k < 14; ++k) {
      std::string w;
      for (int len = 2 + static_cast<int>(rng() % 3); len > 0; --len) w += letters[rng() % letters.size()];
      add(w);
    }
    std::string matrix = "3\n";
    std::vector<int> cells(16, 0);
    for (int i = 0; i < 4; ++i) {
      int sum = 0;
      for (int j = 0; j < 3; ++j) {
        int v = static_cast<int>(rng() % 200) - 50;
        cells[static_cast<size_t>(i * 4 + j)] = v;
        sum += v;
        matrix += "x y " + std::to_string(v) + "\n";
      }
      cells[static_cast<size_t>(i * 4 + 3)] = sum / 3;
    }
    Stage s("ja", lines, Matrix(matrix));
    for (int t = 0; t < 20; ++t) {
      std::string text;
      for (int len = 1 + static_cast<int>(rng() % 14); len > 0; --len) text += letters[rng() % letters.size()];
      const int right = static_cast<int>(rng() % 4) - 1;
      const int start = static_cast<int>(rng() % 4);
      auto cell = [&](int a, int b) { return cells[static_cast<size_t>(a * 4 + (b < 0 ? 3 : b))]; };
      // Which steps the search cuts: positions open in depth-first order
      // (shorter words first, every length has a reading), a position first
      // met six words in stays closed, and a position's steps are decided
      // when it opens.
      const size_t n = text.size();
      std::vector<bool> open(n, false);
      std::set<std::pair<size_t, size_t>> cut;
      std::function<bool(size_t, int)> visit = [&](size_t at, int depth) {
        if (open[at]) return true;
        if (depth >= 6) return false;
        open[at] = true;
        for (size_t len = 1; len <= 20 && at + len < n; ++len)
          if (!visit(at + len, depth + 1)) cut.insert({at, at + len});
        return true;
      };
      visit(0, 0);
      // Brute force over all segmentations and entries, with and without
      // the cuts.
      auto brute = [&](bool bounded) {
        int best = INT32_MIN;
        std::function<void(size_t, int, int)> walk = [&](size_t at, int left, int score) {
          if (at == n) {
            best = std::max(best, score - cell(left, right));
            return;
          }
          for (size_t len = 1; at + len <= n; ++len) {
            auto it = lex.find(text.substr(at, len));
            if (it == lex.end()) continue;
            for (auto [weight, klass] : it->second) {
              const int next = score - cell(left, klass) + 100 * static_cast<int>(len) - weight;
              if (bounded && cut.count({at, at + len}))
                best = std::max(best, next - cell(klass, -1));
              else
                walk(at + len, klass, next);
            }
          }
        };
        walk(0, start, 0);
        return best;
      };
      const int best = brute(true), unbounded = brute(false);
      int left = start;
      SCOPED_TRACE(text);
      ASSERT_GT(s.Disam(text, &left, right, 1), 0);
      EXPECT_EQ(s.stage->best[0].total, best);
      cut_differs += best != unbounded;
    }
  }
  // The cut decides some of the texts.
  EXPECT_GT(cut_differs, 10);
}

TEST(DisambiguationTest, LongRunsStayInsideTheirLimits) {
  // Five hundred readings of "a" fill the pool before the search has opened
  // every position within its reach.
  std::string readings;
  for (int i = 0; i < 500; ++i) readings += "a a weight_" + std::to_string(i) + " ctxt_1\n";
  Stage s("ja", "あ a weight_10 ctxt_1\nああ aa weight_10 ctxt_2\n" + readings, Matrix("3\n"));
  // A first token over 480 bytes starts no run.
  std::string long_token;
  for (int i = 0; i < 161; ++i) long_token += "あ";
  voidparray* tokens = s.Tokens({long_token, "い"});
  QLTP_disambiguation_process(s.stage, tokens, 0);
  EXPECT_EQ(QLTP_toxtoken_getnorm(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, 0))), long_token);
  // 480 one-byte characters: the memo has a slot for each, so the search
  // costs no more than a linear one: eight times the run, at most about
  // eight times the time.
  std::string letters(480, 'a');
  int left = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_GT(s.Disam(letters, &left, -1, 1), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Critical error: the disambiguation features pool is full!\n");
  ::testing::internal::CaptureStderr();
  const double ratio = orvelle_test::CpuTimeRatio([&] { s.Disam(letters.substr(0, 60), &left, -1, 1); },
                                                  [&] { s.Disam(letters, &left, -1, 1); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_LT(ratio, 24.0) << "480 characters took " << ratio << " times the CPU time of 60";
  std::string kana;
  for (int i = 0; i < 160; ++i) kana += "あ";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(s.Disam(kana, &left, -1, 1), 2);
  ::testing::internal::GetCapturedStderr();
  // Shorter words are tried first, so the positions two characters apart
  // open five words in and the best path stops after four words.
  EXPECT_EQ(s.stage->best_len, 4);
  // 121 one-character Chinese tokens: the run stops after 120.
  Stage zh("zh", "A a\nAA aa\n");
  std::vector<std::string> many(121, "A");
  tokens = zh.Tokens(many);
  QLTP_disambiguation_process(zh.stage, tokens, 0);
  int joined = 0;
  for (int i = 0; i < 121; ++i)
    joined += std::strlen(QLTP_toxtoken_getnorm(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i)))) == 2;
  EXPECT_EQ(joined, 60);
}

}  // namespace
