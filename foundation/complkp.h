#pragma once
// Compressed lookup table: a read-only sorted table of key/value strings, the
// storage form of compressed lexicons. Keys and values are runs of byte-pair
// symbols coded by two binary code trees; entries are grouped into buckets by
// a short key prefix and a lookup decodes only the entries of one bucket.
//
// Symbols: s below the terminal count T stands for the character left[s];
// s >= T for left[s] followed by right[s], each expanded again.
// Entry: byte L (bytes that follow), byte K (key length), then the key codes
// and the value codes (ending with a NUL character), bits read from the most
// significant bit of each byte. Characters are bytes and keys order as
// unsigned bytes.
//
// Serialised form, integers 32-bit in the writer's byte order: D, TK, TV, NK,
// NV, max key, max value, flags, I, the prefix dictionary (compact form), I
// bucket offsets, the four 256-byte symbol tables (key left, key right, value
// left, value right), NK then NV nodes (child0, child1, leaf), D data bytes,
// and 8 zero bytes.

#include <cstdint>
#include <cstdio>

struct dict;
struct QLTP_fixedbuf;

// A code-tree node: internal when child1 is non-zero; a leaf yields the low
// byte of `leaf`.
struct complkp_node {
  uint32_t child0;
  uint32_t child1;
  uint32_t leaf;
};

inline constexpr int32_t QLTP_COMPLKP_HASHED = 0x100;

struct complkp {
  unsigned char* data;    // entry bytes, owned
  int32_t size;           // D
  int32_t flags;          // bits 0-7 the bucket prefix length; 0x100 hashed keys
  int32_t nindex;         // I, the number of buckets
  dict* prefixes;         // bucket key -> 1-based bucket id
  int32_t* offsets;       // I bucket offsets into data
  int32_t key_terminals;  // TK
  unsigned char key_left[256];
  unsigned char key_right[256];
  int32_t value_terminals;  // TV
  unsigned char value_left[256];
  unsigned char value_right[256];
  int32_t key_nodes;      // NK, at most 65536
  complkp_node* key_tree;
  int32_t value_nodes;    // NV, at most 65536
  complkp_node* value_tree;
  int32_t max_key;
  int32_t max_value;
  int32_t nset;           // buckets added through the construction interface
};

// Lookup cursor: the decode buffer (key at its start, the value after the
// key's NUL), the scan position (-1: the next keyed call starts a new search)
// and the manager's lexicon index. `word` is the cursor's own copy of the word
// a lexicon search was started with; `entry` counts the entries a plain
// lexicon search has given.
struct complkp_lkp {
  uint32_t bufsz;
  char* buffer;
  char* key;
  char* value;
  int32_t position;
  int32_t lexidx;
  char* word;
  uint32_t wordsz;
  int32_t entry;
};

// Create and free
complkp* QLTP_complkp_new();
void QLTP_complkp_delete(complkp* table);

// Construction interface for building tools. Without the copy flag the table
// takes over `data`, which must come from QLTP_malloc. Each gives 1, or 0 for
// an index out of range.
int QLTP_complkp_init(complkp* table, unsigned char* data, int32_t size, int32_t key_terminals,
                      int32_t value_terminals, int32_t key_nodes, int32_t value_nodes, int32_t max_key,
                      int32_t max_value, int32_t nindex, int copy);
int QLTP_complkp_setbpdeck(complkp* table, int symbol, int left, int right);
int QLTP_complkp_setbpdecv(complkp* table, int symbol, int left, int right);
int QLTP_complkp_sethdeck(complkp* table, int node, uint32_t child0, uint32_t child1, uint32_t leaf);
int QLTP_complkp_sethdecv(complkp* table, int node, uint32_t child0, uint32_t child1, uint32_t leaf);
int QLTP_complkp_setidx(complkp* table, const char* key, int len, int32_t offset);

// Cursors. A lookup grows a cursor whose buffer is smaller than the table
// needs (QLTP_complkp_bufsz).
complkp_lkp* QLTP_complkp_lkp_new(uint32_t bufsz);
void QLTP_complkp_lkp_delete(complkp_lkp* cursor);
uint32_t QLTP_complkp_bufsz(const complkp* table);
int QLTP_complkp_lkp_reserve(complkp_lkp* cursor, uint32_t bufsz);
int QLTP_complkp_lkp_setword(complkp_lkp* cursor, const char* word, int len);

// Search: a key starts (position -1) or continues (position >= 0) a search;
// no key walks every entry in data order. 1 when an entry was decoded into
// the cursor, else 0.
int QLTP_complkp_lookup(const complkp* table, const char* key, int len, complkp_lkp* cursor);
// Decodes the entry at `entry` (inside the table's data) into `buffer` of the
// cursor's size and points the cursor's value just after the key's NUL (at
// the buffer's start when the key did not match): 1 decoded (key equal to the
// query or no query), 0 key of another length or below the query, -2 key
// above the query, -1 damaged or too long.
int QLTP_complkp_decode(const complkp* table, const unsigned char* entry, const char* key, int len,
                        char* buffer, complkp_lkp* cursor);

// Read and write. Readers give NULL for anything a writer would not produce;
// the size limit (-1: none) bounds D and every count.
complkp* QLTP_complkp_read_check(FILE* file, int swap, int64_t limit);
complkp* QLTP_complkp_read(FILE* file, int swap);
complkp* QLTPPy_complkp_load(const char* path);
int32_t QLTP_tpobj_complkp_write(const complkp* table, char* buffer, int swap);
int32_t QLTPPy_complkp_write(const complkp* table, QLTP_fixedbuf* buffer);
int QLTP_complkp_writetxt(const complkp* table, const char* path);
