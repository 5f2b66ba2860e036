#pragma once
// Disambiguation and word segmentation: text written without blanks between
// its words (Japanese, Chinese) is cut into lexicon words, and long Swedish
// and Norwegian words missing from the lexicon are split into the words they
// are compounded from. Each run of tokens is searched as a lattice of lexicon
// matches (and, in Japanese, default readings per character class), scored by
// entry weights, word lengths and the costs of the context matrix between
// neighbouring words' classes. The normaliser owns the stage.
//
// Context matrix (`disamctxt`, objects "TPOBJ_DISAMCTXT:<NAME>"): n classes,
// cells of 8 (unsigned) or 16 (signed) bits, row = left class, column = right
// class, higher = less likely. Column n - 1 holds each row's mean and stands
// for a missing right context. Stored: int32 n, int32 bits, the n * n cells.

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/complkp.h"

struct channel;
struct dystr;
struct lexmgr;
struct nrules;
struct tpdb;
struct voidparray;
struct QLTP_fixedbuf;

struct disamctxt {
  int32_t n;
  int32_t bits;              // 8 or 16
  unsigned char* cells;      // n * n cells, row-major, host byte order
};

// One lexicon match or default reading at a position of the run.
struct disam_node {
  uint16_t chars;
  uint16_t bytes;
  int32_t weight;
  int16_t klass;             // context class
  int32_t context_cost;      // transition from the last left class scored
  int32_t rest;              // best score after the node
  int32_t total;
  int32_t next;              // best node after this one, -1 none
  int32_t path;              // nodes on the path from this one
  int32_t entry;             // ordinal of the lexicon entry, -1 default node
  const char* pos;           // POS of a default node
};

struct disambiguation {
  const char* name;          // "disambiguation"
  channel* ch;               // borrowed
  const char* language;      // borrowed from the database header
  const char* region;
  int32_t active;
  int32_t compound;          // Swedish and Norwegian
  lexmgr* lexicons;          // the channel's (borrowed)
  complkp_lkp* cursor;       // owned
  dystr* scratch;
  std::string run;           // text of the current run, at most 480 bytes
  std::vector<int32_t> offsets;          // byte offset of each character of the run, and the end
  std::vector<disam_node> nodes;         // the lattice of one run
  std::vector<int32_t> memo_first;       // per character: first node, -1 until expanded
  std::vector<int32_t> memo_count;
  const disamctxt* matrix;   // database's (borrowed) or NULL
  disam_node best[6];
  int32_t best_len;
  int32_t left;              // context class carried between runs
  int32_t right;             // right class of the run being searched
  int32_t japanese;
  int32_t pool_reported;     // the run's pool ran full
  nrules* rules;             // borrowed
  std::string previous_pos;  // POS of the last tagged token
};

// Limits of one run.
inline constexpr int QLTP_DISAM_RUN_BYTES = 480;
inline constexpr int QLTP_DISAM_RUN_TOKENS = 120;
inline constexpr int QLTP_DISAM_POOL = 14400;
inline constexpr int QLTP_DISAM_MAX_WORD = 20;
inline constexpr int QLTP_DISAM_BEST = 6;

// Stage lifecycle
disambiguation* QLTP_disambiguation_new(channel* ch);
void QLTP_disambiguation_reset_tpdb(disambiguation* stage, channel* ch);
void QLTP_disambiguation_reset(disambiguation* stage);
void QLTP_disambiguation_override_rules(disambiguation* stage, nrules* rules);
void QLTP_disambiguation_delete(disambiguation* stage);

// Segments the runs of the token array in place (flag 0x10: no Japanese
// tagging) and returns the array.
voidparray* QLTP_disambiguation_process(disambiguation* stage, voidparray* tokens, int flags);
// Segments one run text: the character length of the best segmentation's
// first word (0 for none), whose class becomes *left; the best path keeps
// its first words. Positions first met six words in are not opened: the
// rest of the text there scores as the mean column.
int QLTP_disambiguation_word_disam_n(disambiguation* stage, const char* text, int* left, int right, int mode);

// Compound part weight of a lexicon entry (Swedish and Norwegian).
int32_t QLTP_disambiguation_compound_weight(const char* entry);

// Context matrix
disamctxt* QLTP_disamctxt_new();
void QLTP_disamctxt_delete(disamctxt* m);
int32_t QLTP_disamctxt_lookup(const disamctxt* m, int i, int j);
// Text form: first line N, then lines whose third field is a cost, N to a
// row; n = N + 1 with the row means in the last column.
disamctxt* QLTP_deserialise_disamctxt(const char* text);
disamctxt* QLTP_disamctxt_readtxt(const char* path);
int32_t QLTPPy_disamctxt_write(const disamctxt* m, QLTP_fixedbuf* destination);
int QLTP_disam_test();

// The TPOBJ_DISAMCTXT kind
void* QLTP_tpobj_disamctxt_load(tpdb* db, int32_t offset);
int QLTP_tpobj_disamctxt_pstload(tpdb* db, void* object);
void QLTP_tpobj_disamctxt_delete(void* object);
int32_t QLTP_tpobj_disamctxt_write(void* object, char* destination, int swap);
