#include "client/inline_tokeniser.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "foundation/regex.h"
#include "foundation/utf8.h"

namespace {

enum Slot {
  kCommentStart = 0,
  kCommentEnd = 1,
  kCdataStart = 2,
  kCdataEnd = 3,
  kTextRun = 10,
};

// Each pattern is anchored at the start of the remaining input. A tag ends at
// its first '>' outside a quoted attribute value, so a tag never runs on
// through text and later tags.
const QLTP_regex_spec kPatterns[InlineTokeniser::pattern_count] = {
    {R"re(^(<!--))re", 0},
    {R"re(^(-->))re", 0},
    {R"re(^(<!\[CDATA\[))re", 0},
    {R"re(^(\]\]>))re", 0},
    {R"re((^<\?.*?\?>))re", QLTP_REGEX_DOTALL},
    {R"re(^(<!DOCTYPE\s+.+?\s+((\[(<!.*?>)*\s*\])|[^<]+>)\s*>))re", QLTP_REGEX_DOTALL},
    {R"re((^<\s*[^>]+?(\s+[^>]+?=("[^"]*"|'[^']*'))*\s*/\s*>))re", 0},
    {R"re((^<\s*[^>]+?(\s+[^>]+?=("[^"]*"|'[^']*'))*\s*>))re", 0},
    {R"re((^<\s*/\s*[^>]+?\s*>))re", 0},
    {R"re(^([\n\r\t \x{2003}]+))re", 0},
    {R"re(^([^\n\r\t \x{2003}<]+))re", 0},
    {R"re((^[<]))re", 0},
};

int32_t CountChars(std::string_view bytes) {
  int32_t n = 0;
  for (unsigned char b : bytes)
    if ((b & 0xC0) != 0x80) ++n;
  return n;
}

// Offsets wrap instead of overflowing on more than 2 GB of input.
int32_t AddWrapping(int32_t a, std::size_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void AppendInt(std::string& out, int32_t value) {
  char digits[16];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// End of the run of valid UTF-8 that starts at pos. NUL bytes count as valid:
// the pattern library handles them, only broken sequences must be kept away
// from it.
std::size_t ValidEnd(std::string_view input, std::size_t pos) {
  while (pos < input.size()) {
    int len = static_cast<int>(std::min<std::size_t>(input.size() - pos, INT_MAX));
    int size = 0;
    int bad = QLTP_check_utf8(input.data() + pos, len, &size);
    if (bad < 0) return pos + static_cast<std::size_t>(len);
    pos += static_cast<std::size_t>(bad);
    if (input[pos] != '\0') return pos;
    ++pos;
  }
  return pos;
}

// True when the bytes from pos to the end are the beginning of a multi-byte
// character whose remaining bytes have not arrived yet.
bool IsCutCharacter(std::string_view input, std::size_t pos) {
  auto lead = static_cast<unsigned char>(input[pos]);
  if (lead < 0xC2 || lead > 0xF4) return false;
  std::size_t present = input.size() - pos;
  if (present > static_cast<std::size_t>(trailingBytesForUTF8[lead])) return false;
  for (std::size_t i = pos + 1; i < input.size(); ++i)
    if ((static_cast<unsigned char>(input[i]) & 0xC0) != 0x80) return false;
  return true;
}

// Digits of a non-negative finite value written exactly, split at the point.
struct Decimal {
  std::string integer;   // without leading zeros; empty for values below 1
  std::string fraction;  // 40 places
  // Power of ten of the leading non-zero digit (0 for zero).
  int Exponent() const {
    if (!integer.empty()) return static_cast<int>(integer.size()) - 1;
    std::size_t first = fraction.find_first_not_of('0');
    return first == std::string::npos ? 0 : -static_cast<int>(first) - 1;
  }
  char DigitAt(int power) const {
    if (power >= 0) {
      auto index = static_cast<int>(integer.size()) - 1 - power;
      return index >= 0 ? integer[static_cast<std::size_t>(index)] : '0';
    }
    auto index = static_cast<std::size_t>(-power - 1);
    return index < fraction.size() ? fraction[index] : '0';
  }
};

Decimal ExactDecimal(double value) {
  // Every float at or above 0.001 has at most 34 decimal places, so 40 places
  // are exact wherever a digit is written.
  char text[128];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 40);
  std::string_view all(text, static_cast<std::size_t>(result.ptr - text));
  std::size_t point = all.find('.');
  Decimal d;
  std::string_view integer = all.substr(0, point);
  std::size_t first = integer.find_first_not_of('0');
  if (first != std::string_view::npos) d.integer = integer.substr(first);
  if (point != std::string_view::npos) d.fraction = all.substr(point + 1);
  return d;
}

bool Fits(const std::string& text, char* buffer, std::size_t size) {
  if (text.size() + 1 > size) {
    if (size > 0) buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}

}  // namespace

InlineTokeniser::InlineTokeniser() {
  // The patterns are fixed: every connection uses the one compiled set.
  char err[256] = {0};
  patterns_ = QLTP_regex_shared_set(kPatterns, pattern_count, err, static_cast<int>(sizeof err));
  if (patterns_ == nullptr) pattern_error_ = err;
}

bool InlineTokeniser::ok() const { return patterns_ != nullptr; }

void InlineTokeniser::SetProsody(float rate, float f0, float f0range, float amplitude) {
  rate_ = rate;
  f0_ = f0;
  f0range_ = f0range;
  amplitude_ = amplitude;
}

void InlineTokeniser::TokeniseText(std::string_view text, bool xml, bool flush, int32_t stream_mode) {
  tokenised_out_.clear();
  if (!xml && stream_mode == 0) tokenised_out_ += "<parent>";
  pending_in_.append(text);
  if (flush) {
    TokeniseChunk(pending_in_, -1, xml);
    pending_in_.clear();
    if (!xml) tokenised_out_ += "</parent>";
    char_offset_ = 0;
    byte_offset_ = 0;
    // A comment or CDATA section left open must not swallow the marks of the
    // next request.
    in_comment_ = false;
    in_cdata_ = false;
    return;
  }
  if (pending_in_.size() > pending_limit) {
    std::size_t limit = pending_in_.size() - hold_back;
    std::size_t consumed = TokeniseChunk(pending_in_, static_cast<std::ptrdiff_t>(limit), xml);
    pending_in_.erase(0, consumed);
  }
}

std::size_t InlineTokeniser::TokeniseChunk(std::string_view input, std::ptrdiff_t limit, bool xml) {
  std::size_t pos = 0;
  std::size_t valid_end = 0;
  int ovector[QLTP_REGEX_OVECSIZE];
  while (pos < input.size()) {
    if (pos >= valid_end) valid_end = ValidEnd(input, pos);
    std::size_t length = 0;
    int slot = -1;
    if (pos < valid_end) {
      int subject_len = static_cast<int>(std::min<std::size_t>(valid_end - pos, INT_MAX));
      for (int s = 0; patterns_ != nullptr && s < pattern_count; ++s) {
        if (QLTP_regex_exec(patterns_[s], input.data() + pos, subject_len, 0, ovector,
                            QLTP_REGEX_VALID_UTF8) > 0 &&
            ovector[1] > 0) {
          slot = s;
          length = static_cast<std::size_t>(ovector[1]);
          break;
        }
      }
    } else if (limit > 0 && IsCutCharacter(input, pos)) {
      // The rest of this character comes with the next input.
      break;
    }
    // A broken byte (or, should every pattern fail, any byte) is a token of
    // its own, so every pass moves forward.
    if (length == 0) length = 1;
    std::string_view token = input.substr(pos, length);

    if (slot == kCommentStart) in_comment_ = true;
    if (slot == kCommentEnd) in_comment_ = false;
    if (slot == kCdataStart) in_cdata_ = true;
    if (slot == kCdataEnd) in_cdata_ = false;

    int32_t chars = CountChars(token);
    if (slot == kTextRun && !in_comment_ && !in_cdata_) {
      const struct {
        const char* name;
        float value;
      } prosody[] = {{"rate", rate_}, {"f0", f0_}, {"f0range", f0range_}, {"amplitude", amplitude_}};
      bool sig = false;
      for (const auto& p : prosody) {
        if (p.value == -1.0f) continue;
        if (!sig) tokenised_out_ += "<sig";
        sig = true;
        char number[ftoa_buffer_size];
        QRLN_ftoa(number, sizeof number, p.value);
        tokenised_out_ += ' ';
        tokenised_out_ += p.name;
        tokenised_out_ += "=\"";
        tokenised_out_ += number;
        tokenised_out_ += '"';
      }
      if (sig) tokenised_out_ += '>';
      tokenised_out_ += "<mark name=\"qrlntk_";
      AppendInt(tokenised_out_, char_offset_);
      tokenised_out_ += '_';
      AppendInt(tokenised_out_, byte_offset_);
      tokenised_out_ += '_';
      AppendInt(tokenised_out_, chars);
      tokenised_out_ += '_';
      AppendInt(tokenised_out_, static_cast<int32_t>(std::min<std::size_t>(length, INT32_MAX)));
      tokenised_out_ += "\"/>";
      WriteToken(token, xml);
      if (sig) tokenised_out_ += "</sig>";
    } else {
      WriteToken(token, xml);
    }

    pos += length;
    byte_offset_ = AddWrapping(byte_offset_, length);
    char_offset_ = AddWrapping(char_offset_, static_cast<std::size_t>(chars));
    if (limit > 0 && pos >= static_cast<std::size_t>(limit)) break;
  }
  return pos;
}

void InlineTokeniser::WriteToken(std::string_view token, bool xml) {
  if (xml) {
    tokenised_out_ += token;
    return;
  }
  for (char c : token) {
    if (c == '\0') break;
    switch (c) {
      case '<': tokenised_out_ += "&lt;"; break;
      case '>': tokenised_out_ += "&gt;"; break;
      case '&': tokenised_out_ += "&amp;"; break;
      default: tokenised_out_ += c;
    }
  }
}

int totoken(const char*, int n) { return n - 4096 < 0 ? 0 : n - 4096; }

int QRLN_ftoa(char* buffer, std::size_t size, float value) {
  if (buffer == nullptr) return 0;
  if (std::isnan(value)) {
    Fits("nan", buffer, size);
    return 0;
  }
  if (std::isinf(value)) {
    Fits(value < 0 ? "-inf" : "inf", buffer, size);
    return 0;
  }
  std::string text;
  if (value < 0) text += '-';
  float magnitude = std::fabs(value);
  // The digits written are those of the rounded value, as many as the
  // unrounded value has from its leading digit down to the second decimal.
  int digits = magnitude == 0.0f ? 3 : ExactDecimal(magnitude).Exponent() + 3;
  if (digits <= 0) {
    text += "0.00";
  } else {
    Decimal rounded = ExactDecimal(static_cast<float>(static_cast<double>(magnitude) + 0.005));
    int top = magnitude == 0.0f ? 0 : rounded.Exponent();
    int bottom = top - digits + 1;
    if (top < 0) {
      text += "0.";
      for (int p = -1; p > top; --p) text += '0';
    }
    for (int p = top; p >= bottom; --p) {
      text += rounded.DigitAt(p);
      if (p == 0 && bottom < 0) text += '.';
    }
  }
  return Fits(text, buffer, size) ? 1 : 0;
}
