#include "linguistics/pbreak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/serial.h"
#include "cpu_time.h"
#include "test_db.h"

namespace {

using orvelle_test::DbObject;
using orvelle_test::LoadedDb;
using orvelle_test::ScratchDir;
using orvelle_test::WriteTestDb;

const char kBreaks[] =
    "# key level_post time_post level_pre time_pre\n"
    "DEFAULT 1 0.0005 0 0\n"
    "newline 2 0.3 2 0.3\n"
    "newlineX2 4 0.6 3 0.5\n"
    "? 4 0.4 0 0\n"
    "! 3 0.5 0 0.05\n"
    "?! 2 0.7 1 0\n"
    "( 0 0 2 0.25\n"
    "\" 1 0 1 0.1\n"
    "x\n"
    "short 1 2 3\n"
    "strong 3 1.2345 3 1.2345\n"
    "medium 1 1 1 1\n"
    "medium 2 0.2 2 0.2\n";

struct Pbreak {
  pbreak* t;
  explicit Pbreak(pbreak* table) : t(table) {}
  ~Pbreak() { QLTP_pbreak_delete(t); }
};
struct Prules {
  prules* t;
  explicit Prules(prules* table) : t(table) {}
  ~Prules() { QLTP_prules_delete(t); }
};

// Level and time of a key in the pre or post columns, or {-1, -1} when absent.
std::pair<int32_t, int32_t> Break(const pbreak* t, const std::string& key, int pre) {
  int32_t level = -1, time = -1;
  if (!QLTP_prules_get_break(t, key.data(), static_cast<int>(key.size()), pre, -1, -1, &level, &time)) return {-1, -1};
  return {level, time};
}

// What the break table of kBreaks must answer, pre and post.
struct Expected {
  std::string key;
  int32_t level_post, time_post, level_pre, time_pre;
};
const std::vector<Expected> kExpected = {
    {"DEFAULT", 1, 0, 0, 0},       {"newline", 2, 300, 2, 300}, {"\n", 2, 300, 2, 300},
    {"newlineX2", 4, 600, 3, 500}, {"\n\n", 4, 600, 3, 500},    {"?", 4, 400, 0, 0},
    {"!", 3, 500, 0, 50},          {"?!", 2, 700, 1, 0},        {"(", 0, 0, 2, 250},
    {"\"", 1, 0, 1, 100},          {"strong", 3, 1234, 3, 1234}, {"medium", 2, 200, 2, 200},
};

void ExpectBreaks(const pbreak* t) {
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(QLTP_dict_size(t->keys), static_cast<int>(kExpected.size()));
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.key);
    EXPECT_EQ(Break(t, e.key, 0), std::make_pair(e.level_post, e.time_post));
    EXPECT_EQ(Break(t, e.key, 1), std::make_pair(e.level_pre, e.time_pre));
  }
  for (const char* absent : {"x", "short", "#", "FORCED", ""}) EXPECT_EQ(Break(t, absent, 0).first, -1) << absent;
}

// The image the kind's writer gives, never swapped.
std::string Image(const char* kind, void* object) { return orvelle_test::KindImage(std::string(kind) + ":X", object, false); }

TEST(PbreakTest, ReadsBreakTableTextWithControlKeysAndFixedPointTimes) {
  ScratchDir dir;
  Pbreak table(QLTP_deserialise_pbreak(kBreaks));
  ExpectBreaks(table.t);

  // A key absent: 0, the given values stay; a key present never lowers them.
  int32_t level = 7, time = 9;
  EXPECT_EQ(QLTP_prules_get_break(table.t, "FORCED", -1, 0, 7, 9, &level, &time), 0);
  EXPECT_EQ(std::make_pair(level, time), std::make_pair(7, 9));
  EXPECT_EQ(QLTP_prules_get_break(table.t, "?", -1, 0, 5, 100, &level, &time), 1);
  EXPECT_EQ(std::make_pair(level, time), std::make_pair(5, 400));

  std::string path = dir.Path("breaks.txt");
  orvelle_test::WriteFile(path, kBreaks);
  Pbreak from_file(QLTP_pbreak_readtxt(path.c_str()));
  EXPECT_EQ(Image("TPOBJ_PBREAK", from_file.t), Image("TPOBJ_PBREAK", table.t));
  std::remove(path.c_str());

  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_pbreak_readtxt(path.c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file: " + path + "\n");
}

TEST(PbreakTest, PunctuationMaximaTakeEveryKeyInsideEitherPunctuation) {
  Pbreak table(QLTP_deserialise_pbreak(kBreaks));
  struct Case {
    const char* post;
    const char* pre;
    int32_t level, time;  // starting values
    int found;
    int32_t want_level, want_time;
  };
  const Case cases[] = {
      {"?!", "", 0, 0, 1, 4, 700},       // "?", "!" and "?!" all count
      {"", "(\"", 0, 0, 1, 2, 250},      // pre columns for the next word
      {"!", "(", 0, 0, 1, 3, 500},       // both sides
      {"...", "", 2, 30, 0, 2, 30},      // nothing known: starting values
      {"a?b", nullptr, 5, 900, 1, 5, 900},  // maxima never lower the start
      {"\n", "", 0, 0, 1, 2, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.post) + "|" + (c.pre ? c.pre : "NULL"));
    int32_t level = c.level, time = c.time;
    EXPECT_EQ(QLTP_prules_punc_break(table.t, c.post, c.pre, &level, &time), c.found);
    EXPECT_EQ(std::make_pair(level, time), std::make_pair(c.want_level, c.want_time));
  }
}

// Trying only substrings up to the longest key gives what trying every
// substring gives, on random punctuation runs; a long run stays quick.
TEST(PbreakTest, PunctuationMaximaMatchEverySubstringWalk) {
  Pbreak table(QLTP_deserialise_pbreak(kBreaks));
  std::mt19937 rng(61220);
  const std::string alphabet = "?!(\".\n,";
  for (int round = 0; round < 300; ++round) {
    std::string post, pre;
    for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i) post += alphabet[rng() % alphabet.size()];
    for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) pre += alphabet[rng() % alphabet.size()];
    int32_t want_level = 0, want_time = 0;
    bool any = false;
    for (auto [text, side] : {std::make_pair(pre, 1), std::make_pair(post, 0)})
      for (size_t start = 0; start < text.size(); ++start)
        for (size_t len = 1; start + len <= text.size(); ++len) {
          auto [l, t] = Break(table.t, text.substr(start, len), side);
          if (l < 0) continue;
          any = true;
          want_level = std::max(want_level, l);
          want_time = std::max(want_time, t);
        }
    int32_t level = 0, time = 0;
    ASSERT_EQ(QLTP_prules_punc_break(table.t, post.c_str(), pre.c_str(), &level, &time), any ? 1 : 0) << post;
    ASSERT_EQ(std::make_pair(level, time), std::make_pair(want_level, want_time)) << post << "|" << pre;
  }

  std::string run(4000, '!');
  int32_t level = 0, time = 0;
  EXPECT_EQ(QLTP_prules_punc_break(table.t, run.c_str(), "", &level, &time), 1);
  EXPECT_EQ(std::make_pair(level, time), std::make_pair(3, 500));
  // Eight times the run, at most about eight times the time.
  auto breaks = [&](size_t length) {
    for (int i = 0; i < 20; ++i) QLTP_prules_punc_break(table.t, run.c_str() + run.size() - length, "", &level, &time);
  };
  const double ratio = orvelle_test::CpuTimeRatio([&] { breaks(500); }, [&] { breaks(4000); });
  EXPECT_LT(ratio, 24.0) << "4,000 '!' took " << ratio << " times the CPU time of 500";
}

TEST(PbreakTest, ReadsPairWeightsWithLaterDuplicatesWinning) {
  Prules table(QLTP_deserialise_prules(
      "# pairs\n"
      "nn_vb 0.75\n"
      "dt_nn 1\n"
      "jj_nn 2.5\n"
      "nn_vb 1.25\n"
      "lonely\n"
      "x 3\n"  // a one-character weight is taken
      "in_dt 0.0009\n"));
  ASSERT_NE(table.t, nullptr);
  const std::pair<const char*, int32_t> cases[] = {{"nn_vb", 1250}, {"dt_nn", 1000}, {"jj_nn", 2500},
                                                   {"in_dt", 0},    {"lonely", 0},    {"x", 3000},
                                                   {"absent", 0}};
  for (auto [key, weight] : cases) EXPECT_EQ(QLTP_prules_get_prule(table.t, key), weight) << key;
  EXPECT_EQ(QLTP_dict_size(table.t->keys), 5);
  EXPECT_EQ(QLTP_intarray_sz(table.t->weights), 5);
  EXPECT_EQ(QLTP_prules_get_prule(nullptr, "nn_vb"), 0);
}

// write -> database (both byte orders) -> load -> write gives the same bytes,
// and the loaded tables answer as the text ones do.
TEST(PbreakTest, TablesRoundTripThroughDatabasesOfBothByteOrders) {
  ScratchDir dir;
  Pbreak breaks(QLTP_deserialise_pbreak(kBreaks));
  Prules pairs(QLTP_deserialise_prules("nn_vb 0.75\ndt_nn 1\n"));
  std::string break_image = Image("TPOBJ_PBREAK", breaks.t), pair_image = Image("TPOBJ_PRULES", pairs.t);
  ASSERT_FALSE(break_image.empty());
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    std::string path = dir.Path("round.tpdb");
    WriteTestDb(path, {{"TPOBJ_PBREAK:DEFAULT", breaks.t}, {"TPOBJ_PRULES:DEFAULT", pairs.t}}, swapped);
    LoadedDb db(path);
    ASSERT_TRUE(db.loaded());
    auto* b = db.Get<pbreak>("TPOBJ_PBREAK:DEFAULT");
    auto* p = db.Get<prules>("TPOBJ_PRULES:DEFAULT");
    ExpectBreaks(b);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(QLTP_prules_get_prule(p, "nn_vb"), 750);
    EXPECT_EQ(Image("TPOBJ_PBREAK", b), break_image);
    EXPECT_EQ(Image("TPOBJ_PRULES", p), pair_image);
    int32_t level = 0, time = 0;
    EXPECT_EQ(QLTP_prules_punc_break(b, "?!", "", &level, &time), 1);
    EXPECT_EQ(std::make_pair(level, time), std::make_pair(4, 700));
    std::remove(path.c_str());
  }

  // The single-object files of the host's byte order.
  std::string path = dir.Path("breaks.bin");
  auto [written, file_image] = orvelle_test::WriterImage(breaks.t, QLTPPy_pbreak_write);
  ASSERT_EQ(written, 1);
  orvelle_test::WriteFile(path, file_image);
  Pbreak loaded(QLTPPy_pbreak_load(path.c_str()));
  ExpectBreaks(loaded.t);
  std::remove(path.c_str());
}

TEST(PbreakTest, CorruptStoredTablesAreRefusedWithCode13) {
  ScratchDir dir;
  Pbreak breaks(QLTP_deserialise_pbreak(kBreaks));
  Prules pairs(QLTP_deserialise_prules("nn_vb 0.75\ndt_nn 1\n"));
  std::string good = Image("TPOBJ_PBREAK", breaks.t);
  Pbreak short_column(QLTP_pbreak_copy(breaks.t));
  QLTP_intarray_remove_item(short_column.t->level_post, 0);
  Prules short_weights(QLTP_deserialise_prules("nn_vb 0.75\ndt_nn 1\n"));
  QLTP_intarray_remove_item(short_weights.t->weights, 1);

  std::string path = dir.Path("corrupt.tpdb");
  WriteTestDb(path, {{"TPOBJ_PBREAK:SHORT", short_column.t},
                     {"TPOBJ_PRULES:SHORT", short_weights.t},
                     {"TPOBJ_PBREAK:TRAILING", nullptr, good + "x"},
                     {"TPOBJ_PBREAK:CUT", nullptr, good.substr(0, good.size() - 2)},
                     {"TPOBJ_PBREAK:DEFAULT", breaks.t}});
  LoadedDb db(path);
  ASSERT_TRUE(db.loaded());
  for (const char* name : {"TPOBJ_PBREAK:SHORT", "TPOBJ_PRULES:SHORT", "TPOBJ_PBREAK:TRAILING", "TPOBJ_PBREAK:CUT"})
    EXPECT_EQ(db.Get<void>(name), nullptr) << name;
  EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_PBREAK"));
  EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_PRULES"));
  ExpectBreaks(db.Get<pbreak>("TPOBJ_PBREAK:DEFAULT"));
  std::remove(path.c_str());
}

// A stored table is shared: merging a file goes into a copy, which takes new
// keys; the stored table itself keeps its values.
TEST(PbreakTest, MergingFilesIntoCopiesLeavesTheOriginalAlone) {
  ScratchDir dir;
  Pbreak original(QLTP_deserialise_pbreak(kBreaks));
  std::string path = dir.Path("more.txt");
  orvelle_test::WriteFile(path, "? 1 0.1 1 0.1\nFORCED 4 0.9 0 0\n");

  std::string stored = dir.Path("shared.tpdb");
  WriteTestDb(stored, {{"TPOBJ_PBREAK:DEFAULT", original.t}});
  LoadedDb db(stored);
  const pbreak* shared = db.Get<pbreak>("TPOBJ_PBREAK:DEFAULT");
  ASSERT_NE(shared, nullptr);
  std::string shared_image = Image("TPOBJ_PBREAK", const_cast<pbreak*>(shared));

  pbreak* copy = QLTP_pbreak_copy(shared);
  ASSERT_EQ(QLTP_pbreak_add_rules(copy, path.c_str()), copy);
  EXPECT_EQ(Break(copy, "?", 0), std::make_pair(1, 100));
  EXPECT_EQ(Break(copy, "FORCED", 0), std::make_pair(4, 900));
  EXPECT_EQ(Break(copy, "strong", 1), std::make_pair(3, 1234));
  int32_t level = 0, time = 0;
  EXPECT_EQ(QLTP_prules_punc_break(copy, "?!", "", &level, &time), 1);
  EXPECT_EQ(std::make_pair(level, time), std::make_pair(3, 700));
  EXPECT_EQ(Image("TPOBJ_PBREAK", const_cast<pbreak*>(shared)), shared_image);
  QLTP_pbreak_delete(copy);

  // NULL: a new table; a missing file: the given table back.
  Pbreak fresh(QLTP_pbreak_add_rules(nullptr, path.c_str()));
  EXPECT_EQ(QLTP_dict_size(fresh.t->keys), 2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_pbreak_add_rules(fresh.t, "/nonexistent/breaks.txt"), fresh.t);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file: /nonexistent/breaks.txt\n");
  std::remove(path.c_str());
  std::remove(stored.c_str());
}

// Mutated images and random text: the readers never crash, and what they
// accept holds one value per key and writes back to an image it reads again.
TEST(PbreakTest, RandomImagesAndTextNeverBreakTheReaders) {
  Pbreak breaks(QLTP_deserialise_pbreak(kBreaks));
  Prules pairs(QLTP_deserialise_prules("nn_vb 0.75\ndt_nn 1\nin_dt 2\n"));
  const std::string seeds[] = {Image("TPOBJ_PBREAK", breaks.t), Image("TPOBJ_PRULES", pairs.t)};
  std::mt19937 rng(6122);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    int kind = round % 2;
    std::string bytes = seeds[kind];
    orvelle_test::MutateImage(bytes, rng);
    FILE* f = fmemopen(bytes.data(), bytes.size() ? bytes.size() : 1, "rb");
    ASSERT_NE(f, nullptr);
    int swap = static_cast<int>(rng() % 2);
    if (kind == 0) {
      Pbreak t(QLTP_pbreak_load(f, swap));
      if (t.t) {
        ++accepted;
        int n = QLTP_dict_size(t.t->keys);
        for (intarray* c : {t.t->level_pre, t.t->level_post, t.t->time_pre, t.t->time_post})
          ASSERT_EQ(QLTP_intarray_sz(c), n);
        int32_t level = 0, time = 0;
        QLTP_prules_punc_break(t.t, "?!.,", "(\"", &level, &time);
      }
    } else {
      Prules t(QLTP_prules_load(f, swap));
      if (t.t) {
        ++accepted;
        ASSERT_EQ(QLTP_intarray_sz(t.t->weights), QLTP_dict_size(t.t->keys));
        QLTP_prules_get_prule(t.t, "nn_vb");
      }
    }
    std::fclose(f);

    std::string text;
    for (int i = 0, n = static_cast<int>(rng() % 80); i < n; ++i) text += "?! \n\t#.0123456789aXnewline_"[rng() % 26];
    Pbreak t(QLTP_deserialise_pbreak(text.c_str()));
    ASSERT_NE(t.t, nullptr);
    for (intarray* c : {t.t->level_pre, t.t->level_post, t.t->time_pre, t.t->time_post})
      ASSERT_EQ(QLTP_intarray_sz(c), QLTP_dict_size(t.t->keys)) << text;
    Prules p(QLTP_deserialise_prules(text.c_str()));
    ASSERT_EQ(QLTP_intarray_sz(p.t->weights), QLTP_dict_size(p.t->keys)) << text;
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
