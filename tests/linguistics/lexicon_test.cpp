#include "linguistics/lexicon.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "linguistics/lexmgr.h"
#include "tests/complkp_encoder.h"

namespace {

using orvelle_test::KeyValues;

struct LexDeleter {
  void operator()(lexhash* l) const { QLTP_lexhash_delete(l); }
  void operator()(complkp* t) const { QLTP_complkp_delete(t); }
  void operator()(complkp_lkp* c) const { QLTP_complkp_lkp_delete(c); }
  void operator()(lexmgr* m) const { QLTP_lexmgr_delete(m); }
};
template <typename T>
using Owned = std::unique_ptr<T, LexDeleter>;

lexhash* FromFileText(const std::string& text, int32_t limit = -1) {
  FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
  lexhash* lex = QLTP_lexhash_loadcustom(f, limit);
  std::fclose(f);
  return lex;
}

std::vector<std::string> Entries(const lexhash* lex, const std::string& word, const char* type = nullptr) {
  Owned<complkp_lkp> c(QLTP_complkp_lkp_new(1));
  std::vector<std::string> out;
  for (const char* e = QLTP_lexhashlkp_lookup(lex, c.get(), word.c_str(), type); e && out.size() < 10;
       e = QLTP_lexhashlkp_lookup(lex, c.get(), "", type))
    out.emplace_back(e);
  return out;
}

TEST(LexiconTest, CustomFileKeepsWholeLinesAndSkipsWhatHoldsNoEntry) {
  const std::string long_entry = "l_ao1_ng " + std::string(400, 'x') + " entry_full";
  const std::string text = "# a comment\n\nread r_iy1_d entry_full\r\nread  r_eh1_d\tentry_reduced\n"
                           "lonely\n   \nlong " + long_entry + "\nlast l_ae1_s_t";
  Owned<lexhash> lex(FromFileText(text));
  ASSERT_NE(lex, nullptr);
  EXPECT_EQ(3, QLTP_dict_size(lex->headwords));
  struct Case {
    const char* word;
    std::vector<std::string> entries;
  };
  const Case cases[] = {{"read", {"r_iy1_d entry_full", "r_eh1_d\tentry_reduced"}},
                        {"long", {long_entry}},
                        {"last", {"l_ae1_s_t"}},
                        {"lonely", {}},
                        {"#", {}},
                        {"lon", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(c.entries, Entries(lex.get(), c.word));
  }
  // A limit stops after the line that reaches it.
  Owned<lexhash> limited(FromFileText(text, 20));
  EXPECT_EQ(1, QLTP_dict_size(limited->headwords));

  // Lines one by one: the same rules; a line without an entry gives 0.
  Owned<lexhash> lines(QLTP_lexhash_new(4));
  EXPECT_EQ(1, QLTP_lexhash_loadline(lines.get(), "# x", -1));
  EXPECT_EQ(1, QLTP_lexhash_loadline(lines.get(), "", -1));
  EXPECT_EQ(0, QLTP_lexhash_loadline(lines.get(), "only", -1));
  EXPECT_EQ(1, QLTP_lexhash_loadline(lines.get(), "a ey1 entry_letterXX", 16));
  EXPECT_EQ(std::vector<std::string>{"ey1 entry_lett"}, Entries(lines.get(), "a"));
}

TEST(LexiconTest, DatabaseTextSkipsItsFirstLineAndOneSeparator) {
  Owned<lexhash> lex(QLTP_deserialise_lexhash("first line is a title\nthe dh_ax0\r\nthe  dh_iy1\n#x y\nalone\n"));
  EXPECT_EQ((std::vector<std::string>{"dh_ax0", " dh_iy1"}), Entries(lex.get(), "the"));
  EXPECT_TRUE(Entries(lex.get(), "first").empty());
  EXPECT_TRUE(Entries(lex.get(), "alone").empty());
}

TEST(LexiconTest, TypedLookupsAndLongestPrefix) {
  Owned<lexhash> lex(FromFileText("the dh_ax0 entry_reduced\nthe dh_iy1 entry_full\nthe dh_ah1\n"
                                  "them dh_eh1_m\n"));
  struct Case {
    const char* type;
    std::vector<std::string> cursor;  // every entry of the type, in order
    const char* plain;                // QLTP_lexhash_lookup
  };
  const Case cases[] = {{"full", {"dh_iy1 entry_full", "dh_ah1"}, "dh_iy1 entry_full"},
                        {"reduced", {"dh_ax0 entry_reduced", "dh_ah1"}, "dh_ax0 entry_reduced"},
                        {"ful", {"dh_ah1"}, "dh_ah1"},
                        {"fullest", {"dh_ah1"}, "dh_iy1 entry_full"},
                        {"letter", {"dh_ah1"}, "dh_ah1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(c.cursor, Entries(lex.get(), "the", c.type));
    EXPECT_STREQ(c.plain, QLTP_lexhash_lookup(lex.get(), "the", c.type));
  }
  EXPECT_EQ(3u, Entries(lex.get(), "the").size());
  EXPECT_EQ(6, QLTP_lexentry_pronlen("dh_iy1 entry_full"));

  const struct {
    const char* word;
    int len_in, len_out;
    const char* entry;
  } longest[] = {{"themselves", -1, 4, "dh_eh1_m"}, {"themselves", 3, 3, "dh_ax0 entry_reduced"},
                 {"thx", -1, 0, nullptr}, {"them", 99, 4, "dh_eh1_m"}};
  for (const auto& l : longest) {
    SCOPED_TRACE(l.word);
    int len = l.len_in;
    const char* e = QLTP_lexhash_longestword_lookup(lex.get(), l.word, &len);
    EXPECT_STREQ(l.entry, e);
    if (e) {
      EXPECT_EQ(l.len_out, len);
    }
  }
}

// The whole CMU dictionary as lexicon lines, plain and compressed: every
// line comes back through the manager, variants in order, from either.
TEST(LexiconTest, CmuDictionaryPlainAndCompressedGiveEveryLine) {
  KeyValues entries = orvelle_test::CmuEntries();
  ASSERT_EQ(134723u, entries.size()) << orvelle_test::kCmuDict;
  Owned<lexhash> plain(QLTP_lexhash_new(1024));
  for (const auto& [word, pron] : entries) {
    std::string line = word + " " + pron + "\n";
    ASSERT_EQ(1, QLTP_lexhash_loadline(plain.get(), line.c_str(), -1)) << line;
  }
  complkp* table = orvelle_test::EncodeTable(orvelle_test::TableOrder(entries, 3), 3);
  Owned<lexmgr> mgr(QLTP_lexmgr_new());
  lexhash* plain_lex = plain.release();
  ASSERT_EQ(1, QLTP_lexmgr_insert(mgr.get(), "cmu", table, QLTP_LEX_COMPRESSED | QLTP_LEX_OWNED, -1));
  ASSERT_EQ(1, QLTP_lexmgr_insert(mgr.get(), "plain", plain_lex, QLTP_LEX_PLAIN | QLTP_LEX_OWNED, -1));
  EXPECT_EQ(static_cast<int32_t>(QLTP_complkp_bufsz(table)), mgr->bufsz);

  std::map<std::string, std::vector<std::string>> expected;
  for (const auto& [k, v] : entries) expected[k].push_back(v);
  Owned<complkp_lkp> c(QLTP_lexmgr_cursor(mgr.get()));
  size_t lines = 0;
  for (const auto& [word, prons] : expected) {
    for (const char* name : {"cmu", "plain"}) {
      std::vector<std::string> got;
      int pronlen = 0;
      for (const char* e = QLTP_lexmgr_lookup(mgr.get(), word.c_str(), name, nullptr, c.get(), &pronlen); e;
           e = QLTP_lexmgr_lookup(mgr.get(), "", name, nullptr, c.get(), &pronlen)) {
        got.emplace_back(e);
        if (pronlen != static_cast<int>(got.back().size())) ADD_FAILURE() << word;
      }
      if (got != prons) ADD_FAILURE() << name << " " << word;
      lines += got.size();
    }
  }
  EXPECT_EQ(2 * entries.size(), lines);
}

// Mutated lexicon and manager texts: read without faults (sanitiser build).
TEST(LexiconTest, RandomTextNeverFaults) {
  const std::string seed =
      "title\nread r_iy1_d entry_full\r\nread r_eh1_d entry_reduced\n#c\nthe dh_ax0\nx\n  y z\nmain:1 extra:0 c:";
  std::mt19937 rng(6101);
  const char alphabet[] = {' ', '\n', '\r', '\t', '#', ':', '0', '1', 'a', '_', '\0', '\xff'};
  for (int round = 0; round < 3000; ++round) {
    std::string text = seed;
    for (int e = 0, n = 1 + static_cast<int>(rng() % 6); e < n; ++e) {
      size_t at = rng() % text.size();
      if (rng() % 2)
        text[at] = alphabet[rng() % sizeof alphabet];
      else
        text.insert(at, std::string(rng() % 300, alphabet[rng() % sizeof alphabet]));
    }
    Owned<lexhash> file(FromFileText(text, static_cast<int32_t>(rng() % 400) - 1));
    Owned<lexhash> db(QLTP_deserialise_lexhash(text.c_str()));
    Owned<lexmgr> mgr(QLTP_deserialise_lexmgr(text.c_str()));
    ASSERT_TRUE(file && db && mgr);
    for (const lexhash* lex : {file.get(), db.get()}) {
      Entries(lex, "read");
      Entries(lex, "the", "full");
      int len = -1;
      QLTP_lexhash_longestword_lookup(lex, "reading", &len);
    }
    QLTP_lexmgr_lookup(mgr.get(), "read", nullptr, nullptr, nullptr, nullptr);
  }
}

}  // namespace
