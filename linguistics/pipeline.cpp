#include "linguistics/pipeline.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/toxspurt.h"
#include "linguistics/accent.h"
#include "linguistics/archiphone.h"
#include "linguistics/cbout.h"
#include "linguistics/homtagger.h"
#include "linguistics/phrasing.h"
#include "linguistics/postagger.h"
#include "linguistics/pronounce.h"
#include "linguistics/reduction.h"
#include "linguistics/syllabify.h"
#include "textproc/normalise.h"
#include "textproc/tokeniser.h"
#include "textproc/toxparse.h"
#include "textproc/toxparselite.h"

QLTP_tpc_maintenance& QLTP_linguistics_maintenance() {
  // Registered on first use, before any module fills an entry; channels read
  // the entries only once static initialisation is over.
  static QLTP_tpc_maintenance table{};
  static const bool registered = (QLTP_tpc_register_maintenance(&table), true);
  (void)registered;
  return table;
}

namespace {

// Stage slots, in the order init makes them.
enum Slot {
  kTokeniser,
  kMarkupParser,
  kTextParser,
  kNormaliser,
  kPosTagger,
  kPrenormTagger,
  kHomTagger,
  kPhrasing,
  kReduction,
  kPronounce,
  kAccent,
  kArchiphone,
  kSyllabify,
  kCbout,
  kSlots,
};

// How the chain makes, resets, refreshes, frees and runs one slot. A slot
// without make is a stage this build lacks; a type that needs it is refused.
struct StageOps {
  const char* name;  // the channel slot it fills
  bool (*make)(channel* ch) = nullptr;
  void (*reset)(channel* ch) = nullptr;
  void (*reset_tpdb)(channel* ch) = nullptr;
  void (*del)(channel* ch) = nullptr;
  // Stream stages: the previous stage's array in, this stage's array out.
  voidparray* (*run)(channel* ch, voidparray* stream, int final) = nullptr;
  // Token parsers: text in, token stream out.
  voidparray* (*parse)(channel* ch, const char* text, int len, int final) = nullptr;
};

// The usual operations of a stage kind NAME kept in the channel slot FIELD:
// new(channel), reset (as RESET), reset_tpdb(stage, channel) and delete.
#define QLTP_STAGE(NAME, FIELD, RESET)                                                                  \
  .name = #FIELD, .make = [](channel* ch) { return (ch->FIELD = QLTP_##NAME##_new(ch)) != nullptr; }, \
  .reset = [](channel* ch) { RESET; },                                                                 \
  .reset_tpdb = [](channel* ch) { QLTP_##NAME##_reset_tpdb(ch->FIELD, ch); },                         \
  .del = [](channel* ch) { QLTP_##NAME##_delete(ch->FIELD); }

const StageOps kStages[kSlots] = {
    {QLTP_STAGE(tokenise, tokeniser, QLTP_tokenise_reset(ch->tokeniser, ch))},
    {QLTP_STAGE(toxparse, toxparser, QLTP_toxparse_reset(ch->toxparser, ch)),
     .parse = [](channel* ch, const char* text, int len, int final) {
       return QLTP_toxparse_process(ch->toxparser, text, len, final);
     }},
    {QLTP_STAGE(toxparselite, toxparserlite, QLTP_toxparselite_reset(ch->toxparserlite)),
     .parse = [](channel* ch, const char* text, int len, int final) {
       return QLTP_toxparselite_process(ch->toxparserlite, text, len, final);
     }},
    {QLTP_STAGE(normalise, normaliser, QLTP_normalise_reset(ch->normaliser)),
     .run = [](channel* ch, voidparray* tokens, int final) {
       return QLTP_normalise_process(ch->normaliser, tokens, final);
     }},
    {QLTP_STAGE(postagger, pos_tagger, QLTP_postagger_reset(ch->pos_tagger)),
     .run = [](channel* ch, voidparray* tokens, int final) {
       return QLTP_postagger_process(ch->pos_tagger, tokens, final);
     }},
    // The pre-normalisation tagger reads the raw tokens with the help of the
    // normaliser's rule set.
    {QLTP_STAGE(postagger, prenorm_pos_tagger, QLTP_postagger_reset(ch->prenorm_pos_tagger)),
     .run = [](channel* ch, voidparray* tokens, int final) {
       return QLTP_postagger_process_prenorm(ch->prenorm_pos_tagger, ch->normaliser, tokens, final);
     }},
    {QLTP_STAGE(homtagger, hom_tagger, QLTP_homtagger_reset(ch->hom_tagger)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_homtagger_process(ch->hom_tagger, spurts, final);
     }},
    {QLTP_STAGE(phrasing, phraser, QLTP_phrasing_reset(ch->phraser)),
     .run = [](channel* ch, voidparray* tokens, int final) {
       return QLTP_phrasing_process(ch->phraser, tokens, final);
     }},
    {QLTP_STAGE(reduction, reducer, QLTP_reduction_reset(ch->reducer)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_reduction_process(ch->reducer, spurts, final);
     }},
    {QLTP_STAGE(pronounce, pronouncer, QLTP_pronounce_reset(ch->pronouncer, ch)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_pronounce_process(ch->pronouncer, spurts, final);
     }},
    {QLTP_STAGE(jpaccent, accent, QLTP_jpaccent_reset(ch->accent, ch)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_jpaccent_process(ch->accent, spurts, final);
     }},
    {QLTP_STAGE(archiphone, archiphones, QLTP_archiphone_reset(ch->archiphones, ch)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_archiphone_process(ch->archiphones, spurts, final);
     }},
    {QLTP_STAGE(syllabify, syllabifier, QLTP_syllabify_reset(ch->syllabifier)),
     .run = [](channel* ch, voidparray* spurts, int final) {
       return QLTP_syllabify_process(ch->syllabifier, spurts, final);
     }},
    {QLTP_STAGE(cbout, output_stage, QLTP_cbout_reset(ch->output_stage))},
};

#undef QLTP_STAGE

// The markup-to-token parser turns the tokeniser's output into tokens; the
// plain-text parser takes the raw piece (sentence type).
voidparray* parse(channel* ch, Slot parser, const char* text, int len, int final) {
  return kStages[parser].parse ? kStages[parser].parse(ch, text, len, final) : nullptr;
}

using Slots = std::initializer_list<Slot>;

// Stream stages in the order every pass runs them: phrasing turns the
// token stream into spurts before the homograph tagger.
constexpr Slots kChain = {kPrenormTagger, kNormaliser, kPosTagger, kPhrasing, kHomTagger,
                          kReduction,     kPronounce,  kAccent,    kArchiphone, kSyllabify};

constexpr Slots kFull = {kTokeniser, kMarkupParser, kNormaliser, kPosTagger, kPrenormTagger, kHomTagger, kPhrasing,
                         kReduction, kPronounce,    kAccent,     kArchiphone, kSyllabify,    kCbout};
constexpr Slots kSentence = {kTextParser, kNormaliser, kPosTagger,  kPrenormTagger, kHomTagger, kPhrasing,
                             kReduction,  kPronounce,  kAccent,     kArchiphone,    kSyllabify, kCbout};
constexpr Slots kNorm = {kTokeniser, kMarkupParser, kNormaliser, kPrenormTagger};
constexpr Slots kSpurt = {kTokeniser, kMarkupParser, kNormaliser, kPosTagger, kPrenormTagger, kHomTagger,
                          kPhrasing,  kReduction,    kPronounce,  kAccent,    kArchiphone,    kSyllabify};
constexpr Slots kBuild = {kTokeniser, kMarkupParser, kNormaliser, kPosTagger, kPrenormTagger,
                          kHomTagger, kPhrasing,     kPronounce,  kSyllabify};

Slots slots_of(int type) {
  switch (type) {
    case QLTP_TPC_FULL:
    case QLTP_TPC_SERVER: return kFull;
    case QLTP_TPC_SENTENCE: return kSentence;
    case QLTP_TPC_NORM: return kNorm;
    case QLTP_TPC_SPURT:
    case QLTP_TPC_ABOOK: return kSpurt;
    case QLTP_TPC_BUILD: return kBuild;
    default: return {};
  }
}

void** slot_field(channel* ch, Slot s) {
  switch (s) {
    case kTokeniser: return reinterpret_cast<void**>(&ch->tokeniser);
    case kMarkupParser: return reinterpret_cast<void**>(&ch->toxparser);
    case kTextParser: return reinterpret_cast<void**>(&ch->toxparserlite);
    case kNormaliser: return reinterpret_cast<void**>(&ch->normaliser);
    case kPosTagger: return reinterpret_cast<void**>(&ch->pos_tagger);
    case kPrenormTagger: return reinterpret_cast<void**>(&ch->prenorm_pos_tagger);
    case kHomTagger: return reinterpret_cast<void**>(&ch->hom_tagger);
    case kPhrasing: return reinterpret_cast<void**>(&ch->phraser);
    case kReduction: return reinterpret_cast<void**>(&ch->reducer);
    case kPronounce: return reinterpret_cast<void**>(&ch->pronouncer);
    case kAccent: return reinterpret_cast<void**>(&ch->accent);
    case kArchiphone: return reinterpret_cast<void**>(&ch->archiphones);
    case kSyllabify: return reinterpret_cast<void**>(&ch->syllabifier);
    default: return reinterpret_cast<void**>(&ch->output_stage);
  }
}

bool made(channel* ch, Slot s) { return *slot_field(ch, s) != nullptr; }

// The chain needs every stage of its type, and the normaliser exists only
// with a database: refuse the channel rather than run a broken chain.
int init(channel* ch) {
  if (!ch->db) {
    QLTP_logger_set_error(ch->log, QLTP_MESSAGE_CRITICAL, "Channel stage could not be made", "no database");
    return 0;
  }
  for (Slot s : slots_of(ch->type)) {
    const StageOps& op = kStages[s];
    bool parser = s == kMarkupParser || s == kTextParser;
    bool chained = std::find(kChain.begin(), kChain.end(), s) != kChain.end();
    if (!op.make || (parser && !op.parse) || (chained && !op.run) || !op.make(ch)) {
      QLTP_logger_set_error(ch->log, QLTP_MESSAGE_CRITICAL, "Channel stage could not be made", op.name);
      return 0;
    }
    if (s == kTokeniser && ch->type == QLTP_TPC_SERVER) QLTP_tokenise_set_server_mode(ch->tokeniser);
  }
  return 1;
}

// Reset order: tokeniser and markup parser, the normalisation group in the
// type's order, then the stages after it.
Slots reset_order(int type) {
  static constexpr Slots full = {kTokeniser, kMarkupParser, kNormaliser, kPosTagger, kPrenormTagger,
                                 kHomTagger, kPhrasing,     kReduction,  kPronounce, kAccent,
                                 kArchiphone, kSyllabify,   kCbout};
  static constexpr Slots sentence = {kTextParser, kPrenormTagger, kNormaliser, kPosTagger, kHomTagger, kPhrasing,
                                     kReduction,  kPronounce,     kAccent,     kArchiphone, kSyllabify, kCbout};
  static constexpr Slots other = {kTokeniser, kMarkupParser, kPrenormTagger, kNormaliser, kPosTagger,
                                  kHomTagger, kPhrasing,     kReduction,     kPronounce,  kAccent,
                                  kArchiphone, kSyllabify,   kCbout};
  return type == QLTP_TPC_FULL ? full : type == QLTP_TPC_SENTENCE ? sentence : other;
}

void reset(channel* ch) {
  for (Slot s : reset_order(ch->type))
    if (made(ch, s) && kStages[s].reset) kStages[s].reset(ch);
}

void reset_tpdb(channel* ch) {
  for (Slot s : reset_order(ch->type))
    if (made(ch, s) && kStages[s].reset_tpdb) kStages[s].reset_tpdb(ch);
}

// Later stages go first: the token parsers own the pool that the tokens
// and spurts held by the others come from. The channel is freed right after.
void del(channel* ch) {
  for (int s = kSlots - 1; s >= 0; --s)
    if (made(ch, static_cast<Slot>(s)) && kStages[s].del) kStages[s].del(ch);
}

// Hands the stream from stage to stage; the norm type stops after the
// normaliser, the build type lacks reduction, accent and archiphones.
voidparray* run_chain(channel* ch, voidparray* stream, int f) {
  for (Slot s : kChain) {
    if (!stream) break;
    if (made(ch, s) && kStages[s].run) stream = kStages[s].run(ch, stream, f);
  }
  return stream;
}

void deliver(channel* ch, int pending, const char* tag, const dystr* text) {
  if (ch->text_cb) {
    ch->text_cb(ch->user_data, text ? QLTP_dystr_cstr(text) : "", text ? QLTP_dystr_sz(text) : 0);
  } else if (text) {
    QLTP_tpc_builtin_cb_app(ch, pending, tag, text);
  }
}

// Output of one pass by type; false when nothing is to be delivered.
bool output(channel* ch, voidparray* stream, int f) {
  switch (ch->type) {
    case QLTP_TPC_FULL:
    case QLTP_TPC_SENTENCE:
    case QLTP_TPC_SERVER:
      QLTP_cbout_process(ch->output_stage, stream, f);
      QLTP_toxspstream_release_tox(stream);
      return false;
    case QLTP_TPC_NORM:
      QLTP_dystr_clear(ch->work);
      QLTP_toxstream_print(stream, ch->work);
      QLTP_toxstream_release_tox(stream);
      return true;
    case QLTP_TPC_ABOOK:
      QLTP_dystr_clear(ch->work);
      QLTP_toxspstream_print(stream, ch->work);
      QLTP_toxspstream_release_tox(stream);
      return true;
    default: {
      QLTP_dystr_clear(ch->work);
      dystr* scratch = QLTP_dystr_new("", 0);
      int n = QLTP_voidparray_sz(stream);
      for (int i = 0; i < n && scratch; ++i) {
        toxspurt* spurt = QLTP_toxspurt_cast(QLTP_voidparray_idx(stream, i));
        if (f && i == n - 1) spurt->last = 1;
        QLTP_toxspurt_xml(spurt, scratch);
        QLTP_dystr_append(ch->work, QLTP_dystr_cstr(scratch), QLTP_dystr_sz(scratch));
      }
      QLTP_dystr_delete(scratch);
      QLTP_toxspstream_release_tox(stream);
      return true;
    }
  }
}

void process(channel* ch, const char* text, int len, int final) {
  if (ch->type == QLTP_TPC_SENTENCE) {
    if (voidparray* stream = run_chain(ch, parse(ch, kTextParser, text, len, final), final)) output(ch, stream, final);
    return;
  }
  int pass = final;
  for (;;) {
    const dystr* out = QLTP_tokenise_process(ch->tokeniser, text, len, pass);
    int taglen = 0, pending = 0, has_content = 0;
    const char* tag = QLTP_tokenise_application_tag(ch->tokeniser, &taglen, &pending, &has_content);
    int f = pending ? 2 : final;
    if (!ch->application_cb) out = QLTP_tpc_builtin_cb_app_filter(ch, pending, tag, out);
    bool run = out && (!pending || has_content);
    if (ch->type == QLTP_TPC_NORM && f == 0 && out && QLTP_dystr_sz(out) == 0) run = false;
    bool ran = false, produced = false;
    if (run) {
      voidparray* stream = run_chain(ch, parse(ch, kMarkupParser, QLTP_dystr_cstr(out), QLTP_dystr_sz(out), f), f);
      if (stream) {
        ran = true;
        produced = output(ch, stream, f);
      }
    }
    if (produced) deliver(ch, pending, tag, ch->work);
    else if (!ran && ch->type == QLTP_TPC_ABOOK) deliver(ch, pending, tag, out);
    if (!pending) return;
    if (ch->application_cb) ch->application_cb(ch->user_data, tag, taglen);
    if (!final) return;
    text = "";
    len = 0;
    pass = 2;
  }
}

// One-shot normalisation: the text tokenised as one final call, parsed, given
// the pre-normalisation POS pass, normalised and, when asked and the channel
// has a tagger, tagged; the token stream is printed into the work string. An
// application tag in the text ends a pass as in process, and the passes after
// it are printed after the first, so no text is dropped. The stages are reset
// afterwards, as after a final process call: what the text leaves open (a
// comment, a tag, its offsets) never reaches the channel's next run.
const char* norm(channel* ch, const char* text, int with_pos) {
  QLTP_dystr_clear(ch->work);
  int pass = 1;
  for (;;) {
    const dystr* out = QLTP_tokenise_process(ch->tokeniser, text, -1, pass);
    int taglen = 0, pending = 0, has_content = 0;
    QLTP_tokenise_application_tag(ch->tokeniser, &taglen, &pending, &has_content);
    const int f = pending ? 2 : 1;
    voidparray* stream = out ? parse(ch, kMarkupParser, QLTP_dystr_cstr(out), QLTP_dystr_sz(out), f) : nullptr;
    for (Slot s : {kPrenormTagger, kNormaliser, kPosTagger}) {
      if (s == kPosTagger && !with_pos) continue;
      if (stream && made(ch, s) && kStages[s].run) stream = kStages[s].run(ch, stream, f);
    }
    if (stream) {
      QLTP_toxstream_print(stream, ch->work);
      QLTP_toxstream_release_tox(stream);
    }
    if (!pending) break;
    text = "";
    pass = 2;
  }
  reset(ch);
  return QLTP_dystr_cstr(ch->work);
}

}  // namespace

// Each type's five operations under its own name. A channel's stages follow
// from its type (slots_of, reset_order, output), so the bodies are shared.
#define QLTP_PIPELINE_TYPE(type_name)                                                                 \
  int QLTP_tpc_init_type_##type_name(channel* ch) { return init(ch); }                                \
  void QLTP_tpc_reset_type_##type_name(channel* ch) { reset(ch); }                                    \
  void QLTP_tpc_reset_tpdb_type_##type_name(channel* ch) { reset_tpdb(ch); }                          \
  void QLTP_tpc_delete_type_##type_name(channel* ch) { del(ch); }                                     \
  void QLTP_tpc_process_type_##type_name(channel* ch, const char* text, int len, int final) {         \
    process(ch, text, len, final);                                                                    \
  }                                                                                                   \
  static const QLTP_tpc_typehooks kHooks_##type_name = {                                              \
      QLTP_tpc_init_type_##type_name, QLTP_tpc_reset_type_##type_name, QLTP_tpc_reset_tpdb_type_##type_name, \
      QLTP_tpc_delete_type_##type_name, QLTP_tpc_process_type_##type_name};
QLTP_PIPELINE_TYPE(full)
QLTP_PIPELINE_TYPE(sentence)
QLTP_PIPELINE_TYPE(server)
QLTP_PIPELINE_TYPE(norm)
QLTP_PIPELINE_TYPE(spurt)
QLTP_PIPELINE_TYPE(abook)
QLTP_PIPELINE_TYPE(build)
#undef QLTP_PIPELINE_TYPE

namespace {

const int types_registered = [] {
  const std::pair<int, const QLTP_tpc_typehooks*> types[] = {
      {QLTP_TPC_FULL, &kHooks_full},   {QLTP_TPC_SENTENCE, &kHooks_sentence}, {QLTP_TPC_SERVER, &kHooks_server},
      {QLTP_TPC_NORM, &kHooks_norm},   {QLTP_TPC_SPURT, &kHooks_spurt},       {QLTP_TPC_ABOOK, &kHooks_abook},
      {QLTP_TPC_BUILD, &kHooks_build}};
  for (const auto& [type, hooks] : types) QLTP_tpc_register_type(type, hooks);
  QLTP_linguistics_maintenance().norm = norm;
  return 1;
}();

}  // namespace
