#include "client/orvelle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Fixed { short sample; unsigned char ulaw, alaw; };

TEST(G711Test, FixedValues) {
  const Fixed cases[] = {
      {0, 0xFF, 0xD5},      {-1, 0x7F, 0x55},     {100, 0xF2, 0xD3},
      {-100, 0x72, 0x53},   {1000, 0xCE, 0xFA},   {255, 0xE7, 0xDA},
      {256, 0xE7, 0xC5},    {-256, 0x67, 0x45},   {32635, 0x80, 0xAA},
      {32636, 0x80, 0xAA},  {32767, 0x80, 0xAA},  {-32767, 0x00, 0x2A},
      {-32768, 0x00, 0x2A},
  };
  for (const Fixed& c : cases) {
    EXPECT_EQ(ovSampleToUlaw(c.sample), c.ulaw) << "sample " << c.sample;
    EXPECT_EQ(ovSampleToAlaw(c.sample), c.alaw) << "sample " << c.sample;
  }
}

// Python's audioop reduces samples to 14/13 bits before encoding, so it
// rounds some negative samples one step differently; everything else agrees.
std::vector<unsigned char> python_codes(const char* function) {
  std::string cmd = std::string(ORVELLE_PYTHON) +
      " -W ignore -c \"import audioop,struct,sys;"
      "sys.stdout.buffer.write(audioop." + function +
      "(struct.pack('<65536h',*range(-32768,32768)),2))\"";
  std::vector<unsigned char> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  unsigned char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  pclose(p);
  return out;
}

TEST(G711Test, AgreesWithPythonAudioopOnEverySample) {
  const auto ulaw = python_codes("lin2ulaw");
  const auto alaw = python_codes("lin2alaw");
  ASSERT_EQ(ulaw.size(), 65536u) << "python3 with audioop is needed";
  ASSERT_EQ(alaw.size(), 65536u);
  int ulaw_steps = 0, alaw_steps = 0;
  for (int s = -32768; s <= 32767; ++s) {
    const size_t i = static_cast<size_t>(s + 32768);
    const int ours_u = ovSampleToUlaw(static_cast<short>(s));
    const int ours_a = ovSampleToAlaw(static_cast<short>(s));
    if (s >= 0) {
      ASSERT_EQ(ours_u, ulaw[i]) << "mu-law sample " << s;
      ASSERT_EQ(ours_a, alaw[i]) << "A-law sample " << s;
      continue;
    }
    if (ours_u != ulaw[i]) {
      ASSERT_EQ(std::abs(ours_u - ulaw[i]), 1) << "mu-law sample " << s;
      ++ulaw_steps;
    }
    if (ours_a != alaw[i]) {
      // A-law inverts the even bits; compare the segment/mantissa value.
      ASSERT_EQ(std::abs((ours_a ^ 0x55) - (alaw[i] ^ 0x55)), 1) << "A-law sample " << s;
      ++alaw_steps;
    }
  }
  EXPECT_GT(ulaw_steps, 0);
  EXPECT_GT(alaw_steps, 0);
}

TEST(G711Test, CodesAreMonotonicInMagnitude) {
  // Larger magnitudes never encode to a smaller segment/mantissa value.
  int prev_u = -1, prev_a = -1;
  for (int s = 0; s <= 32767; ++s) {
    const int u = 0x7F - (ovSampleToUlaw(static_cast<short>(s)) & 0x7F);
    const int a = (ovSampleToAlaw(static_cast<short>(s)) ^ 0x55) & 0x7F;
    ASSERT_GE(u, prev_u) << s;
    ASSERT_GE(a, prev_a) << s;
    prev_u = u;
    prev_a = a;
  }
}

}  // namespace
