#include "foundation/strmap.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/serial.h"

namespace {

using orvelle_test::ScratchDir;

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string Serialise(const hashstrarray* m, int swap) {
  std::string out(QLTP_hashstrarray_write_sz(m), '\0');
  char* end = QLTP_hashstrarray_write(m, out.data(), swap);
  EXPECT_EQ(end, out.data() + out.size());
  return out;
}

std::string Int32(uint32_t v, bool swap = false) {
  if (swap) v = __builtin_bswap32(v);
  return std::string(reinterpret_cast<const char*>(&v), 4);
}

hashstrarray* ReadBytes(const std::string& bytes, int swap, int* result = nullptr) {
  ScratchDir dir;
  std::string path = dir.Path("strmap_read.bin");
  WriteFile(path, bytes);
  FILE* f = std::fopen(path.c_str(), "rb");
  hashstrarray* m = nullptr;
  int r = QLTP_hashstrarray_read(f, &m, swap);
  std::fclose(f);
  if (result) *result = r;
  return m;
}

TEST(Str2strTest, LastPairWinsAndKeysMatchExactly) {
  str2str* m = QLTP_strarray_new();
  ASSERT_EQ(QLTP_str2str_add(m, "a", -1, "1", -1), 1);
  ASSERT_EQ(QLTP_str2str_add(m, "a", 1, "2xx", 1), 1);
  ASSERT_EQ(QLTP_str2str_add(m, "abc", -1, "3", -1), 1);
  EXPECT_STREQ(QLTP_str2str_lookup(m, "a", -1), "2");
  EXPECT_EQ(QLTP_str2str_nrkeys(m), 3);
  EXPECT_EQ(QLTP_str2str_lookup(m, "ab", -1), nullptr);
  EXPECT_STREQ(QLTP_str2str_lookup(m, "abcdef", 3), "3");
  EXPECT_STREQ(QLTP_str2str_key(m, 2), "abc");
  EXPECT_STREQ(QLTP_str2str_val(m, 0), "1");
  EXPECT_EQ(QLTP_str2str_val(m, 3), nullptr);
  EXPECT_EQ(QLTP_str2str_key(m, -1), nullptr);

  EXPECT_EQ(QLTP_str2str_replace_val(m, "a", -1, "new", 2), 1);
  EXPECT_STREQ(QLTP_str2str_lookup(m, "a", -1), "ne");
  EXPECT_STREQ(QLTP_str2str_val(m, 0), "1");  // only the last pair changes
  EXPECT_EQ(QLTP_str2str_replace_val(m, "zz", -1, "v", -1), 0);
  QLTP_strarray_delete(m);
}

TEST(Str2strTest, NullAndShortMapsGiveNeutralResults) {
  EXPECT_EQ(QLTP_str2str_lookup(nullptr, "a", -1), nullptr);
  EXPECT_EQ(QLTP_str2str_nrkeys(nullptr), 0);
  EXPECT_EQ(QLTP_str2str_add(nullptr, "a", -1, "b", -1), 0);
  EXPECT_EQ(QLTP_str2str_replace_val(nullptr, "a", -1, "b", -1), 0);
  str2str* m = QLTP_strarray_new();
  QLTP_strarray_add(m, "lonely", -1);  // an odd element count
  EXPECT_EQ(QLTP_str2str_lookup(m, "lonely", -1), nullptr);
  EXPECT_EQ(QLTP_str2str_key(m, 0), nullptr);
  EXPECT_EQ(QLTP_str2str_replace_val(m, "lonely", -1, "x", -1), 0);
  QLTP_strarray_delete(m);
}

TEST(HashstrarrayTest, AddReplacesExistingValues) {
  hashstrarray* m = QLTP_hashstrarray_new(4);
  EXPECT_EQ(QLTP_hashstrarray_add(m, "k", -1, "one", -1), 1);
  EXPECT_EQ(QLTP_hashstrarray_add(m, "k", -1, "two", -1), 0);
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "k", -1), "two");
  EXPECT_EQ(QLTP_hashstrarray_sz(m), 1);
  EXPECT_EQ(QLTP_hashstrarray_add(m, "long", 2, "value", 3), 1);
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "lo", 2), "val");
  EXPECT_STREQ(QLTP_hashstrarray_key(m, 1), "lo");
  EXPECT_STREQ(QLTP_hashstrarray_entry(m, 1), "val");
  EXPECT_EQ(QLTP_hashstrarray_key(m, 2), nullptr);
  EXPECT_EQ(QLTP_hashstrarray_entry(m, -1), nullptr);
  EXPECT_EQ(QLTP_hashstrarray_lookup(m, "missing", -1), nullptr);
  EXPECT_EQ(QLTP_hashstrarray_add(m, "", 0, "v", -1), 0);  // no empty keys
  EXPECT_EQ(QLTP_hashstrarray_sz(m), 2);
  EXPECT_EQ(QLTP_hashstrarray_add(nullptr, "k", -1, "v", -1), 0);
  EXPECT_EQ(QLTP_hashstrarray_lookup(nullptr, "k", -1), nullptr);
  QLTP_hashstrarray_delete(m);
  QLTP_hashstrarray_delete(nullptr);
}

TEST(HashstrarrayTest, FileFormIsTheCompactDictionaryThenTheValues) {
  hashstrarray* m = QLTP_hashstrarray_new(2);
  QLTP_hashstrarray_add(m, "a", -1, "1", -1);
  QLTP_hashstrarray_add(m, "b", -1, "22", -1);
  // Dictionary: 2 words, id width 1, offsets width 1, 4 buckets (hint 3),
  // 18 block bytes; then the values: count 2, 5 bytes, "1", "22".
  ASSERT_EQ(QLTP_hashstrarray_write_sz(m), 24u + 18u + 8u + 5u);
  std::string plain = Serialise(m, 0);
  EXPECT_EQ(plain.substr(0, 24), Int32(2) + Int32(1) + Int32(1) + Int32(1) + Int32(4) + Int32(18));
  EXPECT_EQ(plain.substr(42), Int32(2) + Int32(5) + std::string("1\0" "22\0", 5));
  std::string swapped = Serialise(m, 1);
  EXPECT_EQ(swapped.substr(0, 8), Int32(2, true) + Int32(1, true));
  EXPECT_EQ(swapped.substr(42), Int32(2, true) + Int32(5, true) + std::string("1\0" "22\0", 5));
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, WrittenMapReadsBackReadOnly) {
  hashstrarray* m = QLTP_hashstrarray_new(0);
  for (int i = 0; i < 300; ++i)
    QLTP_hashstrarray_add(m, ("key" + std::to_string(i)).c_str(), -1,
                          ("v\xC3\xA9" + std::to_string(i * 7)).c_str(), -1);
  for (int swap = 0; swap < 2; ++swap) {
    int result = 0;
    std::string bytes = Serialise(m, swap);
    hashstrarray* r = ReadBytes(bytes, swap, &result);
    ASSERT_NE(r, nullptr);
    EXPECT_GT(result, 0);
    EXPECT_EQ(QLTP_hashstrarray_sz(r), 300);
    for (int i = 0; i < 300; ++i)
      EXPECT_STREQ(QLTP_hashstrarray_lookup(r, ("key" + std::to_string(i)).c_str(), -1),
                   ("v\xC3\xA9" + std::to_string(i * 7)).c_str());
    EXPECT_STREQ(QLTP_hashstrarray_key(r, 5), "key5");
    EXPECT_EQ(QLTP_hashstrarray_add(r, "new", -1, "x", -1), 0);
    EXPECT_EQ(QLTP_hashstrarray_add(r, "key1", -1, "changed", -1), 0);
    EXPECT_EQ(QLTP_hashstrarray_lookup(r, "new", -1), nullptr);
    EXPECT_STREQ(QLTP_hashstrarray_lookup(r, "key1", -1), "v\xC3\xA9" "7");
    EXPECT_EQ(Serialise(r, swap), bytes);  // a read map writes the same form
    QLTP_hashstrarray_delete(r);
  }
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, DamagedFilesGiveNullNeverOutOfBounds) {
  hashstrarray* m = QLTP_hashstrarray_new(3);
  QLTP_hashstrarray_add(m, "alpha", -1, "1", -1);
  QLTP_hashstrarray_add(m, "beta", -1, "2", -1);
  QLTP_hashstrarray_add(m, "gamma", -1, "3", -1);
  std::string good = Serialise(m, 0);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    int result = -1;
    EXPECT_EQ(ReadBytes(good.substr(0, cut), 0, &result), nullptr) << cut;
    EXPECT_EQ(result, 0) << cut;
  }
  // One key too many for the values.
  std::string mismatch = good;
  size_t values_at = good.size() - (8 + 6);
  std::memcpy(&mismatch[values_at], Int32(2).data(), 4);
  mismatch.replace(values_at + 4, 4, Int32(4));
  mismatch.resize(values_at + 8 + 4);
  EXPECT_EQ(ReadBytes(mismatch, 0), nullptr);
  // Random damage: whatever is accepted must be usable.
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
    hashstrarray* r = ReadBytes(bad, 0);
    for (int i = 0; i < QLTP_hashstrarray_sz(r); ++i) {
      const char* key = QLTP_hashstrarray_key(r, i);
      if (key) QLTP_hashstrarray_lookup(r, key, -1);
      QLTP_hashstrarray_entry(r, i);
    }
    QLTP_hashstrarray_delete(r);
  }
  hashstrarray* out = reinterpret_cast<hashstrarray*>(1);
  EXPECT_EQ(QLTP_hashstrarray_read(nullptr, &out, 0), 0);
  EXPECT_EQ(out, nullptr);
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, PyWriteChecksTheBufferAndLoadReadsAPath) {
  hashstrarray* m = QLTP_hashstrarray_new(2);
  QLTP_hashstrarray_add(m, "x", -1, "y", -1);
  int size = QLTPPy_hashstrarray_write(m, nullptr);
  ASSERT_EQ(static_cast<uint32_t>(size), QLTP_hashstrarray_write_sz(m));
  QLTP_fixedbuf* small = QLTP_fixedbuf_new(static_cast<uint32_t>(size - 1));
  EXPECT_EQ(QLTPPy_hashstrarray_write(m, small), 0);
  QLTP_fixedbuf_delete(small);
  QLTP_fixedbuf* buf = QLTP_fixedbuf_new(static_cast<uint32_t>(size));
  ASSERT_EQ(QLTPPy_hashstrarray_write(m, buf), 1);
  std::string bytes(QLTP_fixedbuf_get(buf), static_cast<size_t>(size));
  EXPECT_EQ(bytes, Serialise(m, 0));
  QLTP_fixedbuf_delete(buf);

  ScratchDir dir;
  std::string path = dir.Path("strmap_py.bin");
  WriteFile(path, bytes);
  hashstrarray* r = QLTPPy_hashstrarray_load(path.c_str());
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(QLTP_hashstrarray_lookup(r, "x", -1), "y");
  QLTP_hashstrarray_delete(r);
  EXPECT_EQ(QLTPPy_hashstrarray_load("/nonexistent/map.bin"), nullptr);
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, ReadtxtTakesTwoFieldsPerLineLaterLinesWin) {
  ScratchDir dir;
  std::string path = dir.Path("strmap.txt");
  WriteFile(path, "x 1\n# note\ny 2 extra\nx 3\nz\n");
  hashstrarray* m = QLTP_hashstrarray_readtxt(path.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "x", -1), "3");
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "y", -1), "2");
  EXPECT_EQ(QLTP_hashstrarray_lookup(m, "z", -1), nullptr);
  EXPECT_EQ(QLTP_hashstrarray_lookup(m, "#", -1), nullptr);
  EXPECT_EQ(QLTP_hashstrarray_sz(m), 2);
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, ReadtxtCommentAfterAnEmptyLineIsStillAComment) {
  ScratchDir dir;
  std::string path = dir.Path("strmap_blank.txt");
  // Only a '#' that begins its line starts a comment: an indented one is a key.
  WriteFile(path, "a 1\n\n# after blank\n\n\n#after two\r\n\r\n# after CRLF\n   # indented\n\t\r\nb\t2\r\n");
  hashstrarray* m = QLTP_hashstrarray_readtxt(path.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "#", -1), "indented");
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "a", -1), "1");
  EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "b", -1), "2");
  EXPECT_EQ(QLTP_hashstrarray_sz(m), 3);
  QLTP_hashstrarray_delete(m);
}

TEST(HashstrarrayTest, ReadtxtOfAMissingFilePrintsAndGivesNull) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_hashstrarray_readtxt("/nonexistent/abbrev.txt"), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Can't open file: /nonexistent/abbrev.txt\n");
  ScratchDir dir;
  std::string path = dir.Path("strmap_empty.txt");
  WriteFile(path, "");
  hashstrarray* m = QLTP_hashstrarray_readtxt(path.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(QLTP_hashstrarray_sz(m), 0);
  QLTP_hashstrarray_delete(m);
}

}  // namespace
