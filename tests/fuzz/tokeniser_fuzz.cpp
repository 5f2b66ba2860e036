// The tokeniser channel on any input: byte 0 picks the processing mode
// (bits 0-1), markup input (bit 2), feeding in pieces (bit 3: random ones cut
// by byte 1, or with bit 5 pieces of 4,096 bytes, as the client sends) and a
// context of 8 bytes (bit 4). Whatever comes in, the stream ends with the
// final mark, after which come only closing tags (markup input may carry a
// mark of the same name of its own; text input cannot); the output is valid
// UTF-8 without NUL; where the tokeniser repairs markup (text input, or the
// lax modes) the output is well-formed and every application element whose
// start tag was reported reports its end; UTF-8 fed in pieces gives what one
// call gives; and no call takes longer than 1 s plus 50 ms per KB of input,
// so that a path whose time grows with the square shows up as a finding.
#include <libxml/parser.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "foundation/regex.h"
#include "foundation/xmlscan.h"
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
  std::string text;               // every text delivery joined
  std::vector<std::string> tags;  // every application tag, as delivered
  std::string last_delivery;      // 'T' or 'A'
  static void Text(void* u, const char* text, int len) {
    auto* o = static_cast<Output*>(u);
    o->text.append(text, static_cast<size_t>(len));
    o->last_delivery = "T";
  }
  static void App(void* u, const char* tag, int len) {
    auto* o = static_cast<Output*>(u);
    o->tags.emplace_back(tag, static_cast<size_t>(len));
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
  const double start = orvelle_test::ThreadCpuSeconds();
  if (pieces && (options & 32)) {
    for (size_t at = 0; at < text.size(); at += 4096)
      QLTP_tpc_process(ch, text.data() + at, static_cast<int>(std::min<size_t>(4096, text.size() - at)), 0);
    QLTP_tpc_process(ch, "", 0, 1);
  } else if (pieces) {
    for (std::string_view p : Pieces(text, seed, 16)) QLTP_tpc_process(ch, p.data(), static_cast<int>(p.size()), 0);
    QLTP_tpc_process(ch, "", 0, 1);
  } else {
    QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
  }
  CheckLinearTime(start, text.size(), 1.0, 0.05, "time grows linearly with the input");
  QLTP_tpc_delete(ch);
  return out;
}

// The longest token of the text, had it all been visible: a markup token
// (tag, declaration, doctype) that the patterns find at a "<", or a text run
// with its references and markup characters (taken as ending only at an
// ASCII blank, so never shorter than the scanner's).
size_t LongestToken(const std::string& text) {
  struct Patterns {
    std::vector<QLTP_regex*> all;
    Patterns() {
      for (int slot : {QLTP_XMLHEADER, QLTP_XMLDOCTYPE, QLTP_XMLEMPTY, QLTP_XMLCLOSE, QLTP_XMLOPEN, QLTP_HTMLOPEN})
        all.push_back(
            QLTP_regex_compile(QLTP_XMLTOKEN_PATTERNS[slot], -1, slot == QLTP_XMLDOCTYPE ? QLTP_REGEX_DOTALL : 0));
    }
    ~Patterns() {
      for (QLTP_regex* re : all) QLTP_regex_free(re);
    }
  };
  static const Patterns patterns;
  size_t longest = 0, run = 0;
  for (char c : text) {
    run = c == ' ' || (c >= '\t' && c <= '\r') ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  int ov[QLTP_REGEX_OVECSIZE];
  for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1))
    for (QLTP_regex* re : patterns.all)
      if (re && QLTP_regex_exec(re, text.data() + at, static_cast<int>(text.size() - at), 0, ov, QLTP_REGEX_VALID_UTF8) > 0)
        longest = std::max(longest, static_cast<size_t>(ov[1]));
  return longest;
}

// Application tags for a report, one a line.
std::string Lines(const std::vector<std::string>& tags) {
  std::string s;
  for (const std::string& tag : tags) s += tag + "\n";
  return s;
}

// Where two outputs part: the offset and what follows it in each.
std::string Difference(const std::string& pieces, const std::string& whole) {
  size_t at = 0;
  while (at < pieces.size() && at < whole.size() && pieces[at] == whole[at]) ++at;
  const size_t from = at > 60 ? at - 60 : 0;
  return "at byte " + std::to_string(at) + ", pieces: " + pieces.substr(from, 300) + "\n--- one call: " +
         whole.substr(from, 300);
}

// Every application start tag reported (other than an empty element) has its
// close tag reported after it.
bool EveryApplicationElementEnds(const std::vector<std::string>& tags) {
  int open = 0;
  for (const std::string& tag : tags) {
    if (tag.rfind("</", 0) == 0) {
      if (--open < 0) return false;
    } else if (tag.size() < 2 || tag.substr(tag.size() - 2) != "/>") {
      ++open;
    }
  }
  return open == 0;
}

// Named references stay for the server to resolve: an external subset that
// is never loaded makes an undeclared one a validity matter, not a
// well-formedness error. Output may nest deeper than libxml2's default
// limit of 256.
bool WellFormed(const std::string& fragment) {
  const std::string doc = "<!DOCTYPE r SYSTEM \"entities.dtd\"><r>" + fragment + "</r>";
  xmlDocPtr d = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "fragment.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
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
  // one, or a tag or text run longer than the default, rightly cuts long
  // tokens), pieces change nothing.
  if (pieces && !(options & 16) && ValidUtf8(text) && text.find('\0') == std::string::npos &&
      LongestToken(text) <= 4096) {
    const Output whole = Tokenise(options, text, false, 0);
    Check(out.text == whole.text, "pieces give the output of one call", Difference(out.text, whole.text));
    Check(out.tags == whole.tags, "pieces give the application tags of one call", Lines(out.tags) + "---\n" + Lines(whole.tags));
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
  if (xml && mode >= QLTP_PROCESSING_LAX)
    Check(EveryApplicationElementEnds(out.tags), "every application element reports its end", Lines(out.tags));
  return 0;
}
