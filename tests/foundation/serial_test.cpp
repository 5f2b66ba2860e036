#include "foundation/serial.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A temporary file holding the given bytes, positioned at its start.
File file_with(const Bytes& bytes) {
  File f(std::tmpfile());
  if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  if (f) std::rewind(f.get());
  return f;
}

Bytes bytes_of(const void* p, size_t n) {
  auto* b = static_cast<const unsigned char*>(p);
  return Bytes(b, b + n);
}

}  // namespace

TEST(ByteOrderTest, HostIsLittleEndian) {
  uint32_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  EXPECT_EQ(QLTP_littleendian(), first == 1 ? 1 : 0);
  EXPECT_EQ(QLTP_littleendian(), 1);
}

// ---- integers and doubles -------------------------------------------------------

TEST(SerialIntTest, WritesExactBytesInHostOrderOrSwapped) {
  int32_t v[2] = {1, -2};
  unsigned char out[12];
  std::memset(out, 0xAA, sizeof out);
  char* end = QLTP_int_write(v, out, 2, 0);
  EXPECT_EQ(end, reinterpret_cast<char*>(out) + 8);
  EXPECT_EQ(bytes_of(out, 9), (Bytes{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0xAA}));
  end = QLTP_int_write(v, out, 2, 1);
  EXPECT_EQ(bytes_of(out, 9), (Bytes{0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0xAA}));
  EXPECT_EQ(QLTP_int_write(v, out, 0, 1), reinterpret_cast<char*>(out));
  EXPECT_EQ(QLTP_int_write(v, out, -3, 1), reinterpret_cast<char*>(out));
  // The source is left untouched by a swapped write.
  EXPECT_EQ(v[0], 1);
}

TEST(SerialIntTest, ReadsBackWithAndWithoutSwap) {
  File f = file_with({0, 0, 0, 1, 0x78, 0x56, 0x34, 0x12});
  int32_t v[2] = {};
  EXPECT_EQ(QLTP_int_read(f.get(), v, 2, 1), 2);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], 0x78563412);
  std::rewind(f.get());
  EXPECT_EQ(QLTP_int_read(f.get(), v, 2, 0), 2);
  EXPECT_EQ(v[0], 0x01000000);
  EXPECT_EQ(v[1], 0x12345678);
}

TEST(SerialIntTest, ShortFileReportsItemsActuallyRead) {
  File f = file_with({1, 0, 0, 0, 2, 0});
  int32_t v[3] = {7, 7, 7};
  EXPECT_EQ(QLTP_int_read(f.get(), v, 3, 1), 1);
  EXPECT_EQ(v[0], 0x01000000);
  EXPECT_EQ(QLTP_int_read(nullptr, v, 3, 0), 0);
  EXPECT_EQ(QLTP_int_read(f.get(), nullptr, 3, 0), 0);
  EXPECT_EQ(QLTP_int_read(f.get(), v, 0, 0), 0);
}

TEST(SerialDoubleTest, WritesAndReadsEightByteFields) {
  double d[2] = {1.0, -2.5};
  unsigned char out[16];
  QLTP_double_write(d, out, 2, 0);
  EXPECT_EQ(bytes_of(out, 8), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  char* end = QLTP_double_write(d, out, 2, 1);
  EXPECT_EQ(end, reinterpret_cast<char*>(out) + 16);
  EXPECT_EQ(bytes_of(out, 8), (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes_of(out + 8, 8), (Bytes{0xC0, 0x04, 0, 0, 0, 0, 0, 0}));
  File f = file_with(bytes_of(out, 16));
  double back[2] = {};
  EXPECT_EQ(QLTP_double_read(f.get(), back, 2, 1), 2);
  EXPECT_EQ(back[0], 1.0);
  EXPECT_EQ(back[1], -2.5);
}

// ---- short strings ------------------------------------------------------------

TEST(SerialChar255Test, WritesLengthByteAndBytes) {
  unsigned char out[300];
  std::memset(out, 0xAA, sizeof out);
  char* end = QLTP_char255_write("abc", -1, out);
  EXPECT_EQ(end, reinterpret_cast<char*>(out) + 4);
  EXPECT_EQ(bytes_of(out, 5), (Bytes{3, 'a', 'b', 'c', 0xAA}));
  EXPECT_EQ(QLTP_char255_write_sz("abc", -1), 4);
  EXPECT_EQ(QLTP_char255_write_sz("abcdef", 2), 3);
  end = QLTP_char255_write("", -1, out);
  EXPECT_EQ(end, reinterpret_cast<char*>(out) + 1);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(QLTP_char255_write_sz(nullptr, 5), 1);
  EXPECT_EQ(QLTP_char255_write(nullptr, 5, out), reinterpret_cast<char*>(out) + 1);
  EXPECT_EQ(out[0], 0);
}

TEST(SerialChar255Test, LengthIsCappedAt255) {
  std::string s(300, 'x');
  std::vector<unsigned char> out(300, 0xAA);
  EXPECT_EQ(QLTP_char255_write_sz(s.c_str(), 300), 256);
  char* end = QLTP_char255_write(s.c_str(), 300, out.data());
  EXPECT_EQ(end, reinterpret_cast<char*>(out.data()) + 256);
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[255], 'x');
  EXPECT_EQ(out[256], 0xAA);
}

TEST(SerialChar255Test, ReadsWhatWasWritten) {
  unsigned char out[8];
  QLTP_char255_write("hey", 3, out);
  File f = file_with(bytes_of(out, 4));
  char buf[256];
  int n = -1;
  EXPECT_EQ(QLTP_char255_read(f.get(), buf, &n), 4);
  EXPECT_EQ(n, 3);
  EXPECT_STREQ(buf, "hey");
}

TEST(SerialChar255Test, TruncatedFileGivesShortCountAndTerminatedBuffer) {
  File f = file_with({10, 'a', 'b'});
  char buf[256];
  std::memset(buf, 'z', sizeof buf);
  int n = -1;
  EXPECT_EQ(QLTP_char255_read(f.get(), buf, &n), 3);  // not 1 + n
  EXPECT_EQ(n, 10);
  EXPECT_STREQ(buf, "ab");
  File empty = file_with({});
  EXPECT_EQ(QLTP_char255_read(empty.get(), buf, &n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(QLTP_char255_read(nullptr, buf, &n), 0);
}

// ---- variable-width fields ----------------------------------------------------

TEST(SerialWidthTest, NobytesChoosesSmallestWidth) {
  struct Case {
    int32_t v;
    int width;
  };
  const Case cases[] = {{0, 1},     {255, 1},   {256, 2},        {65535, 2},
                        {65536, 4}, {-1, 1},    {INT32_MAX, 4},  {INT32_MIN, 1}};
  for (const auto& c : cases) EXPECT_EQ(QLTP_nobytes(c.v), c.width) << c.v;
}

TEST(SerialWidthTest, WriteReadAndSwapFields) {
  unsigned char out[8];
  std::memset(out, 0xAA, sizeof out);
  char* p = QLTP_write_bytes(out, 0x1234, 2);
  EXPECT_EQ(p, reinterpret_cast<char*>(out) + 2);
  EXPECT_EQ(bytes_of(out, 3), (Bytes{0x34, 0x12, 0xAA}));
  EXPECT_EQ(QLTP_read_bytes(out, 2), 0x1234u);
  p = QLTP_write_bytes(out, 0xDEADBEEF, 4);
  EXPECT_EQ(bytes_of(out, 4), (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
  EXPECT_EQ(QLTP_read_bytes(out, 4), 0xDEADBEEFu);
  QLTP_write_bytes(out, 0x1FF, 1);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(QLTP_read_bytes(out, 1), 0xFFu);
  std::memset(out, 0xAA, sizeof out);
  EXPECT_EQ(QLTP_write_bytes(out, 5, 3), nullptr);
  EXPECT_EQ(bytes_of(out, 4), (Bytes{0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(QLTP_read_bytes(out, 3), 0u);

  unsigned char w[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(QLTP_swap_bytes(w, 4), reinterpret_cast<char*>(w) + 4);
  EXPECT_EQ(bytes_of(w, 8), (Bytes{4, 3, 2, 1, 5, 6, 7, 8}));
  QLTP_swap_bytes(w, 8);
  EXPECT_EQ(bytes_of(w, 8), (Bytes{8, 7, 6, 5, 1, 2, 3, 4}));
  QLTP_swap_bytes(w, 2);
  EXPECT_EQ(bytes_of(w, 2), (Bytes{7, 8}));
  EXPECT_EQ(QLTP_swap_bytes(w, 1), reinterpret_cast<char*>(w) + 1);
  EXPECT_EQ(w[0], 7);
  EXPECT_EQ(QLTP_swap_bytes(w, 3), nullptr);
  EXPECT_EQ(bytes_of(w, 3), (Bytes{7, 8, 6}));
}

// ---- files and lines -----------------------------------------------------------

TEST(SerialFileTest, FgetsReadsOneLineAndRewindsToTheNext) {
  File f = file_with({'a', 'b', '\n', 'c', 'd', 'e', 'f'});
  char buf[10];
  EXPECT_EQ(QLTP_fgets(buf, 10, f.get()), buf);
  EXPECT_STREQ(buf, "ab\n");
  EXPECT_EQ(std::fgetc(f.get()), 'c');
  EXPECT_EQ(QLTP_fgets(buf, 10, f.get()), buf);
  EXPECT_STREQ(buf, "def");
  // At the end of the file the buffer comes back empty.
  EXPECT_EQ(QLTP_fgets(buf, 10, f.get()), buf);
  EXPECT_STREQ(buf, "");
}

TEST(SerialFileTest, FgetsCutsLongLinesAtTheBuffer) {
  File f = file_with({'1', '2', '3', '4', '5', '\n', 'x'});
  char buf[4];
  EXPECT_EQ(QLTP_fgets(buf, 4, f.get()), buf);
  EXPECT_STREQ(buf, "123");
  EXPECT_EQ(QLTP_fgets(buf, 4, f.get()), buf);
  EXPECT_STREQ(buf, "45\n");
  EXPECT_EQ(QLTP_fgets(buf, 4, f.get()), buf);
  EXPECT_STREQ(buf, "x");
  // A buffer with room for the NUL only reads nothing; one without room is
  // left alone.
  std::rewind(f.get());
  EXPECT_EQ(QLTP_fgets(buf, 1, f.get()), buf);
  EXPECT_STREQ(buf, "");
  buf[0] = 'z';
  EXPECT_EQ(QLTP_fgets(buf, 0, f.get()), buf);
  EXPECT_EQ(buf[0], 'z');
  EXPECT_EQ(std::fgetc(f.get()), '1');
  EXPECT_EQ(QLTP_fgets(buf, 4, nullptr), nullptr);
  EXPECT_EQ(QLTP_fgets(nullptr, 4, f.get()), nullptr);
}

TEST(SerialFileTest, FilesizeLeavesFileAtStart) {
  File f = file_with({1, 2, 3, 4, 5});
  std::fgetc(f.get());
  EXPECT_EQ(QLTP_filesize(f.get()), 5);
  EXPECT_EQ(std::fgetc(f.get()), 1);
  EXPECT_EQ(QLTP_filesize(nullptr), 0);
  unsigned char buf[5];
  std::rewind(f.get());
  EXPECT_EQ(QLTP_fread(buf, 1, 5, f.get()), 5u);
  EXPECT_EQ(QLTP_fread(buf, 1, 5, nullptr), 0u);
}

TEST(SerialFileTest, FileexistsOpensForReading) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("serial_exists.bin");
  std::remove(path.c_str());
  EXPECT_EQ(QLTP_fileexists(path.c_str()), 0);
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(QLTP_fileexists(path.c_str()), 1);
  std::remove(path.c_str());
  EXPECT_EQ(QLTP_fileexists(nullptr), 0);
}

// ---- date, buffers, version ----------------------------------------------------

TEST(SerialDateTest, FormatsLocalTimeAndCuts) {
  char full[15];
  ASSERT_EQ(QLTP_date(full, sizeof full), 14);
  EXPECT_EQ(std::strlen(full), 14u);
  for (int i = 0; i < 14; ++i) EXPECT_TRUE(full[i] >= '0' && full[i] <= '9') << full;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(std::stoi(std::string(full, 4)), local.tm_year + 1900);
  char day[9];
  std::memset(day, 'x', sizeof day);
  EXPECT_EQ(QLTP_date(day, 9), 14);
  EXPECT_EQ(std::strlen(day), 8u);
  EXPECT_EQ(std::string(day), std::string(full, 8));
  EXPECT_EQ(QLTP_date(nullptr, 9), 0);
  EXPECT_EQ(QLTP_date(day, 0), 0);
}

TEST(FixedbufTest, OwnsZeroFilledOrCopiedBytes) {
  QLTP_fixedbuf* b = QLTP_fixedbuf_new(16);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->size, 16u);
  for (uint32_t i = 0; i < b->size; ++i) EXPECT_EQ(QLTP_fixedbuf_get(b)[i], 0);
  QLTP_fixedbuf_delete(b);
  QLTP_fixedbuf* c = QLTP_fixedbuf_frombytes("abc", 3);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->size, 3u);
  EXPECT_EQ(std::string(QLTP_fixedbuf_get(c), 3), "abc");
  QLTP_fixedbuf_delete(c);
  EXPECT_EQ(QLTP_fixedbuf_frombytes(nullptr, 3), nullptr);
  QLTP_fixedbuf* e = QLTP_fixedbuf_frombytes(nullptr, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, 0u);
  QLTP_fixedbuf_delete(e);
  EXPECT_EQ(QLTP_fixedbuf_get(nullptr), nullptr);
  QLTP_fixedbuf_delete(nullptr);
}

TEST(VersionTest, ComparesMajorMinorRevision) {
  EXPECT_EQ(QLTP_major_version(), 5u);
  EXPECT_EQ(QLTP_minor_version(), 0u);
  EXPECT_EQ(QLTP_revision_number(), 1u);
  EXPECT_STREQ(QLTP_MAJOR_VERSION_STR, "MAJOR_VERSION");
  EXPECT_STREQ(QLTP_MINOR_VERSION_STR, "MINOR_VERSION");
  EXPECT_STREQ(QLTP_REVISION_NUMBER_STR, "REVISION_NUMBER");
  struct Case {
    uint32_t a[3];
    uint32_t b[3];
    int result;
  };
  const Case cases[] = {
      {{5, 0, 1}, {5, 0, 1}, 0},  {{4, 9, 9}, {5, 0, 0}, -3}, {{5, 1, 0}, {5, 0, 7}, 2},
      {{5, 0, 0}, {5, 0, 1}, -1}, {{5, 0, 2}, {5, 0, 1}, 1},  {{5, 0, 9}, {5, 1, 0}, -2},
      // Parts compare unsigned.
      {{0xFFFFFFFF, 0, 0}, {5, 0, 0}, 3},
  };
  for (const auto& c : cases)
    EXPECT_EQ(QLTP_vercmp(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.result);
  EXPECT_EQ(QLTP_vercmpcur(5, 0, 0), -1);
  EXPECT_EQ(QLTP_vercmpcur(6, 0, 0), 3);
  EXPECT_EQ(QLTP_vercmpcur(5, 0, 1), 0);
}

TEST(VersionTest, VerAtoiReadsPositiveParts) {
  uint32_t a = 9, b = 9, c = 9;
  QLTP_ver_atoi("5", "12", "3", &a, &b, &c);
  EXPECT_EQ(a, 5u);
  EXPECT_EQ(b, 12u);
  EXPECT_EQ(c, 3u);
  QLTP_ver_atoi(nullptr, "-4", "x", &a, &b, &c);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(c, 0u);
}

TEST(SerialRandomInputTest, Char255ReaderOnRandomFilesStaysInBuffer) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> len(0, 300);
  for (int k = 0; k < 300; ++k) {
    Bytes b(static_cast<size_t>(len(rng)));
    for (auto& x : b) x = static_cast<unsigned char>(any(rng));
    File f = file_with(b);
    auto buf = std::make_unique<char[]>(256);  // exactly the documented size
    int total = 0;
    for (;;) {
      int n = -1;
      int got = QLTP_char255_read(f.get(), buf.get(), &n);
      if (got == 0) break;
      EXPECT_LE(got, 1 + n);
      EXPECT_LE(std::strlen(buf.get()), static_cast<size_t>(n));
      total += got;
      if (got < 1 + n) break;
    }
    EXPECT_LE(total, static_cast<int>(b.size()));
  }
}
