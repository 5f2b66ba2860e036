// Expansion rules: turn a token's text, or a part a rule captured, into
// words read from the rule set's lookup tables. A rule component "H:<name>"
// calls the first rule of the table whose name begins with <name>.
//
// Every rule appends words to `out` (a value split at blanks, one record per
// word) and returns 1, 0 only where a rule says so. `attrs` are the calling
// component's other attributes (name, value, name, value ...), `params` the
// rule set's parameter set of the component's name, or NULL.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/array.h"
#include "foundation/strmap.h"

struct rinterp;
using dystrarray = array;

using QLTP_hrule_fn = int (*)(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs,
                              str2str* params);

inline constexpr int QLTP_HRULE_COUNT = 16;
// The names, ended by an empty string, and the functions, parallel.
extern const char* const QLTP_HRULE_NAMES[QLTP_HRULE_COUNT + 1];
extern const QLTP_hrule_fn QLTP_HRULES[QLTP_HRULE_COUNT];
// Index of the first rule whose first `len` characters are `name` (len < 0:
// up to the NUL), or -1.
int QLTP_hrule_find(const char* name, int len);

// Number rules and the arguments they read: the component's `case` and
// `maxlen`, the other fields from the parameter set; the parent table is
// the case table's "parent" entry.
struct number_args {
  std::string cas = "digitlkp";     // the case table
  std::string parent = "digitlkp";  // the table of the parts that do not agree
  std::string variant;              // the rule "number" hands over to
  int maxlen = 12;                  // longer numbers are spelt digit by digit
  char sep = ',';                   // digit-group separator
  bool reverse_tens = false, agree_all = false, leading_zero = false, no_join_delim = false,
       number_join = false, ignore_minus = false, zh_join = false, en_join = false;
};

// The generic recursive rule on a text with arguments already read.
int QLTP_hrule_numbers_recursive(rinterp* interp, const char* text, dystrarray* out, const number_args* args);
int QLTP_hrule_numbers(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_pt(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_ru(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_pl(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_zh(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_gd(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_ga(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_lt(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_ro(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);

// Other rules
int QLTP_hrule_aschars(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_asdigits(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_none(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_roman(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_filter(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
int QLTP_hrule_numbers_lt_with_ending(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs,
                                      str2str* params);
int QLTP_hrule_extdchars_it(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs,
                            str2str* params);
int QLTP_hrule_word(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params);
