// The phoneme payload: name rule, writer layout, readers and malformed input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/packet.h"

namespace {

std::string Serialized(PhonemePacketData& payload) {
  unsigned char* data = payload.Data();
  return std::string(reinterpret_cast<const char*>(data), payload.size);
}

std::string be32(unsigned long v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A heap copy of exactly the payload's bytes, so that any read past them is
// caught by the address sanitizer.
std::unique_ptr<unsigned char[]> Exact(const std::string& bytes) {
  std::unique_ptr<unsigned char[]> out(new unsigned char[bytes.size() ? bytes.size() : 1]);
  std::memcpy(out.get(), bytes.data(), bytes.size());
  return out;
}

bool Read(const std::string& bytes, phoneme_data* record) {
  auto copy = Exact(bytes);
  bool ok = ReadPhonemeData(copy.get(), static_cast<unsigned>(bytes.size()), record);
  if (ok) {
    // Names point into the buffer; take them out before it goes.
    static std::string names[2];
    names[0] = record->phoneme;
    names[1] = record->next_phoneme;
    record->phoneme = names[0].data();
    record->next_phoneme = names[1].data();
  }
  return ok;
}

}  // namespace

TEST(PhonemeTest, NameRuleCutsNamesWhoseSecondToLastCharacterIsDigitOrBlank) {
  struct Case {
    const char* name;
    unsigned bytes;
    const char* written;
  } cases[] = {
      {"ae", 3, "ae"}, {"t", 2, "t"},     {"", 1, ""},       {"ax0q", 3, "ax"}, {"a1b", 2, "a"},
      {"a1", 3, "a1"}, {"ab c", 3, "ab"}, {"aa1", 4, "aa1"}, {"ow2x", 3, "ow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = c.name;
    unsigned char other[] = "t";
    PhonemePacketData payload(1, reinterpret_cast<unsigned char*>(name.data()), other, 2, 3, 4, 5, 6, 7, 8);
    EXPECT_EQ(payload.phoneme_length, c.bytes);
    EXPECT_EQ(payload.size, c.bytes + 2 + 46);
    std::string bytes = Serialized(payload);
    EXPECT_EQ(be32(c.bytes), bytes.substr(4, 4));
    EXPECT_EQ(bytes.substr(12, c.bytes), std::string(c.written) + '\0');
  }
}

TEST(PhonemeTest, WriterProducesTheWireLayout) {
  unsigned char ae[] = "ae";
  unsigned char t[] = "t";
  PhonemePacketData payload(640, ae, t, 16000, 11, 12, 1, 21, 22, 13);
  ASSERT_EQ(payload.size, 51u);
  std::string expected = be32(640) + be32(3) + be32(2) + std::string("ae\0t\0", 5) + be32(16000) + be32(11) +
                         be32(12) + be32(1) + be32(21) + be32(22) + be32(13) + std::string(6, '\0');
  EXPECT_EQ(Serialized(payload), expected);

  unsigned char next[] = "sh";
  payload.SetNextPhoneme(next);
  EXPECT_EQ(payload.size, 52u);
  EXPECT_EQ(Serialized(payload).substr(12, 6), std::string("ae\0sh\0", 6));
}

TEST(PhonemeTest, ReadersGiveBackEveryFieldTheWriterWrote) {
  unsigned char name[] = "ax0q";
  unsigned char next[] = "ng";
  PhonemePacketData written(1234, name, next, 22050, 1, 2, 3, 4, 5, 6);
  std::string bytes = Serialized(written);

  phoneme_data record;
  ASSERT_TRUE(Read(bytes, &record));
  EXPECT_STREQ(record.phoneme, "ax");
  EXPECT_STREQ(record.next_phoneme, "ng");
  EXPECT_EQ(record.phone_length_in_bytes, 1234u);
  EXPECT_EQ(record.sample_rate, 22050u);
  EXPECT_EQ(record.sapi_viseme, 1u);
  EXPECT_EQ(record.disney_viseme, 2u);
  EXPECT_EQ(record.stress, 3u);
  EXPECT_EQ(record.sapi_phoneid, 4u);
  EXPECT_EQ(record.next_sapi_phoneid, 5u);
  EXPECT_EQ(record.next_sapi_viseme, 6u);
  EXPECT_EQ(record.struct_size, sizeof(phoneme_data));

  // The reader without a length stops after the sample rate.
  auto copy = Exact(bytes);
  PhonemePacketData read;
  read.Deserialize(copy.get());
  EXPECT_STREQ(reinterpret_cast<char*>(read.phoneme), "ax");
  EXPECT_EQ(read.sample_rate, 22050u);
  EXPECT_EQ(read.sapi_viseme, 0u);
  EXPECT_EQ(read.next_sapi_viseme, 0u);
}

TEST(PhonemeTest, RecordSizeIsTheRealSizeOnThisPlatform) {
  static_assert(sizeof(phoneme_data) >= 44);
  EXPECT_EQ(sizeof(phoneme_data), sizeof(void*) == 4 ? 44u : 56u);
}

TEST(PhonemeTest, ShortPayloadsGiveZerosForEveryMissingField) {
  unsigned char ae[] = "ae";
  unsigned char t[] = "t";
  PhonemePacketData written(640, ae, t, 16000, 1, 2, 3, 4, 5, 6);
  const std::string full = Serialized(written);
  const std::size_t e = 12 + 3 + 2;
  struct Case {
    std::size_t length;
    unsigned present;  // optional fields read
  } cases[] = {{e + 4, 0}, {e + 6, 0}, {e + 8, 1}, {e + 12, 2}, {e + 27, 5}, {e + 28, 6}, {full.size(), 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.length));
    phoneme_data record;
    ASSERT_TRUE(Read(full.substr(0, c.length), &record));
    EXPECT_EQ(record.sample_rate, 16000u);
    const std::uint32_t fields[] = {record.sapi_viseme,  record.disney_viseme,     record.stress,
                                    record.sapi_phoneid, record.next_sapi_phoneid, record.next_sapi_viseme};
    for (unsigned k = 0; k < 6; ++k) EXPECT_EQ(fields[k], k < c.present ? k + 1 : 0u) << "field " << k;
  }
}

TEST(PhonemeTest, MalformedPayloadIsRefusedWithAWarning) {
  const std::string names = std::string("ae\0t\0", 5);
  const std::string tail = be32(16000) + be32(1);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"shorter than the counts", be32(1) + be32(3)},
      {"ends before sample rate", be32(1) + be32(3) + be32(2) + names + be32(16000).substr(0, 3)},
      {"first name too long", be32(1) + be32(300) + be32(2) + names + tail},
      {"counts wrap in 32 bits", be32(1) + be32(0xFFFFFFFFul) + be32(20) + names + tail},
      {"huge next name", be32(1) + be32(3) + be32(0xFFFFFFF0ul) + names + tail},
      {"zero-length name", be32(1) + be32(0) + be32(2) + std::string("t\0", 2) + tail},
      {"name without NUL", be32(1) + be32(3) + be32(2) + std::string("aex", 3) + std::string("t\0", 2) + tail},
      {"next without NUL", be32(1) + be32(3) + be32(2) + std::string("ae\0tt", 5) + tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    phoneme_data record{};
    EXPECT_FALSE(Read(c.bytes, &record));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" WARNING: malformed phoneme packet of length " + std::to_string(c.bytes.size())),
              std::string::npos)
        << log;
  }
}

// Random and mutated payloads are read inside their bounds (the address
// sanitizer checks) and accepted only with both names terminated.
TEST(PhonemeTest, RandomPayloadsAreReadInsideTheirBounds) {
  std::mt19937 rng(777);
  unsigned char ae[] = "ae";
  unsigned char t[] = "t";
  PhonemePacketData written(640, ae, t, 16000, 1, 2, 3, 4, 5, 6);
  const std::string valid = Serialized(written);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = valid;
    if (i % 2) {
      bytes.resize(rng() % 80);
      for (char& c : bytes) c = static_cast<char>(rng() % 4 ? rng() % 8 : rng());
    } else {
      int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] = static_cast<char>(rng());
      bytes.resize(rng() % (bytes.size() + 1));
    }
    phoneme_data record;
    auto copy = Exact(bytes);
    if (ReadPhonemeData(copy.get(), static_cast<unsigned>(bytes.size()), &record)) {
      const unsigned char* begin = copy.get();
      const unsigned char* end = begin + bytes.size();
      auto inside = [&](const char* p) {
        auto* u = reinterpret_cast<const unsigned char*>(p);
        return u >= begin && u < end && std::memchr(u, 0, static_cast<std::size_t>(end - u)) != nullptr;
      };
      ASSERT_TRUE(inside(record.phoneme));
      ASSERT_TRUE(inside(record.next_phoneme));
    }
  }
  testing::internal::GetCapturedStderr();
}
