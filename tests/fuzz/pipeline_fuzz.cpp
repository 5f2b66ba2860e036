// The seven pipeline channel types over the English database on any text.
// Byte 0 picks the type (bits 0-2, over full, sentence, server, norm,
// spurt, abook and build) and plain text instead of markup (bit 3); byte 1
// cuts the pieces.
// No input takes over 2 s; spurt and build output is well-formed XML in a
// root; UTF-8 text fed in pieces gives the spurts, their words and the
// application tags that one call gives, and the very same spurt and build
// output (the debug lines of the norm and abook types carry token marks,
// which follow the cuts); the token pool stays linear in the input.
#include <fcntl.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "fuzz/fuzz.h"
#include "linguistics/cbout.h"
#include "linguistics/english_db.h"
#include "linguistics/spurt_xml_words.h"
#include "textproc/channel.h"

using orvelle_fuzz::Check;

namespace {

// The English database, written and loaded once per process; the rule
// reader's progress lines are kept off standard output.
tpdb* English() {
  static tpdb* const db = [] {
    const std::string path = orvelle_fuzz::TempPath("english.tpdb");
    std::fflush(stdout);
    const int saved = ::dup(1), null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    const std::string error = orvelle_test::WriteEnglishDb(path);
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(null);
    Check(error.empty(), "the English database is written", error);
    tpdb* d = QLTP_tpdb_new(nullptr);
    Check(QLTP_tpdb_load(d, path.c_str()) == 1, "the English database loads");
    std::remove(path.c_str());
    return d;
  }();
  return db;
}

struct Output {
  std::string text;                // the text callback's deliveries
  std::vector<std::string> tags;   // application tags
  std::vector<std::string> words;  // "norm/spron" of every spurt's tokens, each spurt opened by "|"
};

void OnText(void* user, const char* text, int len) { static_cast<Output*>(user)->text.append(text, static_cast<size_t>(len)); }
void OnTag(void* user, const char* tag, int len) { static_cast<Output*>(user)->tags.emplace_back(tag, static_cast<size_t>(len)); }
void OnSpurt(cbout*, void* user, toxspurt* spurt, int, int) {
  auto* out = static_cast<Output*>(user);
  voidparray* tokens = QLTP_cbout_tokens(spurt);
  out->words.push_back("|");
  for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
    const toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
    const char* norm = QLTP_toxtoken_getnorm(t);
    const char* spron = QLTP_toxtoken_tagval(t, "lex", "spron");
    out->words.push_back(std::string(norm ? norm : "") + "/" + (spron ? spron : ""));
  }
}

// The words of spurt XML, each spurt opened by "|", or a failure when it is
// not well-formed inside a root element.
std::vector<std::string> XmlWords(const std::string& spurts) {
  int count = 0;
  std::vector<std::string> words = orvelle_test::SpurtXmlWords(spurts, &count, true);
  Check(count >= 0, "spurt output is well-formed", spurts);
  return words;
}

struct Run {
  Output out;
  int objects[3] = {0, 0, 0};  // spurts, tokens and tags the pool made
};

// The text as one final call (no pieces), or as non-final pieces and an
// empty final call.
Run Process(int type, int markup, std::string_view text, const std::vector<std::string_view>& pieces = {}) {
  Run run;
  channel* ch = QLTP_tpc_newtype(English(), nullptr, markup, "F", type);
  Check(ch != nullptr, "a pipeline channel is made over the English database");
  QLTP_tpc_set_text_callback(ch, OnText, &run.out);
  QLTP_tpc_set_application_callback(ch, OnTag, &run.out);
  QLTP_tpc_set_phrase_callback(ch, OnSpurt, &run.out, 0, 0);
  if (pieces.empty()) {
    QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
  } else {
    for (std::string_view p : pieces) QLTP_tpc_process(ch, p.data(), static_cast<int>(p.size()), 0);
    QLTP_tpc_process(ch, "", 0, 1);
  }
  if (const toxpool* pool = ch->pool) {
    run.objects[0] = QLTP_voidparray_sz(pool->spurts.objects);
    run.objects[1] = QLTP_voidparray_sz(pool->tokens.objects);
    run.objects[2] = QLTP_voidparray_sz(pool->tags.objects);
  }
  QLTP_tpc_delete(ch);
  return run;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& w : v) s += w + "\n";
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  English();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kTypes[] = {QLTP_TPC_FULL, QLTP_TPC_SENTENCE, QLTP_TPC_SERVER, QLTP_TPC_NORM,
                               QLTP_TPC_SPURT, QLTP_TPC_ABOOK,    QLTP_TPC_BUILD};
  const orvelle_fuzz::Input in{data, size};
  const int type = kTypes[(in.Byte(0) & 7) % 7], markup = !(in.Byte(0) & 8);
  const std::string text = in.Payload(2);

  const auto start = std::chrono::steady_clock::now();
  const Run whole = Process(type, markup, text);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Check(seconds < 2.0, "an input is processed within 2 s", std::to_string(seconds));

  const bool xml = type == QLTP_TPC_SPURT || type == QLTP_TPC_BUILD;
  const std::vector<std::string> words = xml ? XmlWords(whole.out.text) : whole.out.words;
  // Tokens and tags of one input at a time: a bound linear in its bytes.
  for (int n : whole.objects) Check(n <= 1024 + 64 * static_cast<int>(text.size()), "the pool stays linear in the input");

  // The tokeniser guesses an encoding from the first bytes it has: only
  // UTF-8 without NUL reads the same in pieces.
  if (!orvelle_fuzz::ValidUtf8(text) || text.find('\0') != std::string::npos) return 0;
  if (text.empty()) return 0;
  const Run pieces = Process(type, markup, text, orvelle_fuzz::Pieces(text, in.Byte(1), 64));
  Check(pieces.out.tags == whole.out.tags, "pieces give the application tags of one call", Joined(pieces.out.tags));
  Check((xml ? XmlWords(pieces.out.text) : pieces.out.words) == words, "pieces give the spurts of one call",
        Joined(words));
  if (xml) Check(pieces.out.text == whole.out.text, "pieces give the spurt output of one call", pieces.out.text);
  return 0;
}
