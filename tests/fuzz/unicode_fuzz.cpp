// Encoding conversion and normalisation on any bytes. Byte 0: NFKC instead
// of NFC (bit 0), bad bytes read as ISO-8859-1 (bit 1), normalise the raw
// bytes instead of the converted text (bit 2); byte 1 cuts the pieces.
// Conversion gives valid UTF-8 without NUL, keeps valid UTF-8 as it is, and
// gives the same whole or in pieces where no guess is made (bad bytes read
// as ISO-8859-1, no byte-order mark; a guess rightly depends on how much
// text it has seen);
// normalisation keeps valid UTF-8 valid, gives the same whole or in pieces,
// and normalising its output again changes nothing.
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/dystr.h"
#include "fuzz/fuzz.h"
#include "textproc/encoding.h"
#include "textproc/unorm.h"

using namespace orvelle_fuzz;

namespace {

std::string Text(const dystr* d) { return std::string(QLTP_dystr_cstr(d), static_cast<size_t>(QLTP_dystr_sz(d))); }

// The input fed in the given pieces, as the tokeniser feeds its buffer.
std::string Convert(const std::vector<std::string_view>& pieces, bool iso) {
  QLTP_encoding_state state;
  QLTP_encoding_reset(&state);
  dystr* input = QLTP_dystr_new("", 0);
  dystr* scratch = QLTP_dystr_new("", 0);
  for (size_t i = 0; i < pieces.size(); ++i) {
    QLTP_dystr_append(input, pieces[i].data(), static_cast<int>(pieces[i].size()));
    QLTP_tokenise_convert_input(&state, input, scratch, static_cast<int>(pieces[i].size()), iso,
                                i + 1 == pieces.size());
  }
  std::string out = Text(input);
  QLTP_dystr_delete(scratch);
  QLTP_dystr_delete(input);
  return out;
}

// Normalises the pieces one call each; the rest a call leaves is fed again
// in front of the next piece.
std::string Normalise(const std::vector<std::string_view>& pieces, bool compat) {
  dystr* out = QLTP_dystr_new("", 0);
  std::string pending, result;
  for (size_t i = 0; i < pieces.size(); ++i) {
    pending.append(pieces[i]);
    int len = static_cast<int>(pending.size());
    QLTP_utf8_normalise_composed(pending.data(), out, &len, compat, i + 1 == pieces.size());
    Check(len >= 0 && static_cast<size_t>(len) <= pending.size(), "normalisation consumes what it was given");
    result += Text(out);
    pending.erase(0, static_cast<size_t>(len));
  }
  Check(pending.empty(), "a final call consumes everything", pending);
  QLTP_dystr_delete(out);
  return result;
}

std::string NormaliseWhole(std::string_view s, bool compat) {
  return s.empty() ? std::string() : Normalise({s}, compat);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input in{data, size};
  const bool compat = in.Byte(0) & 1, iso = in.Byte(0) & 2, raw = in.Byte(0) & 4;
  const std::string payload = in.Payload(2);
  if (payload.empty()) return 0;
  const std::vector<std::string_view> pieces = Pieces(payload, in.Byte(1), 12);

  const std::string converted = Convert({payload}, iso);
  Check(ValidUtf8(converted) && converted.find('\0') == std::string::npos, "conversion gives UTF-8 without NUL",
        converted);
  const bool plain = ValidUtf8(payload) && payload.find('\0') == std::string::npos;
  if (plain) Check(converted == payload, "conversion keeps UTF-8 text", converted);
  if (plain || (iso && payload.find("\xFF\xFE") == std::string::npos && payload.find("\xFE\xFF") == std::string::npos)) {
    const std::string converted_in_pieces = Convert(pieces, iso);
    Check(converted_in_pieces == converted, "conversion in pieces gives the whole's text",
          converted + " | in pieces: " + converted_in_pieces);
  }

  const std::string& source = raw ? payload : converted;
  const std::string normal = NormaliseWhole(source, compat);
  Check(Normalise(Pieces(source, in.Byte(1), 12), compat) == normal, "normalisation in pieces gives the whole's text",
        normal);
  Check(NormaliseWhole(normal, compat) == normal, "normalisation is idempotent", normal);
  if (compat) Check(NormaliseWhole(normal, false) == normal, "NFKC text is in NFC", normal);
  if (!raw) Check(ValidUtf8(normal) && normal.find('\0') == std::string::npos, "NFC and NFKC keep valid UTF-8", normal);
  return 0;
}
