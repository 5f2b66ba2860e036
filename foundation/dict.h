#pragma once
// Word dictionary (word to dense 1-based id and back) and its compact
// read-only form. The compact form is the file form of both; its bucket layout
// depends on the hash function of foundation/hash.h.

#include <cstdio>

struct dystr;
struct QLTP_fixedbuf;
struct dict;
struct cdict;

// Create and free
dict* QLTP_dict_new_empty(int hint);
int QLTP_dict_delete(dict* d);
int QLTP_dict_set_loc(dict* d, int loc);

// Add and look up (add needs an explicit length; lookup takes -1 for up to the NUL)
int QLTP_dict_add_entry(dict* d, const char* word, int len);
int QLTP_dict_lookup_word(const dict* d, const char* word, int len);
const char* QLTP_dict_lookup_index(const dict* d, int id);
int QLTP_dict_size(const dict* d);

// Serialise (always in compact form). A dictionary read from a file writes its
// stored form; one holding a word over 254 bytes has no compact form, so its
// size is 0 and writing returns NULL.
int QLTP_dict_write_sz(const dict* d);
char* QLTP_dict_write(const dict* d, char* buf, int swap);
int QLTP_dict_read(FILE* file, dict** out, int swap);

// Text renderings
int QLTP_dict_print(const dict* d, dystr* s);
int QLTP_dict_printl(const dict* d, dystr* s);
void QLTP_dict_printf(const dict* d);

// Compact form: build, query, free
cdict* QLTP_cdict_new(const dict* d);
const char* QLTP_cdict_idx(const cdict* cd, int id);
int QLTP_cdict_word(const cdict* cd, const char* word, int len);
int QLTP_cdict_sz(const cdict* cd);
void QLTP_cdict_delete(cdict* cd);

// Compact form: serialise. The readers check every count, width and offset
// and give 0 and NULL for a file that is not exactly what a writer produces.
// QLTPPy_cdict_write gives the size without a buffer, 0 when written, and -1
// (writing nothing) when the buffer is too small.
int QLTP_cdict_write_sz(const cdict* cd);
char* QLTP_cdict_write(const cdict* cd, char* buf, int swap);
int QLTP_cdict_read(FILE* file, cdict** out, int swap);
cdict* QLTPPy_cdict_load(const char* path);
int QLTPPy_cdict_write(const cdict* cd, QLTP_fixedbuf* buf);
void TEMP_cdict_print(const cdict* cd);
