// Plain-text token parser: splits plain text into tokens at white space and
// separator characters, without a tokeniser in front. Each word token carries
// a closed "mark" tag with its end position and length in characters and
// bytes, and all tokens of a text are enclosed in one "parent" element. A
// text may come in pieces; the last is flagged final. The parser owns the
// channel's token pool and lends it to the channel.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/toxspurt.h"
#include "foundation/voidparray.h"

struct channel;
struct nrules;

// Characters that end a word: white space (space, line feed, carriage
// return, tab, no-break space; ended by ""), and the separators used when no
// rule set gives them.
extern const char* const QLTPL_WHITESPACE_CHARS[6];
extern const char QLTPL_SEPARATORS[6];

struct toxparselite {
    const char* name;            // "toxparselite"
    channel* ch;                 // borrowed
    int stream_start;
    int max_token_length;
    nrules* rules;               // borrowed; NULL: default separators
    dystr* word;
    voidparray* tokens;          // made, the last one held back between pieces
    toxpool* pool;
    int next_id;
    dystr* module_log;
    voidparray* output;          // returned by process
    // A text in progress across non-final calls.
    int in_text;
    int pushed;                  // tokens of this text, seed included
    int64_t chars;               // characters and bytes read of this text
    int64_t bytes;
    int word_chars;
    int word_bytes;              // input bytes of the word
    unsigned char carry[4];      // a character cut at the end of a piece
    int carry_len;
    toxtag* last_parent;         // the "parent" tag of the last token
    std::vector<unsigned char> word_in;  // input bytes of each character of the word
};

// Create, reset and free (NULL accepted)
toxparselite* QLTP_toxparselite_new(channel* ch);
void QLTP_toxparselite_reset(toxparselite* parser);
void QLTP_toxparselite_reset_tpdb(toxparselite* parser, channel* ch);
void QLTP_toxparselite_delete(toxparselite* parser);

// Parses one piece of a text (len < 0: up to the NUL; NULL is empty); a call
// after a final one starts a new text. The text streams across non-final
// calls: a word or character cut at a piece's end is finished by the next.
// Returns the finished tokens, owned by the parser until the next call.
toxstream* QLTP_toxparselite_process(toxparselite* parser, const char* text, int len, int final);

int QLTP_toxparselite_set_separators(toxparselite* parser, channel* ch, nrules* rules);
