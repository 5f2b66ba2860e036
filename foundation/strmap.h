// String-to-string maps. `str2str` is a string array of key, value, key,
// value, ... with last-wins lookup; `hashstrarray` is a hashed map (a word
// dictionary of keys and a string array of values) with a file form and a
// two-column text reader.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/strarray.h"

struct dict;
struct QLTP_fixedbuf;

// str2str: made with QLTP_strarray_new, freed with QLTP_strarray_delete.
// Negative lengths mean up to the NUL.
using str2str = strarray;
int QLTP_str2str_add(str2str* m, const char* key, int klen, const char* value, int vlen);
const char* QLTP_str2str_lookup(const str2str* m, const char* key, int len);
int QLTP_str2str_replace_val(str2str* m, const char* key, int klen, const char* value, int vlen);
const char* QLTP_str2str_key(const str2str* m, int k);
const char* QLTP_str2str_val(const str2str* m, int k);
int QLTP_str2str_nrkeys(const str2str* m);

// hashstrarray: create and free.
struct hashstrarray;
hashstrarray* QLTP_hashstrarray_new(int hint);
void QLTP_hashstrarray_delete(hashstrarray* m);

// Add and look up (negative lengths: up to the NUL). add returns 1 for a new
// key, 0 when it replaced a value or changed nothing.
int QLTP_hashstrarray_add(hashstrarray* m, const char* key, int klen, const char* value, int vlen);
const char* QLTP_hashstrarray_lookup(const hashstrarray* m, const char* key, int len);
int QLTP_hashstrarray_sz(const hashstrarray* m);
const char* QLTP_hashstrarray_key(const hashstrarray* m, int i);
const char* QLTP_hashstrarray_entry(const hashstrarray* m, int i);

// File form: the key dictionary (compact form), then the value array. A map
// that was read is read-only.
uint32_t QLTP_hashstrarray_write_sz(const hashstrarray* m);
char* QLTP_hashstrarray_write(const hashstrarray* m, char* buf, int swap);
int QLTP_hashstrarray_read(FILE* file, hashstrarray** out, int swap);
hashstrarray* QLTPPy_hashstrarray_load(const char* path);
int QLTPPy_hashstrarray_write(const hashstrarray* m, QLTP_fixedbuf* buf);

// Two-column text files: "key value" per line; a line whose first byte is '#'
// is a comment, also right after an empty line (an indented '#' is a key).
hashstrarray* QLTP_hashstrarray_readtxt(const char* path);
hashstrarray* QLTP_deserialise_hashstrarray(const char* text);
