// Phrasing stage: turns the token stream into the spurt stream. Tokens get
// closed "break" tags (level in "type", seconds with 3 decimals in "time")
// from SSML breaks, paragraph, sentence and spurt elements, punctuation,
// line breaks and the break table's defaults; phrases longer than
// max_phrase_length words get a forced break where the pair-weight table
// likes it best; the stream is cut into spurts at the breaks, each spurt
// beginning with a leading pause token, and prosody elements cut by a spurt
// end are re-timed. Spurts can be grouped into utterances.
#pragma once

#include "foundation/dystr.h"
#include "foundation/numarray.h"
#include "foundation/voidparray.h"
#include "linguistics/pbreak.h"

struct channel;

struct phrasing {
  const char* name;  // "phrasing"
  channel* ch;       // borrowed
  int state;         // 1 after new and reset, else the last call's final flag
  voidparray* pending;     // position 0: the leading pause token of the next spurt
  voidparray* spurts;      // spurt output
  voidparray* utterances;  // utterance output, made when by_utterance is first on
  dystr* scratch;
  dystr* module_log;       // only with module logging
  const pbreak* breaks;    // the database's table, or own_breaks
  pbreak* own_breaks;      // the stage's copy once a file was merged; owned
  const prules* pairs;     // borrowed from the database
  intarray* phrases;       // (first index, end index) pairs; end -1: open
  voidparray* tag_scratch;
  int max_phrase_length;
  int max_utterance_length;
  int phrase_length_window;
  int ignore_newline;
  intarray* weights;
  int by_utterance;
  int examined;            // pending tokens before this index have had their breaks
  int stream_start;        // the pause at position 0 opens a stream: it gets the opening break
};

// Create, reset, free
phrasing* QLTP_phrasing_new(channel* ch);
void QLTP_phrasing_reset(phrasing* stage);
void QLTP_phrasing_reset_tpdb(phrasing* stage, channel* ch);
void QLTP_phrasing_delete(phrasing* stage);

// Phrases the tokens; returns the spurt output, or the utterance output with
// by_utterance on. A call that is not final holds its last token back and
// every phrase still open.
voidparray* QLTP_phrasing_process(phrasing* stage, voidparray* tokens, int final);

// Merges a break-table text file into the stage's own copy of the break
// table (the database's table is shared and never changed); 0 when the file
// cannot be opened, else 1.
int QLTP_phrasing_add_pbreak(phrasing* stage, const char* path);

// The by_utterance flag of the channel's phrasing stage.
void QLTP_phrasing_set_by_utt(channel* ch);
void QLTP_phrasing_unset_by_utt(channel* ch);
int QLTP_phrasing_get_by_utt(const channel* ch);
