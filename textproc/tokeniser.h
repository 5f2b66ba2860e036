// Tokeniser: the first stage of a channel. Turns text or markup, fed in
// pieces (the last flagged final), into tokeniser markup: the input's markup
// passed through, dropped or repaired (lax modes), the text between it
// escaped and composed to NFC, every text run preceded by a token mark
//   <mark name="qltk_<char offset>_<byte offset>_<chars>_<bytes>"/>
// and the stream closed by the final mark <mark name="qrln_final"/>.
// The stream is cut at application tags (voice, metadata, audio) so that the
// channel can hand each tag to its application callback between the text
// before and after it.
#pragma once

#include "foundation/dystr.h"

struct channel;
struct tokenise;

// Processing modes, in index order of QLTP_PROCESSING_MODE_NAMES.
enum {
    QLTP_PROCESSING_STRICT_UTF8_XML = 0,
    QLTP_PROCESSING_STRICT_XML = 1,
    QLTP_PROCESSING_LAX = 2,
    QLTP_PROCESSING_LAX_ISO = 3,
};
extern const char* const QLTP_PROCESSING_MODE_NAMES[4];

// Application tag names, each list ended by an empty string.
extern const char* const QLTP_APPLICATION_TAGS[4];         // voice, metadata, audio
extern const char* const QLTP_APPLICATION_TAGS_SERVER[3];  // lexicon, audio

// The final mark that ends every stream (when marks are on).
inline constexpr char QLTP_FINAL_MARK[] = "<mark name=\"qrln_final\"/>";

// Create, reset and free. new reads the channel's settings section "tokenise"
// (processing_mode, context_size); NULL when it cannot be made.
tokenise* QLTP_tokenise_new(channel* ch);
void QLTP_tokenise_set_server_mode(tokenise* tk);
void QLTP_tokenise_reset(tokenise* tk, channel* ch);
void QLTP_tokenise_reset_tpdb(tokenise* tk, channel* ch);
void QLTP_tokenise_delete(tokenise* tk);

// Processing: one piece of input (text may be NULL for none; len < 0 means up
// to the NUL) with final 0, 1 or 2 (2: final, continuing after an application
// tag). Returns the tokeniser's own output string, valid until the next call.
dystr* QLTP_tokenise_process(tokenise* tk, const char* text, int len, int final);
// The application tag at which the last call stopped: its text and length,
// whether it is pending, and whether text was written before it.
const char* QLTP_tokenise_application_tag(const tokenise* tk, int* len, int* pending, int* has_content);

// Patterns: the 17 token patterns and the bad-character pattern, compiled
// once per process and shared; missing ones are reported through the logger.
int QLTP_tokenise_setup_regex_fromnrules(tokenise* tk, int channel_type);
void QLTP_tokenise_delete_regex(tokenise* tk, int channel_type);

// Helpers: escaping of text (result in the tokeniser's escape buffer), close
// tag matching (1: an application element ends, 2: one ends before the tag,
// which waits for the next call) and end-of-stream repair (into the output),
// tag name and attribute text of a start tag.
const char* QLTP_tokenise_escaped_xml(tokenise* tk, const char* text, int len, int* outlen);
int QLTP_tokenise_check_closetags(tokenise* tk, int offset, int len, int* write_raw);
void QLTP_tokenise_close_off_tags(tokenise* tk);
const char* QLTP_tokenise_opentagname(const char* tag, int len, int* namelen);
const char* QLTP_tokenise_opentagattr(const char* tag, int len, int* attrlen);

// State, for callers and tests.
int QLTP_tokenise_processing_mode(const tokenise* tk);
int QLTP_tokenise_context_size(const tokenise* tk);
int QLTP_tokenise_encoding(const tokenise* tk);
int QLTP_tokenise_stream_start(const tokenise* tk);
