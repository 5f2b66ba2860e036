// The seven pipeline channel types over the English database on any text.
// Byte 0 picks the type (bits 0-2, over full, sentence, server, norm,
// spurt, abook and build), plain text instead of markup (bit 3), a one-shot
// normalisation of the text around each run (bit 4), abbreviations
// (bit 5: the payload opens with lines "key<TAB>expansion" ended by an
// empty line) and the expansion rules (bit 6: every rule of the table on
// the text repeated to 64 KB, each applied as a whole rule); byte 1 cuts the
// pieces.
// No input takes longer than a budget linear in its length (2 s and 50 ms
// per KB for the channels, 1 s and 50 ms per KB for the rules), so a path
// quadratic in the input shows up; spurt and build output is well-formed XML in a
// root; UTF-8 text fed in pieces gives the spurts, their words and the
// application tags that one call gives, and the very same spurt and build
// output (the debug lines of the norm and abook types carry token marks,
// which follow the cuts); the token pool stays linear in the input. A
// one-shot normalisation changes nothing: the run after it gives what a
// channel that made none gives, it gives the same before and after a run,
// and in the middle of a stream it is refused without touching the stream.
#include <fcntl.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystrarray.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "fuzz/fuzz.h"
#include "linguistics/cbout.h"
#include "linguistics/english_db.h"
#include "linguistics/spurt_xml_words.h"
#include "textproc/channel.h"
#include "textproc/hrules.h"
#include "textproc/nrules.h"
#include "textproc/rinterp.h"

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

// What a channel is given besides its text.
struct Setup {
  int type = 0;
  int markup = 1;
  std::vector<std::pair<std::string, std::string>> abbreviations;
  const std::string* one_shot = nullptr;  // normalised around the run when set
  int with_pos = 0;
};

// Types whose stages a one-shot normalisation runs.
bool Normalises(int type) { return type != QLTP_TPC_SENTENCE; }

// The text as one final call (no pieces), or as non-final pieces and an
// empty final call.
Run Process(const Setup& setup, std::string_view text, const std::vector<std::string_view>& pieces = {}) {
  Run run;
  channel* ch = QLTP_tpc_newtype(English(), nullptr, setup.markup, "F", setup.type);
  Check(ch != nullptr, "a pipeline channel is made over the English database");
  QLTP_tpc_set_text_callback(ch, OnText, &run.out);
  QLTP_tpc_set_application_callback(ch, OnTag, &run.out);
  QLTP_tpc_set_phrase_callback(ch, OnSpurt, &run.out, 0, 0);
  for (const auto& [key, expansion] : setup.abbreviations)
    QLTP_tpc_add_abbreviation(ch, key.c_str(), expansion.c_str(), 0);
  std::string before;
  if (setup.one_shot) before = QLTP_tpc_norm_pos(ch, setup.one_shot->c_str(), setup.with_pos);
  if (pieces.empty()) {
    QLTP_tpc_process(ch, text.data(), static_cast<int>(text.size()), 1);
  } else {
    for (size_t i = 0; i < pieces.size(); ++i) {
      QLTP_tpc_process(ch, pieces[i].data(), static_cast<int>(pieces[i].size()), 0);
      if (setup.one_shot && i == pieces.size() / 2)
        Check(*QLTP_tpc_norm(ch, setup.one_shot->c_str()) == '\0', "a one-shot normalisation mid-stream is refused");
    }
    QLTP_tpc_process(ch, "", 0, 1);
  }
  if (setup.one_shot)
    Check(QLTP_tpc_norm_pos(ch, setup.one_shot->c_str(), setup.with_pos) == before,
          "a one-shot normalisation gives the same before and after a run", before);
  if (const toxpool* pool = ch->pool) {
    run.objects[0] = QLTP_voidparray_sz(pool->spurts.objects);
    run.objects[1] = QLTP_voidparray_sz(pool->tokens.objects);
    run.objects[2] = QLTP_voidparray_sz(pool->tags.objects);
  }
  QLTP_tpc_delete(ch);
  return run;
}

// The English rule set with one more rule per expansion rule, "expand_<name>",
// which writes that rule's words for the whole text of a token.
nrules* ExpansionRules() {
  static nrules* const set = [] {
    std::string text = orvelle_test::EnglishData("rules.xml");
    std::string extra = "<regex name='wholedotall'><![CDATA[.+]]></regex>\n";
    for (int i = 0; i < QLTP_HRULE_COUNT; ++i) {
      const std::string name = QLTP_HRULE_NAMES[i];
      extra += "<rule name='expand_" + name + "' type='expand_" + name +
               "'><match><com name='R:whole' in='T+00'/></match><replace><com name='H:" + name +
               "' in='C00' out='T+00000X'/></replace></rule>\n";
    }
    text.insert(text.rfind("</rules>"), extra);
    std::fflush(stdout);
    const int saved = ::dup(1), null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    nrules* rules = QLTP_deserialise_nrules(nullptr, text.c_str());
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(null);
    Check(rules != nullptr, "the English rule set reads with the expansion rules added");
    return rules;
  }();
  return set;
}

// Every expansion rule of the table on the text (up to a NUL) repeated to
// 64 KB, with the English rule set: each in time linear in the text, through
// the whole rule application (match, expansion and the words written into a
// chain of tokens) as the normaliser makes it. Text that is not UTF-8 never
// reaches a rule from a channel; the rule functions are given it directly.
void ExpandLongText(const std::string& payload) {
  const std::string unit = payload.substr(0, payload.find('\0'));
  if (unit.empty()) return;
  std::string text;
  while (text.size() < 64 * 1024) text += unit;
  nrules* rules = ExpansionRules();
  toxpool* pool = QLTP_toxpool_new(2, 8, 8);
  dystr* scratch = QLTP_dystr_new("", 0);
  voidparray* stream = QLTP_voidparray_new();
  rinterp_context ctx{};
  ctx.pool = pool;
  ctx.scratch = scratch;
  ctx.rules = rules;
  int maxcomp = 0, minpos = 0, maxpos = 0;
  QLTP_nrules_update_buffersz(rules, &maxcomp, &minpos, &maxpos);
  rinterp* in = QLTP_rinterp_new(&ctx, maxcomp, minpos, maxpos, 0, nullptr);
  dystrarray* out = QLTP_dystrarray_new(0);
  const bool utf8 = orvelle_fuzz::ValidUtf8(text);
  for (int i = 0; i < QLTP_HRULE_COUNT; ++i) {
    const std::string name = QLTP_HRULE_NAMES[i];
    const double start = orvelle_test::ThreadCpuSeconds();
    if (utf8) {
      const std::string type = "expand_" + name;
      const int id = QLTP_dict_lookup_word(rules->group_names, type.c_str(), -1);
      Check(id > 0, "every expansion rule has its rule", name);
      toxtoken* t = QLTP_toxpool_token(pool);
      QLTP_toxtoken_setparent(t, stream);
      QLTP_toxtoken_set(t, text.c_str(), static_cast<int>(text.size()));
      QLTP_toxtoken_set_norm(t, text.c_str(), static_cast<int>(text.size()));
      QLTP_voidparray_replace(in->window, in->current, t);
      Check(QLTP_rinterp_apply_rules(in, rules, static_cast<voidparray*>(QLTP_voidparray_idx(rules->groups, id - 1))) == 1,
            "an expansion rule applies to any text", name);
      orvelle_fuzz::CheckLinearTime(start, text.size(), 1.0, 0.05, "an expansion rule takes time linear in its text",
                                    name);
      while (t) {
        toxtoken* next = t->next;
        QLTP_toxtoken_clear(t);
        t = next;
      }
    } else {
      QLTP_dystrarray_clear(out, 0);
      QLTP_nrules_apply_component(rules, in, ("H:" + name).c_str(), in->ovector, out, nullptr, text.c_str());
      orvelle_fuzz::CheckLinearTime(start, text.size(), 1.0, 0.05, "an expansion rule takes time linear in its text",
                                    name);
    }
  }
  QLTP_dystrarray_delete(out);
  QLTP_rinterp_delete(in);
  QLTP_voidparray_delete(stream);
  QLTP_dystr_delete(scratch);
  QLTP_toxpool_delete(pool);
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& w : v) s += w + "\n";
  return s;
}

// Abbreviation lines "key<TAB>expansion" up to an empty line, taken off the
// front of the text.
std::vector<std::pair<std::string, std::string>> TakeAbbreviations(std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  const size_t end = text.find("\n\n");
  if (end == std::string::npos) return out;
  std::string_view lines(text.data(), end);
  while (!lines.empty() && out.size() < 8) {
    const size_t nl = lines.find('\n');
    std::string_view line = lines.substr(0, nl);
    lines = nl == std::string_view::npos ? std::string_view() : lines.substr(nl + 1);
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) continue;
    out.emplace_back(std::string(line.substr(0, tab)), std::string(line.substr(tab + 1)));
  }
  text.erase(0, end + 2);
  return out;
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
  Setup setup;
  setup.type = kTypes[(in.Byte(0) & 7) % 7];
  setup.markup = !(in.Byte(0) & 8);
  setup.with_pos = in.Byte(1) & 1;
  std::string text = in.Payload(2);
  if (in.Byte(0) & 0x20) setup.abbreviations = TakeAbbreviations(text);

  if (in.Byte(0) & 0x40) ExpandLongText(text);

  const double start = orvelle_test::ThreadCpuSeconds();
  const Run whole = Process(setup, text);
  orvelle_fuzz::CheckLinearTime(start, text.size(), 2.0, 0.05, "an input is processed in time linear in its length");

  const bool xml = setup.type == QLTP_TPC_SPURT || setup.type == QLTP_TPC_BUILD;
  const std::vector<std::string> words = xml ? XmlWords(whole.out.text) : whole.out.words;
  // Tokens and tags of one input at a time: a bound linear in its bytes.
  for (int n : whole.objects) Check(n <= 1024 + 64 * static_cast<int>(text.size()), "the pool stays linear in the input");

  // A one-shot normalisation of the text itself, which may leave anything
  // open at its end, before the run changes nothing of it.
  Setup one_shot = setup;
  if ((in.Byte(0) & 0x10) && Normalises(setup.type)) {
    one_shot.one_shot = &text;
    const Run after = Process(one_shot, text);
    Check(after.out.text == whole.out.text, "a one-shot normalisation leaves the run's output alone", after.out.text);
    Check(after.out.tags == whole.out.tags && after.out.words == whole.out.words,
          "a one-shot normalisation leaves the run's tags and spurts alone", Joined(after.out.words));
  }

  // The tokeniser guesses an encoding from the first bytes it has: only
  // UTF-8 without NUL reads the same in pieces.
  if (!orvelle_fuzz::ValidUtf8(text) || text.find('\0') != std::string::npos) return 0;
  if (text.empty()) return 0;
  const Run pieces = Process(one_shot, text, orvelle_fuzz::Pieces(text, in.Byte(1), 64));
  Check(pieces.out.tags == whole.out.tags, "pieces give the application tags of one call", Joined(pieces.out.tags));
  Check((xml ? XmlWords(pieces.out.text) : pieces.out.words) == words, "pieces give the spurts of one call",
        Joined(words));
  if (xml) Check(pieces.out.text == whole.out.text, "pieces give the spurt output of one call", pieces.out.text);
  return 0;
}
