// The tokeniser channel on any input: byte 0 picks the processing mode
// (bits 0-1), markup input (bit 2), feeding in random pieces (bit 3, cut by
// byte 1) and a context of 8 bytes (bit 4). Whatever comes in, the stream
// ends with the final mark, after which come only closing tags (markup input
// may carry a mark of the same name of its own; text input cannot); the
// output is valid UTF-8 without NUL; where the tokeniser repairs markup
// (text input, or the lax modes) the output is well-formed; and UTF-8 fed in
// pieces gives what one call gives.
#include <libxml/parser.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "textproc/channel.h"
#include "textproc/tokeniser.h"

using namespace orvelle_fuzz;

namespace {

// Settings files of the four modes, with the default and a tiny context.
const std::string& Settings(int mode, bool small_context) {
  static std::vector<std::string> paths = [] {
    std::vector<std::string> p;
    for (int i = 0; i < 8; ++i) {
      p.push_back(TempPath("tpconfig" + std::to_string(i) + ".xml"));
      WriteFile(p.back(), std::string("<tpconfig><tokenise processing_mode='") + QLTP_PROCESSING_MODE_NAMES[i % 4] +
                              "'" + (i >= 4 ? " context_size='8'" : "") + "/></tpconfig>\n");
    }
    return p;
  }();
  return paths[static_cast<size_t>(mode + (small_context ? 4 : 0))];
}

struct Output {
  std::string text;           // every text delivery joined
  std::string tags;           // every application tag, one a line
  std::string last_delivery;  // 'T' or 'A'
  static void Text(void* u, const char* text, int len) {
    auto* o = static_cast<Output*>(u);
    o->text.append(text, static_cast<size_t>(len));
    o->last_delivery = "T";
  }
  static void App(void* u, const char* tag, int len) {
    auto* o = static_cast<Output*>(u);
    o->tags.append(tag, static_cast<size_t>(len)).push_back('\n');
    o->last_delivery = "A";
  }
};

// Runs the text through a fresh channel in one final call, or in pieces cut
// by seed and an empty final call.
Output Tokenise(int options, const std::string& text, bool pieces, uint32_t seed) {
  const int mode = options & 3;
  channel* ch = QLTP_tpc_newtype(nullptr, Settings(mode, options & 16).c_str(), options & 4, "CLIENT", QLTP_TPC_TK);
  Check(ch != nullptr, "a tokeniser channel is made");
  Output out;
  QLTP_tpc_set_text_callback(ch, Output::Text, &out);
  QLTP_tpc_set_application_callback(ch, Output::App, &out);
  if (pieces) {
    for (std::string_view p : Pieces(text, seed, 16)) QLTP_tpc_process(ch, p.data(), static_cast<int>(p.size()), 0);
    QLTP_tpc_process(ch, "", 0, 1);
  } else {
    QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
  }
  QLTP_tpc_delete(ch);
  return out;
}

// Named references stay for the server to resolve: an external subset that
// is never loaded makes an undeclared one a validity matter, not a
// well-formedness error.
bool WellFormed(const std::string& fragment) {
  const std::string doc = "<!DOCTYPE r SYSTEM \"entities.dtd\"><r>" + fragment + "</r>";
  xmlDocPtr d = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "fragment.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (d == nullptr) return false;
  xmlFreeDoc(d);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool checker_works = WellFormed("<a b='&x;'>&y;&#65;</a>") && !WellFormed("<a>") &&
                                    !WellFormed("&#1;") && !WellFormed("<b/ >") && !WellFormed("&1;");
  Check(checker_works, "the well-formedness check tells good from bad");
  const Input in{data, size};
  const int options = in.Byte(0), mode = options & 3;
  const bool xml = options & 4, pieces = options & 8;
  const std::string text = in.Payload(2);
  const Output out = Tokenise(options, text, pieces, in.Byte(1));
  // Where no encoding is guessed and no token outgrows the context (a tiny
  // one rightly cuts long tags into text), pieces change nothing.
  if (pieces && !(options & 16) && ValidUtf8(text) && text.find('\0') == std::string::npos) {
    const Output whole = Tokenise(options, text, false, 0);
    Check(out.text == whole.text, "pieces give the output of one call", out.text + "\n--- one call:\n" + whole.text);
    Check(out.tags == whole.tags, "pieces give the application tags of one call", out.tags + "\n---\n" + whole.tags);
  }

  const std::string final_mark = QLTP_FINAL_MARK;
  const size_t at = out.text.rfind(final_mark);
  Check(at != std::string::npos, "the stream ends with the final mark", out.text);
  Check(xml || out.text.find(final_mark) == at, "text input gets one final mark", out.text);
  Check(out.last_delivery == "T", "nothing is delivered after the final mark", out.text);
  static const std::regex closing("(</[^<>]*>|<xmlfix[a-z]*/>)*");
  Check(std::regex_match(out.text.substr(at + final_mark.size()), closing), "only closing tags follow the final mark",
        out.text);
  Check(out.text.find('\0') == std::string::npos && ValidUtf8(out.text), "output is UTF-8 without NUL", out.text);
  if (!xml || mode >= QLTP_PROCESSING_LAX) Check(WellFormed(out.text), "repaired output is well-formed", out.text);
  return 0;
}
