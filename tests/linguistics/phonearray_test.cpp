#include "linguistics/phonearray.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"

namespace {

struct Slot {
  std::string symbol;
  char stress;
  int syllable_end, pron_end, word_end;
  bool operator==(const Slot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Slot& s) {
  return os << "{" << s.symbol << " " << (s.stress ? s.stress : '-') << " " << s.syllable_end << s.pron_end
            << s.word_end << "}";
}

std::vector<Slot> Slots(const phonearray* a) {
  std::vector<Slot> out;
  for (int i = 0; i < QLTP_phonearray_sz(a); ++i) {
    const phone_slot* s = QLTP_phonearray_idx(a, i);
    out.push_back({QLTP_phonearray_symbol(a, s), static_cast<char>(s->stress), s->syllable_end, s->pron_end,
                   s->word_end});
  }
  return out;
}

struct Array {
  phonearray* a = QLTP_phonearray_new();
  ~Array() { QLTP_phonearray_delete(a); }
};

TEST(PhoneArrayTest, AddPronFillsSlotsAndMarksEnds) {
  struct Case {
    std::vector<std::string> prons;
    std::vector<Slot> want;
  };
  const Case cases[] = {
      {{"k a1 t"}, {{"k", 0, 0, 0, 0}, {"a", '1', 0, 0, 0}, {"t", 0, 0, 1, 1}}},
      {{"str1"}, {{"str", '1', 0, 1, 1}}},
      {{"ʃːa1"}, {{"ʃːa", '1', 0, 1, 1}}},
      // Whole names: neither cut to three bytes nor made equal.
      {{"abcd abce"}, {{"abcd", 0, 0, 0, 0}, {"abce", 0, 0, 1, 1}}},
      {{"a12"}, {{"a", '2', 0, 1, 1}}},
      {{"x7"}, {{"x7", 0, 0, 1, 1}}},
      {{"."}, {}},
      {{"+"}, {}},
      {{""}, {}},
      {{"k a1. t"}, {{"k", 0, 0, 0, 0}, {"a", '1', 1, 0, 0}, {"t", 0, 0, 1, 1}}},
      {{"k a+"}, {{"k", 0, 0, 0, 0}, {"a", 0, 0, 1, 0}}},
      {{"k a", "+t"}, {{"k", 0, 0, 0, 0}, {"a", 0, 0, 1, 0}, {"t", 0, 0, 1, 1}}},
      {{"k a", "."}, {{"k", 0, 0, 0, 0}, {"a", 0, 1, 1, 1}}},
      {{"  k   a  "}, {{"k", 0, 0, 0, 0}, {"a", 0, 0, 1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prons.front());
    Array arr;
    for (const std::string& p : c.prons) EXPECT_EQ(QLTP_phone_add_pron(arr.a, p.c_str()), 1);
    EXPECT_EQ(Slots(arr.a), c.want);
  }
}

TEST(PhoneArrayTest, GetPronWritesEachPronunciationAndTheNextStart) {
  Array arr;
  QLTP_phone_add_pron(arr.a, "k a1 t");
  QLTP_phone_add_pron(arr.a, "s o2");
  dystr* out = QLTP_dystr_new("stale", 5);
  EXPECT_EQ(QLTP_phone_get_pron(arr.a, 0, out), 3);
  EXPECT_STREQ(QLTP_dystr_cstr(out), "k_a1_t");
  EXPECT_EQ(QLTP_phone_get_pron(arr.a, 3, out), -1);
  EXPECT_STREQ(QLTP_dystr_cstr(out), "s_o2");
  for (int start : {-1, 5, 1000}) {
    QLTP_dystr_replace(out, "stale", -1);
    EXPECT_EQ(QLTP_phone_get_pron(arr.a, start, out), -1);
    EXPECT_STREQ(QLTP_dystr_cstr(out), "");
  }
  // Roles and syllables as syllabification marks them.
  QLTP_phonearray_idx(arr.a, 0)->role_change = 1;
  QLTP_phonearray_idx(arr.a, 1)->role_change = 1;
  QLTP_phonearray_idx(arr.a, 2)->syllable_end = 1;
  EXPECT_EQ(QLTP_phone_get_pron(arr.a, 0, out), 3);
  EXPECT_STREQ(QLTP_dystr_cstr(out), "k+a1+t|");
  QLTP_dystr_delete(out);
}

// Any pronunciation of plain phones comes back as its phones joined by '_',
// and re-adding that spron (with blanks) gives the same slots.
TEST(PhoneArrayTest, SpronRoundTripsRandomPronunciationsAndStorageIsKept) {
  const std::vector<std::string> names = {"a", "k", "aa", "str", "ʃ", "ʃːa", "tʃʰ", "abcd", "ŋ̊", "x"};
  std::mt19937 rng(19);
  Array arr;
  Array again;
  dystr* out = QLTP_dystr_new(nullptr, 0);
  const void* storage = arr.a->slots->storage;
  for (int round = 0; round < 200; ++round) {
    QLTP_phonearray_clear(arr.a);
    QLTP_phonearray_clear(again.a);
    std::vector<std::string> prons;
    for (int p = 1 + rng() % 40; p > 0; --p) {
      std::string pron;
      for (int n = 1 + rng() % 6; n > 0; --n) {
        if (!pron.empty()) pron += ' ';
        pron += names[rng() % names.size()];
        if (rng() % 3 == 0) pron += static_cast<char>('0' + rng() % 7);
      }
      prons.push_back(pron);
      QLTP_phone_add_pron(arr.a, pron.c_str());
    }
    int start = 0;
    for (size_t i = 0; i < prons.size(); ++i) {
      ASSERT_GE(start, 0);
      int next = QLTP_phone_get_pron(arr.a, start, out);
      std::string spron = QLTP_dystr_cstr(out);
      std::string expected = prons[i];
      for (char& c : expected) c = c == ' ' ? '_' : c;
      ASSERT_EQ(spron, expected);
      for (char& c : spron) c = c == '_' ? ' ' : c;
      QLTP_phone_add_pron(again.a, spron.c_str());
      start = next;
    }
    EXPECT_EQ(start, -1);
    ASSERT_EQ(Slots(again.a), Slots(arr.a));
  }
  EXPECT_EQ(arr.a->slots->storage, storage);
  QLTP_dystr_delete(out);
}

}  // namespace
