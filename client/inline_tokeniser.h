// A connection's own small tokeniser: turns text or markup into tokeniser
// markup with regular expressions. Plain text is wrapped in a `parent`
// element and escaped; every text run outside comments and CDATA gets a token
// mark "qrlntk_<char offset>_<byte offset>_<chars>_<bytes>" (and, when any
// prosody value is set, a surrounding `sig` element). The output collects in
// tokenised_out(); input that may still continue waits in pending_in().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct QLTP_regex;

class InlineTokeniser {
 public:
  // The patterns, in the order they are tried.
  static constexpr int pattern_count = 12;
  // Streaming: above this many pending bytes a chunk is tokenised, leaving
  // about hold_back bytes for the next call.
  static constexpr std::size_t pending_limit = 8192;
  static constexpr std::size_t hold_back = 4096;

  // The 12 patterns are compiled once per process and shared by every
  // tokeniser; ok() tells whether they compiled.
  InlineTokeniser();
  InlineTokeniser(const InlineTokeniser&) = delete;
  InlineTokeniser& operator=(const InlineTokeniser&) = delete;
  bool ok() const;
  const std::string& pattern_error() const { return pattern_error_; }

  // Tokenising. TokeniseText is one streaming step (stream_mode is the
  // connection's: 0 when no stream is open); TokeniseChunk tokenises whole
  // tokens from the start of input until it is used up or, when limit > 0,
  // until at least limit bytes were consumed, and returns the bytes consumed.
  void TokeniseText(std::string_view text, bool xml, bool flush, int32_t stream_mode);
  std::size_t TokeniseChunk(std::string_view input, std::ptrdiff_t limit, bool xml);

  // Output and held-back input.
  const std::string& tokenised_out() const { return tokenised_out_; }
  void ClearOutput() { tokenised_out_.clear(); }
  const std::string& pending_in() const { return pending_in_; }

  // Running state: offsets of the next token, comment and CDATA flags.
  int32_t byte_offset() const { return byte_offset_; }
  int32_t char_offset() const { return char_offset_; }
  bool in_comment() const { return in_comment_; }
  bool in_cdata() const { return in_cdata_; }

  // Prosody values written on `sig`; -1 leaves a value unset.
  void SetProsody(float rate, float f0, float f0range, float amplitude);
  void CopyProsodyFrom(const InlineTokeniser& other) {
    SetProsody(other.rate_, other.f0_, other.f0range_, other.amplitude_);
  }

 private:
  void WriteToken(std::string_view token, bool xml);

  std::string tokenised_out_;
  std::string pending_in_;
  int32_t byte_offset_ = 0;
  int32_t char_offset_ = 0;
  std::string pattern_error_;
  QLTP_regex* const* patterns_ = nullptr;
  bool in_comment_ = false;
  bool in_cdata_ = false;
  float rate_ = -1.0f;
  float f0_ = -1.0f;
  float f0range_ = -1.0f;
  float amplitude_ = -1.0f;
};

// The number of bytes of text beyond one 4,096-byte slice (n - 4096, or 0).
int totoken(const char* text, int n);

// Number formatting for prosody values: fixed point with two decimals,
// rounded half up at the second decimal ("1.50", "-2.25", "0.05"). A carry
// into a new leading digit keeps the digit count (9.999 gives "10.0").
// Writes at most size bytes including the NUL; ftoa_buffer_size holds every
// float. Returns 1, or 0 when the value is not finite ("nan", "inf", "-inf"
// are written) or the buffer is too small (an empty string is written).
inline constexpr std::size_t ftoa_buffer_size = 48;
int QRLN_ftoa(char* buffer, std::size_t size, float value);
