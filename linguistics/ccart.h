// Compact CART: the letter-to-sound model of the pronunciation stage. One
// classification tree per letter, all packed in one byte block whose node
// fields take the smallest width (1, 2 or 4 bytes) that holds their largest
// value; an optional stress tree under the letter "0" with a per-letter
// score table picks the vowel that takes primary stress. The model is the
// database kind TPOBJ_CCART.
//
// Binary form, integers 32-bit in the writer's byte order:
//   N, h1 (context width), h2..h5 (widths of question, value, yes node and
//   no node of a non-terminal record), h6 (width of a terminal item), D,
//   N x (offset, nA, nB), letters and values (compact dictionaries),
//   outputs and questions (string arrays), D bytes of data.
// A tree at its offset: nA terminal items (output index), then nB records;
// node nA + i is record i and the root is node nA (node 0 for a lone
// terminal). The data ends with N 32-bit scores exactly when D is the node
// bytes plus 4N.
//
// Text form: "Number_Trees: N", then per tree a line
// "Letter: <letter> <label> <nA> <label> <nB>" followed by nA lines
// "T <output>" and nB lines "N <question> <value> <yes> <no>", told by that
// exact form (a first field "T" or "N" and two or five fields); blank lines
// (empty or white space only), lines beginning with "#" and lines of no
// other kind, such as "Trained on ..." or "Notes: ...", are skipped. Counts
// that do not match refuse the text.
#pragma once

#include <cstdint>
#include <cstdio>

struct complkp_lkp;
struct dict;
struct dystr;
struct logger;
struct lexmgr;
struct lts;
struct strarray;
struct tpdb;
struct QLTP_fixedbuf;

struct ccart {
  int32_t n;               // trees
  int32_t h1;              // context width: "#" on each side of a word
  int32_t h2, h3, h4, h5;  // record field widths: question, value, yes, no
  int32_t h6;              // terminal item width
  int32_t* trees;          // N x (offset, nA, nB)
  dict* letters;           // letter -> 1-based tree id
  strarray* outputs;       // terminal outputs: phones joined by "_", or "#"
  strarray* questions;     // question names; empty when stored as offsets
  dict* values;            // tested letters; a record holds id - 1
  int32_t size;            // D
  char* data;
  int32_t record_width;    // h2 + h3 + h4 + h5
  dystr* padded;           // scratch of the test operations
  dystr* result;
  int32_t* scores;         // one per tree, or NULL
};

// A node as a search reads it. For a question stored as an offset the name
// is rebuilt ("p.p.name" two places back, "n.name" one ahead).
struct ccartrecord {
  char question[64];
  const char* value;
  int32_t yes;
  int32_t no;
  const char* output;  // "" for a non-terminal
};

// Read and write the binary form. The reader gives the bytes it read, or 0
// (and no model) for a short or inconsistent form: widths other than 1, 2
// and 4, trees outside the data, indices outside their tables, node numbers
// outside their tree.
int32_t QLTP_ccart_read(FILE* file, ccart** out, int swap);
ccart* QLTPPy_ccart_load(const char* path);
int32_t QLTP_ccart_write_sz(const ccart* c);
char* QLTP_ccart_write(const ccart* c, char* buffer, int swap);
// Size without a buffer; with one, writes in host order and gives 0 (-1 when
// the buffer is too small).
int32_t QLTPPy_ccart_write(const ccart* c, QLTP_fixedbuf* buffer);
char* QLTP_ccart_byteswap_data(const ccart* c, char* data);

// Build from the text form or from a tree set; NULL when the text's counts
// do not match its lines or a node number lies outside its tree.
ccart* QLTP_deserialise_ccart(const char* text);
ccart* QLTP_ccart_readtxt(const char* path);
ccart* QLTP_ccart_new(const lts* set);
void QLTP_ccart_delete(ccart* c);

// Run: the word's phones with stress digits. Letters without a tree are
// taken from the lexicon manager's entries for the letter when one is given.
const char* QLTP_runccart(ccart* c, const char* word, logger* log, int verbose, dystr* padded, dystr* out,
                          lexmgr* lexicons, complkp_lkp* cursor, const char* language);
// The output of a terminal, "" for a non-terminal (record filled), NULL for
// a node outside the tree.
const char* QLTP_ccart_get_record(const ccart* c, int32_t tree, int32_t node, ccartrecord* record);
const char* QLTP_ccart_test(tpdb* db, const char* word, int verbose);
const char* QLTP_ccart_internal_test(ccart* c, const char* word, int verbose);
