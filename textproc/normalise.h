#pragma once
// Normaliser stage: turns the token parser's tokens into tokens with
// normalised text. Unicode punctuation is mapped to plain forms, leading and
// trailing punctuation split off, abbreviations expanded from dictionaries,
// every token pre-normalised, the rule groups of the rule set's ordering
// "default" applied through the rule interpreter, and Chinese, Japanese and
// Swedish text segmented by the disambiguation stage.
//
// A non-final call holds its last three tokens back (and the tokens of an
// abbreviation candidate still open before them), so that rules see right
// context; held-back tokens are normalised again, from their text, in the
// next call. Ready tokens carry the marker "1" (or "m" when the interpreter
// wrote them), held-back ones an empty marker.

#include <cstdint>

#include "textproc/rinterp.h"

struct abbdict;
struct abbmgr;
struct channel;
struct disambiguation;
struct dystr;
struct lexmgr;
struct nrules;
struct toxpool;
struct toxtoken;
struct voidparray;

struct normalise {
  const char* name;          // "normalise"
  channel* ch;               // borrowed
  int32_t state;             // 1 after reset, then the last call's final flag
  int32_t active;
  int32_t tracing;
  const char* language;      // borrowed from the database header
  const char* region;
  dystr* scratch;
  voidparray* buffer;        // tokens not yet handed on
  voidparray* flatten;       // scratch while flattening
  voidparray* output;        // returned by process, owned until the next call
  dystr* modlog;             // only with module logging
  nrules* rules;             // the database's, or an override (owned)
  rinterp* interp;           // owned
  rinterp_context context;
  abbdict* abbrev_default;   // the database's, or an override (owned)
  abbdict* abbrev_custom;    // the database's, or an override (owned); may be NULL
  abbmgr* abbreviations;     // the channel's own dictionaries (owned)
  int32_t open_quote;
  // While an override is in force: what it replaced (database objects).
  int32_t rules_overridden;
  nrules* saved_rules;
  int32_t default_overridden;
  abbdict* saved_default;
  int32_t custom_overridden;
  abbdict* saved_custom;
  disambiguation* disam;     // owned
  lexmgr* lexicons;          // the channel's (borrowed)
  void* lexlookup;           // owned
};

// Lifecycle
normalise* QLTP_normalise_new(channel* ch);
void QLTP_normalise_reset_tpdb(normalise* n, channel* ch);
void QLTP_normalise_reset(normalise* n);
void QLTP_normalise_delete(normalise* n);

// Normalises the tokens (appended after those held back) and returns the
// ready ones, owned by the stage until its next call.
voidparray* QLTP_normalise_process(normalise* n, voidparray* tokens, int final);

// Overrides. override_rules reads a rule file's and an abbreviation file's
// text and gives the new rule set (NULL: nothing changed); reset_rules puts
// the replaced set and dictionary back (1 when anything was restored).
// override_abbrev replaces the custom dictionary by a file's; 1 or 0.
nrules* QLTP_normalise_override_rules(normalise* n, const char* rules_text, const char* abbrev_text);
int QLTP_normalise_reset_rules(normalise* n);
int QLTP_normalise_override_abbrev(normalise* n, const char* path);
// Adds an entry to the first channel dictionary (one named "channel" is
// made when there is none); 1 or 0.
int QLTP_normalise_add_abbreviation(normalise* n, const char* abbreviation, const char* expansion, int fullstop);

void QLTP_normaliser_set_tracing(normalise* n, int on);
toxpool* QLTP_normalise_get_toxpool(const normalise* n);
