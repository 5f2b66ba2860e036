#pragma once
// Byte-pair compression table: short strings coded as strings of one-byte
// symbols. Symbol 0 ends a string; symbols 1 to T-1 are terminals standing
// for one character each; symbols T to T+P-1 stand for pairs of lower
// symbols, chosen greedily as the most frequent adjacent pair while building.
//
// Stored form, 524 bytes: int32 maximum length, T and P in the writer's byte
// order, then the left and right tables (256 bytes each).

#include <cstdint>
#include <cstdio>

#include "foundation/serial.h"
#include "foundation/voidparray.h"

struct bpcomp {
    int32_t maxlen;            // longest string built from; buffers hold maxlen + 1 bytes
    int32_t nterminals;        // T, from 1
    int32_t npairs;            // P
    unsigned char left[256];   // terminal: its character; pair: its first symbol
    unsigned char right[256];  // pair: its second symbol
    uint32_t* counts;          // 65536 pair counters (first x 256 + second) while building
    unsigned char* work;       // encode/decode buffer, made on first use
    int32_t work_size;
};

inline constexpr int QLTP_BPCOMP_STORED_SIZE = 524;

// Create and free
bpcomp* QLTP_bpcomp_new(int building);
void QLTP_bpcomp_delete(bpcomp* table);
int32_t QLTP_bpcomp_maxlen(const bpcomp* table);

// Build from strings (char*), rewriting them in place into symbol strings;
// prints the total length after each step to standard output.
bpcomp* QLTP_bpcomp_create_table(voidparray* strings);

// Code and decode into out (maxlen + 1 bytes) or the table's work buffer,
// which grows to what the input needs; either writes only the result and
// its NUL.
// Encode gives NULL for a text longer than maxlen or holding a character
// that is not a terminal; decode gives NULL for a symbol string longer than
// maxlen or holding an unknown symbol, and never writes more than maxlen + 1 bytes.
char* QLTP_bpcomp_encode(bpcomp* table, const char* text, char* out);
char* QLTP_bpcomp_decode(bpcomp* table, const char* symbols, char* out);

// Stored form (read refuses tables whose pairs do not expand; any maximum
// length the builder gives reads back)
int QLTP_bpcomp_write_sz(const bpcomp* table);
char* QLTP_bpcomp_write(const bpcomp* table, char* dst, int swap);
bpcomp* QLTP_bpcomp_read(FILE* file, int swap);
bpcomp* QLTPPy_bpcomp_load(const char* path);
int QLTPPy_bpcomp_write(const bpcomp* table, QLTP_fixedbuf* buffer);

// Building steps
int QLTP_bpcomp_add_termchar(bpcomp* table, const char* s);
int QLTP_bpcomp_replace_termchar(const bpcomp* table, char* s);
int QLTP_bpcomp_count_bytepairs(bpcomp* table, const char* symbols);
int QLTP_bpcomp_add_bytepair(bpcomp* table);
int QLTP_bpcomp_replace_bytepair(const bpcomp* table, char* symbols);

// String lists for building
voidparray* QLTP_bpcomp_load_strings(voidparray* strings, const char* s);
int64_t QLTP_bpcomp_strings_sz(const voidparray* strings);
void QLTP_bpcomp_strings_delete(voidparray* strings);
