#include "linguistics/ccart.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "linguistics/lexmgr.h"
#include "linguistics/ltstree.h"
#include "cmu_lts.h"
#include "lts_data.h"
#include "test_db.h"

namespace {

using orvelle_test::TreeSpec;

struct CartDeleter {
  void operator()(ccart* c) const { QLTP_ccart_delete(c); }
};
using Cart = std::unique_ptr<ccart, CartDeleter>;

Cart FromText(const std::string& text) { return Cart(QLTP_deserialise_ccart(text.c_str())); }

std::string Phones(ccart* c, const std::string& word, const char* language = "", logger* log = nullptr,
                   std::string* padded_out = nullptr) {
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  const char* r = QLTP_runccart(c, word.c_str(), log, 0, padded, out, nullptr, nullptr, language);
  std::string result = r ? r : "<none>";
  if (padded_out) *padded_out = QLTP_dystr_cstr(padded);
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  return result;
}

using orvelle_test::CartBytes;

// Reads the binary form through a file; the byte count must be the whole.
Cart Read(const std::string& bytes, int swap = 0) {
  FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  ccart* c = nullptr;
  int32_t got = QLTP_ccart_read(f, &c, swap);
  std::fclose(f);
  if (c) {
    EXPECT_EQ(got, static_cast<int32_t>(bytes.size()));
  }
  return Cart(c);
}

lts* TreeSet(const std::vector<TreeSpec>& trees) {
  FILE* f = std::tmpfile();
  std::string bytes = orvelle_test::TreeSetBytes(trees);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  lts* set = QLTP_lts_load(f, 0);
  std::fclose(f);
  return set;
}

const char* const kWords[] = {"ab", "tat", "a", "ba", "tt", "ttab", "bat", "atta"};

TEST(CcartTest, TextTreesAndTreeFileAnswerAlike) {
  Cart small = FromText(orvelle_test::CartText(orvelle_test::SmallTrees()));
  ASSERT_TRUE(small);
  EXPECT_EQ(Phones(small.get(), "ab"), "ae1 b");
  EXPECT_EQ(Phones(small.get(), "tat"), "t ey0 t");
  const std::vector<TreeSpec> accented = {{"\xc3\xa9", {"ey1"}, {}},
                                          {"a", {"x", "y"}, {{"p.name", "\xc3\xa9", 0, 1}, }}};
  const std::vector<std::string> accented_words = {"\xc3\xa9" "a", "a\xc3\xa9" "a", "\xc3\xa9\xc3\xa9" "a", "aa"};
  const std::pair<std::vector<TreeSpec>, std::vector<std::string>> sets[] = {
      {orvelle_test::SmallTrees(), {std::begin(kWords), std::end(kWords)}}, {accented, accented_words}};
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  for (const auto& [trees, words] : sets) {
    lts* set = TreeSet(trees);
    ASSERT_NE(set, nullptr);
    Cart from_set(QLTP_ccart_new(set));
    Cart from_text = FromText(orvelle_test::CartText(trees));
    Cart from_crlf = FromText(orvelle_test::CartText(trees, "\r\n"));
    ASSERT_TRUE(from_set && from_text && from_crlf);
    for (const auto& w : words) {
      SCOPED_TRACE(w);
      const std::string want = QLTP_runlts(set, w.c_str(), nullptr, 0, padded, out);
      EXPECT_FALSE(want.empty());
      EXPECT_EQ(Phones(from_set.get(), w), want);
      EXPECT_EQ(Phones(from_text.get(), w), want);
      EXPECT_EQ(Phones(from_crlf.get(), w), want);
    }
    QLTP_lts_delete(set);
  }
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
}

// Write, read back (in either byte order), write again: the same bytes.
TEST(CcartTest, BinaryFormRoundTripsInBothByteOrders) {
  lts* set = TreeSet(orvelle_test::SmallTrees());
  std::vector<Cart> models;
  models.emplace_back(QLTP_ccart_new(set));
  models.push_back(FromText(orvelle_test::CartText(orvelle_test::SmallTrees())));
  testing::internal::CaptureStdout();
  models.push_back(FromText(orvelle_test::CartText(
      {{"a", {"a0"}, {}}, {"b", {"b"}, {}}, {"0", {"1", "0"}, {{"name", "a", 0, 1}}}})));
  testing::internal::GetCapturedStdout();
  QLTP_lts_delete(set);
  for (const auto& m : models) {
    ASSERT_TRUE(m);
    const std::string bytes = CartBytes(m.get());
    Cart back = Read(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(CartBytes(back.get()), bytes);
    Cart swapped = Read(CartBytes(m.get(), 1), 1);
    ASSERT_TRUE(swapped);
    EXPECT_EQ(CartBytes(swapped.get()), bytes);
    EXPECT_EQ((m->scores != nullptr), (back->scores != nullptr));
    for (const char* w : kWords) EXPECT_EQ(Phones(back.get(), w), Phones(m.get(), w)) << w;

    EXPECT_EQ(orvelle_test::WriterImage(m.get(), QLTPPy_ccart_write), std::make_pair(0, bytes));
  }
}

// Vowels end in "0"; the stress tree makes "a" and "e" primary ("1", "3")
// and "o", "u" not. Scores are set per case to reach each branch.
TEST(CcartTest, StressRuleMovesPrimaryToTheBestScoredVowel) {
  testing::internal::CaptureStdout();
  Cart c = FromText(orvelle_test::CartText({{"a", {"a0"}, {}},
                                            {"e", {"e0"}, {}},
                                            {"o", {"o0"}, {}},
                                            {"u", {"u0"}, {}},
                                            {"b", {"b"}, {}},
                                            {"t", {"t"}, {}},
                                            {"0", {"1", "0", "3"}, {{"name", "a", 0, 4}, {"name", "e", 2, 1}}}}));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(c);
  ASSERT_NE(c->scores, nullptr);
  struct Case {
    int a, e, o, u;
    const char* word;
    const char* language;
    const char* phones;
  };
  const Case cases[] = {
      {5, 10, 0, 0, "abe", "", "a0 b e3"},                            // later, better primary; close "1" -> "0"
      {5, 10, 0, 0, "abtbtbte", "", "a2 b t b t b t e3"},             // far "1" -> "2"
      {10, 5, 0, 0, "abe", "", "a1 b e0"},                            // weaker primary close by
      {10, 5, 0, 0, "abtbtbte", "", "a1 b t b t b t e2"},             // weaker primary far away
      {-300000, 0, 0, 0, "a", "", "a0"},                              // primary below every score
      {0, 0, 7, 0, "o", "", "o1"},                                    // no primary: best candidate
      {0, 0, 7, 0, "o", "sv", "o4"},
      {0, 0, 7, 0, "o", "no", "o4"},
      {0, 0, 7, 9, "obu", "", "o0 b u1"},
      {0, 0, 7, 3, "obu", "", "o1 b u0"},
      {0, 0, 7, 3, "ao", "", "a1 o0"},                                // primary found: others stay
      {-300000, 0, 7, 0, "ao", "", "a0 o1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.word);
    c->scores[0] = k.a, c->scores[1] = k.e, c->scores[2] = k.o, c->scores[3] = k.u;
    EXPECT_EQ(Phones(c.get(), k.word, k.language), k.phones);
  }
}

// The scores follow the stress tree: a path to its "1" terminal that hangs
// on the current letter counts for that letter, a path away counts against.
TEST(CcartTest, ScoresOfLettersFollowTheStressTree) {
  struct Case {
    std::vector<TreeSpec> trees;
    const char* printed;
  };
  const std::vector<TreeSpec> letters = {{"a", {"a0"}, {}}, {"b", {"b"}, {}}};
  auto with = [&](TreeSpec stress) {
    auto t = letters;
    t.push_back(std::move(stress));
    return t;
  };
  const Case cases[] = {
      {with({"0", {"1", "0"}, {{"name", "a", 3, 1}, {"p.name", "b", 0, 1}}}),
       "ctx: a, score: -50000\nctx: b, score: 0\nctx: 0, score: 0\n"},
      {with({"0", {"1"}, {}}), "ctx: a, score: 100000\nctx: b, score: 100000\nctx: 0, score: 100000\n"},
      {with({"0", {"2", "0"}, {{"name", "a", 0, 1}}}), "ctx: a, score: 0\nctx: b, score: 0\nctx: 0, score: 0\n"},
      {with({"0", {"0", "1"}, {{"name", "b", 1, 0}}}),
       "ctx: a, score: 0\nctx: b, score: 100000\nctx: 0, score: 0\n"},
  };
  for (const auto& k : cases) {
    testing::internal::CaptureStdout();
    Cart c = FromText(orvelle_test::CartText(k.trees));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), k.printed);
    ASSERT_TRUE(c);
    Cart back = Read(CartBytes(c.get()));
    ASSERT_TRUE(back && back->scores);
    for (int i = 0; i < c->n; ++i) EXPECT_EQ(back->scores[i], c->scores[i]);
  }
}

TEST(CcartTest, FormWithoutScoreBytesGivesEveryLetterScoreZero) {
  testing::internal::CaptureStdout();
  Cart c = FromText(orvelle_test::CartText({{"o", {"o0"}, {}}, {"0", {"0"}, {}}}));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(c);
  c->size -= 4 * c->n;  // drop the score table
  QLTP_free(c->scores);
  c->scores = nullptr;
  Cart back = Read(CartBytes(c.get()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->scores, nullptr);
  // Score 0 still beats "no candidate": the vowel gets the primary.
  EXPECT_EQ(Phones(back.get(), "o"), "o1");
}

TEST(CcartTest, WideContextPadsEachSideAndShortNamesCountNoSteps) {
  Cart c = FromText(orvelle_test::CartText(
      {{"a", {"x", "y"}, {{"p.p.n.name", "#", 0, 1}}}, {"b", {"b1", "b2"}, {{"pn", "b", 0, 1}}}}));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->h1, 3);
  std::string padded;
  EXPECT_EQ(Phones(c.get(), "a", "", nullptr, &padded), "x");
  EXPECT_EQ(padded, "###a###");
  EXPECT_EQ(Phones(c.get(), "ba"), "b1 y");
}

// A walk that comes back to a node it passed ends without a phone; a stress
// tree that does so cannot be scored, and its text is refused.
TEST(CcartTest, CyclicTreesGiveNoPhoneAndCannotBeScored) {
  Cart c = FromText(orvelle_test::CartText({{"a", {"x", "y"}, {{"name", "b", 0, 3}, {"n.name", "b", 1, 2}}}, {"b", {"b"}, {}}}));
  ASSERT_TRUE(c);
  EXPECT_EQ(Phones(c.get(), "ab"), "y b");
  EXPECT_EQ(Phones(c.get(), "aa"), "");
  testing::internal::CaptureStdout();
  Cart stress = FromText(
      orvelle_test::CartText({{"a", {"a0"}, {}}, {"0", {"1", "0"}, {{"name", "a", 2, 3}, {"n.name", "a", 2, 0}}}}));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(stress);
}

TEST(CcartTest, LetterWithoutTreeOrLexiconIsReported) {
  Cart c = FromText(orvelle_test::CartText(orvelle_test::SmallTrees()));
  ASSERT_TRUE(c);
  logger* log = QLTP_logger_new("TEST", 4, nullptr);
  QLTP_logger_set_store(log);
  EXPECT_EQ(Phones(c.get(), "bqt", "", log), "b t");
  ASSERT_NE(QLTP_logger_msg(log, 0), nullptr);
  EXPECT_NE(std::string(QLTP_logger_msg(log, 0)).find("Bad LTS starting : qt"), std::string::npos);
  QLTP_logger_delete(log);
}

// Letters without a tree come from the lexicons' entries for the letter.
TEST(CcartTest, LetterWithoutTreeTakesTheLexiconEntry) {
  Cart c = FromText(orvelle_test::CartText(orvelle_test::SmallTrees()));
  orvelle_test::LoadedDb d(
      "ccartlex.tpdb", {{"TPOBJ_CCART:DEFAULT", CartBytes(c.get())},
                        {"TPOBJ_LEXMGR:DEFAULT", std::string("letters:0") + '\0'},
                        {"TPOBJ_LEXHASH:LETTERS", std::string("letters\nq k_y_uw1 entry_letter\n") + '\0'}});
  const char* r = QLTP_ccart_test(d.db, "bqt", 0);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r, "b k y uw1 t");
  lexmgr* lexicons = QLTP_lexmgr_getlmgr(d.db);
  ASSERT_NE(lexicons, nullptr);
  complkp_lkp* cursor = QLTP_lexmgr_cursor(lexicons);
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  logger* log = QLTP_logger_new("TEST", 4, nullptr);
  QLTP_logger_set_store(log);
  EXPECT_STREQ(QLTP_runccart(c.get(), "qxa", log, 0, padded, out, lexicons, cursor, ""), "k y uw1 ey1");
  ASSERT_NE(QLTP_logger_msg(log, 0), nullptr);  // "x" is in no lexicon
  EXPECT_NE(std::string(QLTP_logger_msg(log, 0)).find("Bad LTS starting : xa"), std::string::npos);
  EXPECT_EQ(QLTP_logger_msg(log, 1), nullptr);
  QLTP_logger_delete(log);
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  QLTP_complkp_lkp_delete(cursor);
}

TEST(CcartTest, RefusesTextWhoseCountsOrNodesDoNotMatch) {
  const std::string good = orvelle_test::CartText(orvelle_test::SmallTrees());
  ASSERT_TRUE(FromText(good));
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return s.replace(at, from.size(), to);
  };
  const std::pair<const char*, std::string> bad[] = {
      {"more trees declared", replaced("Number_Trees: 3", "Number_Trees: 4")},
      {"fewer trees declared", replaced("Number_Trees: 3", "Number_Trees: 2")},
      {"terminal missing", replaced("T ey0\n", "")},
      {"extra node", replaced("N p.name t 2 1\n", "N p.name t 2 1\nN p.name t 2 1\n")},
      {"node number out of range", replaced("N p.name t 2 1", "N p.name t 5 1")},
      {"letter given twice", replaced("Letter: t", "Letter: b")},
      {"no tree count", replaced("Number_Trees: 3\n", "")},
      {"non-terminal among terminals", replaced("T ey1\n", "N n.name b 0 4\n")},
  };
  for (const auto& [what, text] : bad) EXPECT_FALSE(FromText(text)) << what;
  EXPECT_EQ(QLTP_ccart_readtxt("/nonexistent/cart.txt"), nullptr);

  // Blank lines and lines of no listed kind are skipped: the same model.
  std::string crlf = good;
  for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  const std::pair<const char*, std::string> skipped[] = {
      {"unknown line", replaced("T b\n", "T b\nX y\n")},
      {"whitespace-only line", replaced("T b\n", "T b\n \t \n")},
      {"unknown lines beginning with T or N",
       replaced("T b\n", "Trained on cmudict\nT b\nNotes: none\nTab\nN-best 2\nTAB\tx\n")},
      {"trailing blank lines", good + "\n  \n"},
      {"trailing blank line, CRLF", crlf + " \r\n"},
  };
  ccart* want = QLTP_deserialise_ccart(good.c_str());
  for (const auto& [what, text] : skipped) {
    ccart* got = QLTP_deserialise_ccart(text.c_str());
    ASSERT_NE(got, nullptr) << what;
    EXPECT_EQ(orvelle_test::CartBytes(got), orvelle_test::CartBytes(want)) << what;
    QLTP_ccart_delete(got);
  }
  QLTP_ccart_delete(want);
}

TEST(CcartTest, RefusesShortAndInconsistentBinaryForms) {
  Cart c = FromText(orvelle_test::CartText(orvelle_test::SmallTrees()));
  const std::string good = CartBytes(c.get());
  for (size_t cut = 0; cut < good.size(); ++cut) EXPECT_FALSE(Read(good.substr(0, cut))) << cut;
  const size_t data = good.size() - static_cast<size_t>(c->size);
  auto patched = [&](size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
  const std::pair<const char*, std::string> bad[] = {
      {"width 3", patched(8, orvelle_test::Int32(3))},
      {"tree past the data", patched(32 + 12, orvelle_test::Int32(c->size))},
      {"negative count", patched(32 + 4, orvelle_test::Int32(-1))},
      {"output index past the table", patched(data, std::string(1, '\x09'))},
      {"yes node past the tree", patched(data + 3 + 2, std::string(1, '\x05'))},
      {"no node past the tree", patched(data + 3 + 3, std::string(1, '\x05'))},
  };
  for (const auto& [what, bytes] : bad) EXPECT_FALSE(Read(bytes)) << what;
}

TEST(CcartTest, MutatedTextFormsBuildOrAreRefusedWithoutHarm) {
  const std::string good = orvelle_test::CartText(
      {{"a", {"ae1", "ey0"}, {{"n.name", "b", 0, 1}}}, {"b", {"b"}, {}}, {"0", {"1", "0"}, {{"name", "a", 0, 1}}}});
  std::mt19937 rng(62);
  const char pieces[] = "0123456789 \n#TNL:_.pn";
  int built = 0, unreadable = 0;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3000; ++i) {
    std::string text = good;
    for (int e = 0, edits = 1 + static_cast<int>(rng() % 3); e < edits; ++e) {
      size_t at = rng() % text.size();
      if (rng() % 3 == 0)
        text.erase(at, 1 + rng() % 4);
      else
        text[at] = pieces[rng() % (sizeof pieces - 1)];
      if (text.empty()) text = "x";
    }
    Cart m = FromText(text);
    if (!m) continue;
    ++built;
    for (const char* w : {"ab", "ba", "aab"}) Phones(m.get(), w);
    if (!Read(CartBytes(m.get()))) ++unreadable;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(built, 0);
  EXPECT_EQ(unreadable, 0);  // whatever builds, the reader takes back
}

TEST(CcartTest, DatabaseObjectLoadsAndRuns) {
  Cart c = FromText(orvelle_test::CartText(orvelle_test::SmallTrees()));
  orvelle_test::LoadedDb d("ccart.tpdb", {{"TPOBJ_CCART:DEFAULT", CartBytes(c.get())}});
  auto* loaded = static_cast<ccart*>(QLTP_tpdb_get_tpdata(d.db, "TPOBJ_CCART:DEFAULT"));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(CartBytes(loaded), CartBytes(c.get()));
  testing::internal::CaptureStdout();
  const char* r = QLTP_ccart_internal_test(loaded, "tat", 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: this function does not run ccart in the same way as pronunce!\n");
  EXPECT_STREQ(r, "t ey0 t");
}

TEST(CcartTest, MutatedBinaryFormsLoadOrAreRefusedWithoutHarm) {
  testing::internal::CaptureStdout();
  Cart c = FromText(orvelle_test::CartText(
      {{"a", {"ae1", "ey0"}, {{"n.name", "b", 0, 1}}}, {"b", {"b"}, {}}, {"0", {"1", "0"}, {{"name", "a", 0, 1}}}}));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(c);
  const std::string good = CartBytes(c.get());
  std::mt19937 rng(61);
  int loaded = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = good;
    for (int e = 0, edits = 1 + static_cast<int>(rng() % 3); e < edits; ++e) {
      size_t at = rng() % bytes.size();
      if (rng() % 4 == 0)
        bytes.erase(at, 1);
      else
        bytes[at] = static_cast<char>(rng() % 3 == 0 ? rng() : bytes[at] ^ (1 << (rng() % 8)));
      if (bytes.empty()) bytes = "x";
    }
    Cart m = Read(bytes);
    if (!m) continue;
    ++loaded;
    for (const char* w : {"ab", "ba", "aab", "0a"}) Phones(m.get(), w);
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace

namespace {

// Phones without stress digits, upper case, "AX" read as "AH".
std::string Unstressed(const std::string& phones) {
  std::string out;
  std::istringstream in(phones);
  for (std::string p; in >> p;) {
    while (!p.empty() && p.back() >= '0' && p.back() <= '9') p.pop_back();
    for (char& ch : p) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (p == "AX") p = "AH";
    out += (out.empty() ? "" : " ") + p;
  }
  return out;
}

TEST(CcartTest, CmuTreesGetManyCmuWordsRight) {
  const std::string text = orvelle_test::CmuCartText();
  ASSERT_FALSE(text.empty()) << orvelle_test::kCmuLtsRules << " is missing (festlex-cmu)";
  Cart c = FromText(text);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->h1, 3);
  EXPECT_EQ(c->scores, nullptr);
  const auto words = orvelle_test::CmuDictionary();
  ASSERT_GT(words.size(), 120000u) << orvelle_test::kCmuDict << " is missing (pocketsphinx-en-us)";
  int total = 0, right = 0;
  for (const auto& e : words) {
    if (e.word.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) continue;
    ++total;
    if (Unstressed(Phones(c.get(), e.word)) == e.pronunciations.front()) ++right;
  }
  ASSERT_GT(total, 100000);
  EXPECT_GE(right * 100, total * 35) << right << " of " << total;
  // A phone pair joined by "_" in the trees comes out as two phones.
  EXPECT_EQ(Unstressed(Phones(c.get(), "box")), "B AA K S");
}

}  // namespace
