// Letter-to-sound tree sets: one classification tree per letter whose
// questions test the letters around the current one and whose leaves give
// the current letter's phones. Nodes are fixed-width records described by
// field tables; the set is the database kind TPOBJ_CARTLTS.
//
// Serialised form (after the object's size word, or a whole file); integers
// are 32-bit in the writer's byte order, text lines end with "\n":
//   N, then N trees: an integer (skipped), lines T, terminal node size,
//   terminal field count F, T x size record bytes, F field descriptions,
//   a line U and, when U > 0, lines non-terminal size and field count, the
//   U x size record bytes and their field descriptions; then the letter line.
//   A field description: a type line ("S..." string, else number), a width
//   line, then a line of blank-separated strings or a bias line.
// Nodes 0..T-1 are terminals, T..T+U-1 non-terminals (question, value, yes
// node, no node); the root is node T, or node 0 for a lone terminal.
#pragma once

#include <cstdint>
#include <cstdio>

struct dict;
struct dystr;
struct logger;
struct strarray;
struct tpdb;
struct voidparray;

// One column of a node record.
struct ltsfield {
  int32_t type;       // 0 number, 1 string
  int32_t width;      // 1, 2 or 4 bytes
  strarray* strings;  // string fields: values by stored index
  int32_t bias;       // number fields: subtracted from the stored value
};

struct ltstree {
  int32_t terminal_size;
  int32_t nonterminal_size;
  int32_t terminal_count;     // T
  int32_t nonterminal_count;  // U
  voidparray* terminal_fields;
  voidparray* nonterminal_fields;
  char* terminal_data;     // T x terminal_size bytes
  char* nonterminal_data;  // U x nonterminal_size bytes
  char* letter;
  int32_t swap;  // multi-byte fields are in the other byte order
};

struct lts {
  dict* letters;       // letter -> 1-based tree id
  voidparray* trees;   // ltstree*, id - 1
  int32_t context;     // "#" characters on each side of a word
  dystr* padded;       // scratch of QLTP_lts_test
  dystr* result;
};

// A node as the search reads it: "#" question and value and nodes -1 for a
// terminal, "#" output for a non-terminal.
struct ltsrecord {
  const char* question;
  const char* value;
  int32_t yes;
  int32_t no;
  const char* output;
};

// Read and free. Readers refuse (NULL) short or inconsistent input: fields
// wider than their record, string indices outside their table, node numbers
// outside the tree, a letter given twice.
lts* QLTP_lts_load(FILE* file, int swap);
lts* QLTPPy_lts_load(const char* path);
ltstree* QLTP_deserialise_ltstree(const char* bytes, int32_t len, int swap);
void QLTP_lts_delete(lts* set);
void QLTP_ltstree_delete(ltstree* tree);
void QLTP_ltsfield_delete(ltsfield* field);

// Run: the word's phones, blank-separated, into out (padded gets the padded
// word). A letter without a tree is reported with code 11 when a logger is
// given and gives no phone.
const char* QLTP_runlts(lts* set, const char* word, logger* log, int verbose, dystr* padded, dystr* out);
const char* QLTP_lts_test(tpdb* db, const char* word, int verbose);
int QLTP_ltstree_get_record(const ltstree* tree, int32_t node, ltsrecord* record);

// The widest context the questions of a set ask for (count of "p" plus "n").
int32_t QLTP_lts_context_width(const lts* set);
// Steps left ("p") and right ("n") in a question name without its last four
// characters.
void QLTP_lts_question_steps(const char* name, int32_t* left, int32_t* right);

// Building, for tools that make trees.
lts* QLTP_lts_new();
ltstree* QLTP_ltstree_new();
ltsfield* QLTP_ltsfield_new(int32_t type, int32_t width);
int QLTP_ltsfield_addlookup(ltsfield* field, const char* text, int len);
void QLTP_ltsfield_setoffset(ltsfield* field, int32_t bias);
const char* QLTP_ltstree_addterminalnodes(ltstree* tree, int32_t count, int32_t size, const char* bytes);
const char* QLTP_ltstree_addnonterminalnodes(ltstree* tree, int32_t count, int32_t size, const char* bytes);
int QLTP_ltstree_addterminalfield(ltstree* tree, ltsfield* field);
int QLTP_ltstree_addnonterminalfield(ltstree* tree, ltsfield* field);
int QLTP_ltstree_addltr(ltstree* tree, const char* line);
// 0 when the tree's letter already has a tree (the set keeps its own).
int QLTP_lts_addtree(lts* set, ltstree* tree);
