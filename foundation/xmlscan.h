// Streaming markup scanner: classifies markup with anchored regular
// expressions and reports start tags, end tags, character data, entity
// references and CDATA boundaries to the owner's handlers. Not a validating
// parser: anything that is not a recognised construct is character data.
// Input may come in pieces; the last piece is flagged final.
#pragma once

#include <cstdint>

struct QLTP_regex;
struct QLTP_tpxml;

// Handlers; `user` is the pointer given to QLTP_tpxml_set_userdata. Texts
// given with a length are not NUL-terminated; names and attribute strings are.
// The attribute list is name, value, name, value, ..., NULL.
using tpxml_character_data_handler = void (*)(void* user, const char* text, int len);
using tpxml_entity_handler = void (*)(void* user, const char* text, int len);
using tpxml_start_element_handler = void (*)(void* user, const char* name, const char** attributes);
using tpxml_end_element_handler = void (*)(void* user, const char* name);
using tpxml_cdata_handler = void (*)(void* user);

// Token kinds: the slots of the pattern table. Slots 14 to 16 are not used
// for classification (line breaks, spaces, separators).
enum QLTP_xmltoken {
  QLTP_XMLCOMMENTSTART = 0,
  QLTP_XMLCOMMENTEND,
  QLTP_XMLCDATASTART,
  QLTP_XMLCDATAEND,
  QLTP_XMLHEADER,
  QLTP_XMLDOCTYPE,
  QLTP_XMLEMPTY,
  QLTP_XMLCLOSE,
  QLTP_XMLOPEN,
  QLTP_HTMLOPEN,
  QLTP_XMLENTITY,
  QLTP_WHITESPACE,
  QLTP_TEXT,
  QLTP_XMLCHAR,
  QLTP_LINEBREAKS,
  QLTP_SPACES,
  QLTP_SEPARATORS,
};
inline constexpr int QLTP_XMLTOKEN_SLOTS = 17;

// Names of slots 0 to 13.
extern const char* const QLTP_XMLTOKEN_NAMES[14];
// The tokeniser's patterns, slot by slot (slot 16 takes a run of separators);
// slot 5 is compiled with dot-all.
extern const char* const QLTP_XMLTOKEN_PATTERNS[QLTP_XMLTOKEN_SLOTS];
// The scanner's slot 16: one separator character.
extern const char* const QLTP_TPXML_SEPARATOR_PATTERN;

// The scanner's 17 patterns compiled once per process (thread-safe), followed
// by NULL; shared by every scanner, never freed. NULL while they cannot be
// compiled (out of memory); a later call tries again.
QLTP_regex* const* QLTP_TPXML_REGEXES();

// Create, delete, reset.
QLTP_tpxml* QLTP_tpxml_new();
void QLTP_tpxml_delete(QLTP_tpxml* scanner);
void QLTP_tpxml_reset(QLTP_tpxml* scanner);

// Handlers and user data; each returns the scanner.
QLTP_tpxml* QLTP_tpxml_set_userdata(QLTP_tpxml* scanner, void* user);
QLTP_tpxml* QLTP_tpxml_set_element_handler(QLTP_tpxml* scanner, tpxml_start_element_handler start,
                                           tpxml_end_element_handler end);
QLTP_tpxml* QLTP_tpxml_set_character_data_handler(QLTP_tpxml* scanner,
                                                  tpxml_character_data_handler handler);
QLTP_tpxml* QLTP_tpxml_set_entity_handler(QLTP_tpxml* scanner, tpxml_entity_handler handler);
QLTP_tpxml* QLTP_tpxml_set_cdata_section_handler(QLTP_tpxml* scanner, tpxml_cdata_handler start,
                                                 tpxml_cdata_handler end);

// Pattern table: set up the shared patterns (done by new; 0 when they cannot
// be compiled), read the scanner's table (a caller may put other patterns in
// it; the scanner never frees them), export compiled images.
int QLTP_tpxml_setup_regex(QLTP_tpxml* scanner);
QLTP_regex** QLTP_tpxml_get_regexs(QLTP_tpxml* scanner);
int QLTP_tpxml_get_no_compiled_regexs(QLTP_tpxml* scanner);
int32_t QLTP_tpxml_get_compiled_regex_sz(QLTP_tpxml* scanner, int i);
int32_t QLTP_tpxml_get_compiled_regex(QLTP_tpxml* scanner, int i, void* destination, int32_t size);

// Look-ahead: bytes a non-final call keeps back (8192 by default); n < 1 ignored.
QLTP_tpxml* QLTP_tpxml_set_lookahead(QLTP_tpxml* scanner, int n);

// Feeding: 0 without a pattern table, else 1.
int QLTP_tpxml_parse(QLTP_tpxml* scanner, const char* text, int len, int final);

// Totals since the last reset.
int64_t QLTP_tpxml_byte_total(const QLTP_tpxml* scanner);
int64_t QLTP_tpxml_char_total(const QLTP_tpxml* scanner);

// One attribute from text: name and value (not NUL-terminated) and the
// position after the value's closing quote, or NULL.
const char* QLTP_get_keyval(const char* text, int len, const char** name, int* namelen,
                            const char** value, int* valuelen);

// Diagnostic driver: prints the events of a file read in blocks of n bytes.
int QLTP_tpxml_test(const char* path, int blocksize);
