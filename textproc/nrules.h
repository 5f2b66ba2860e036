// Normalisation rule sets: named regular expressions, named lookup tables,
// rewrite rules grouped by type, orderings of groups and parameter sets of
// the expansion rules. Read from an XML rule file or from the database
// (kind TPOBJ_NRULES), read-only afterwards.
//
// A component buffer (a rule's match or replace half) is a sequence of
// components, each a run of "name\0value\0" attribute pairs ended by one
// extra NUL; after the last component one more NUL.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/array.h"
#include "foundation/strmap.h"

struct dict;
struct dystr;
struct intarray;
struct logger;
struct voidparray;
struct QLTP_regex;
struct QLTP_fixedbuf;
struct rinterp;
using dystrarray = array;

struct nrule {
  char* name;
  char* type;  // the group it belongs to
  int32_t matchlen;
  char* match;
  int32_t replacelen;
  char* replace;
};

struct nrules_reader;  // state while a rule file is read

struct nrules {
  logger* log;  // borrowed; NULL for a set read from a database
  QLTP_regex* rule_rgx;
  QLTP_regex* lkp_rgx;
  QLTP_regex* sep_rgx;
  dict* regex_names;         // id - 1 indexes regexes
  voidparray* regexes;       // QLTP_regex*, owned (NULL where an image was refused)
  voidparray* images;        // QLTP_fixedbuf* as read from a database, written back
                             // unchanged (NULL for a set read from a rule file)
  hashstrarray* lookups;     // "table" -> "LKPTABLE", "table:key" -> value
  strarray* default_tables;  // tables with a default ("table: ") entry
  strarray* numeric_tables;  // tables with keys made of digits only ...
  intarray* numeric_digits;  // ... and the most digits of such a key
  nrules_reader* reader;
  int32_t nlkp;
  int32_t nrgx;
  int32_t nrules;
  int32_t maxcomp;
  int32_t minpos;
  int32_t maxpos;
  voidparray* orderings;     // strarray* of group names
  dict* ordering_names;
  voidparray* groups;        // voidparray* of nrule*, file order
  dict* group_names;
  voidparray* hrules;        // str2str* parameter sets
  dict* hrule_names;
  uint64_t serial;           // distinct for every set made in the process
};

// Create and free
nrules* QLTP_nrules_newcustom(int nrgx, int nlkp, int norderings, int ngroups, int nhrules, int maxcomp,
                              int minpos, int maxpos, int create);
nrules* QLTP_nrules_new();
void QLTP_nrules_delete(nrules* set);
nrule* QLTP_nrule_new();
void QLTP_nrule_delete(nrule* rule);

// Rule files
nrules* QLTP_deserialise_nrules(logger* log, const char* text);
nrules* QLTP_nrules_readxml(const char* path);

// Serial form and the TPOBJ_NRULES kind
nrules* QLTP_nrules_read(FILE* file, int swap);
struct tpdb;
void* QLTP_tpobj_nrules_load(tpdb* db, int32_t offset);
int QLTP_tpobj_nrules_pstload(tpdb* db, void* set);
void QLTP_tpobj_nrules_delete(void* set);
int32_t QLTP_tpobj_nrules_write(void* set, char* destination, int swap);
int32_t QLTP_nrule_write_sz(const nrule* rule);
char* QLTP_nrule_write(const nrule* rule, char* destination, int swap);
int32_t QLTP_nrule_read(FILE* file, nrule** rule, int swap);
nrules* QLTPPy_nrules_load(const char* path);
int32_t QLTPPy_nrules_write(nrules* set, QLTP_fixedbuf* buffer);

// Queries (negative lengths: up to the NUL)
QLTP_regex* QLTP_nrules_getrgx(const nrules* set, const char* name, int len);
int QLTP_nrules_rgx(const nrules* set, const char* name, int namelen, const char* text, int textlen,
                    int* ovector);
const char* QLTP_nrules_lkp(const nrules* set, const char* table, int tlen, const char* key, int klen);
// The most digits of a key made of digits only in the table, 0 when there
// is none, INT32_MAX when the table has a default: the number rules skip
// lookups of longer numbers.
int QLTP_nrules_numeric_digits(const nrules* set, const char* table, int len);
void QLTP_nrules_update_buffersz(const nrules* set, int* maxcomp, int* minpos, int* maxpos);
int QLTP_nrules_apply_component(nrules* set, rinterp* interp, const char* spec, int* ovector,
                                dystrarray* output, dystrarray* attributes, const char* text);

// An "R" component whose pattern was found already (NULL: 0): the match
// count, with the match or its groups appended to output when given.
int QLTP_nrules_apply_rgx(const QLTP_regex* re, int* ovector, dystrarray* output, const char* text);

// Renderings in the rule-file syntax
int QLTP_nrule_print(const nrule* rule, dystr* out);
int QLTP_nrules_print(const nrules* set, dystr* out);

int QLTP_nrules_extract_strings();
// Gathers the markup scanner's patterns from the set into a 17-slot table;
// 1 only when every slot is filled (the set names no pattern for slots 9,
// 10 and 14 to 16, so 0 in practice).
int QLTP_nrules_tpxml_regex(const nrules* set, QLTP_regex** table);
