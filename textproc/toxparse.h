// Markup-to-token parser: reads tokeniser markup and turns it into a stream
// of tokens. Words are split at white space and separators; every token
// carries a copy of each element that encloses it (start, mid, end or
// startend, linked to the copy on the token before); elements without
// content become closed tags on the token before them; entity references are
// decoded; a word broken by a hyphen at the end of a wrapped line is joined
// again. The parser owns the channel's token pool and lends it to the
// channel.
#pragma once

#include "foundation/dystr.h"
#include "foundation/toxspurt.h"
#include "foundation/voidparray.h"

struct channel;
struct nrules;
struct QLTP_tpxml;

struct toxparse {
    const char* name;            // "toxparse": settings section and log module
    channel* ch;                 // borrowed
    int stream_start;
    int hzone;
    int hzone_start;
    int hzone_end;
    int max_token_length;
    int context_size;            // the scanner's look-ahead
    int column;                  // characters since the last line break
    nrules* rules;               // borrowed; NULL: default separators
    dystr* word;                 // unfinished word between calls
    voidparray* tokens;          // made, not yet handed on
    voidparray* output;          // returned by process
    QLTP_tpxml* scanner;
    voidparray* stack;           // template tag per open element
    toxpool* pool;
    int next_id;
    dystr* module_log;           // only with module logging on
    toxtoken* holder;            // owner of the templates while they are open
};

// Create, reset and free (NULL accepted)
toxparse* QLTP_toxparse_new(channel* ch);
void QLTP_toxparse_reset(toxparse* parser, channel* ch);
void QLTP_toxparse_reset_tpdb(toxparse* parser, channel* ch);
void QLTP_toxparse_delete(toxparse* parser);

// Parses one piece of markup; returns the tokens finished by it (all of them
// when final), owned by the parser until the next call.
toxstream* QLTP_toxparse_process(toxparse* parser, const char* text, int len, int final);

// Separators from a rule set: the given one, else the database's default
// set when it defines "R:separators".
int QLTP_toxparse_set_separators(toxparse* parser, channel* ch, nrules* rules);
