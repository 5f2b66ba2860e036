#include "client/orvelle.h"

#include <array>
#include <cstdint>

namespace {

constexpr int kClip = 32635;
constexpr int kMuLawBias = 132;

// Segment numbers indexed by the top bits of the magnitude.
constexpr std::array<uint8_t, 256> make_mulaw_table() {
  std::array<uint8_t, 256> t{};
  for (int i = 1; i < 256; ++i) {
    int e = 0;
    while ((i >> (e + 1)) != 0) ++e;
    t[i] = static_cast<uint8_t>(e);
  }
  return t;
}

constexpr std::array<uint8_t, 128> make_alaw_table() {
  std::array<uint8_t, 128> t{};
  t[0] = 1;
  for (int i = 1; i < 128; ++i) {
    int e = 0;
    while ((i >> (e + 1)) != 0) ++e;
    t[i] = static_cast<uint8_t>(e + 1);
  }
  return t;
}

constexpr auto _MuLawCompressTable = make_mulaw_table();
constexpr auto _ALawCompressTable = make_alaw_table();

}  // namespace

extern "C" unsigned char ovSampleToUlaw(short sample) {
  const int s = sample;  // widened: -32768 has no 16-bit magnitude
  const int sign = s < 0 ? 0x80 : 0;
  int magnitude = s < 0 ? -s : s;
  if (magnitude > kClip) magnitude = kClip;
  magnitude += kMuLawBias;
  const int exponent = _MuLawCompressTable[(magnitude >> 7) & 0xFF];
  const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
  return static_cast<unsigned char>(~(sign | (exponent << 4) | mantissa) & 0xFF);
}

extern "C" unsigned char ovSampleToAlaw(short sample) {
  const int s = sample;
  const int sign = s >= 0 ? 0x80 : 0;
  const int magnitude = s < 0 ? -s : s;
  int value;
  if (magnitude > kClip) {
    value = 0x7F;
  } else if (magnitude <= 255) {
    value = magnitude >> 4;
  } else {
    const int exponent = _ALawCompressTable[magnitude >> 8];
    const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    value = (exponent << 4) | mantissa;
  }
  return static_cast<unsigned char>((sign ^ 0x55 ^ value) & 0xFF);
}
