#pragma once
// Encoding detection and conversion of tokeniser input: bytes of an
// undeclared encoding (UTF-8, ISO-8859-1, UTF-16 in either byte order, with
// or without a byte-order mark, cut at any byte) become valid UTF-8.

#include "foundation/dystr.h"

// Encodings of the input stream.
enum : int {
    QLTP_ENCODING_UTF8 = 0,
    QLTP_ENCODING_UTF16BE = 1,
    QLTP_ENCODING_ISO88591 = 2,
    QLTP_ENCODING_UTF16LE = 3,
};

// What the tokeniser keeps between the calls of one stream; a reset clears it.
struct QLTP_encoding_state {
    int encoding;     // one of QLTP_ENCODING_*
    int unconverted;  // bytes at the end of the input buffer not yet converted
    int from_bom;     // 1 once a byte-order mark fixed the UTF-16 byte order
};
void QLTP_encoding_reset(QLTP_encoding_state* state);

// Detects the encoding after newlen bytes were appended to input and rewrites
// the bytes not yet converted as UTF-8 (conversion is scratch space). Bytes
// that more input may explain stay unconverted unless final is set. iso reads
// every bad byte as ISO-8859-1. Returns 1 when input was rewritten.
int QLTP_tokenise_convert_input(QLTP_encoding_state* state, dystr* input, dystr* conversion, int newlen,
                                int iso, int final);

// Low level: the encoding that statistics over m bytes suggest (encoding when
// undecided; QLTP_ENCODING_UTF16BE stands for either UTF-16 order).
int QLTP_encoding_guess(const char* s, int m, int encoding);
// UTF-16 order (QLTP_ENCODING_UTF16BE or _UTF16LE) from where the zero bytes
// of s lie, taking s[0] as the start of a code unit.
int QLTP_encoding_utf16_order(const char* s, int len);
// Decodes UTF-16 code units of s into out; returns the bytes consumed. An
// incomplete unit or surrogate pair at the end is left over unless final.
int QLTP_utf16_to_utf8(const char* s, int len, int bigendian, int final, dystr* out);
