#pragma once
// Japanese accent rules.
//
// An accent-combination rule ("acon") is a list of alternatives separated by
// '/'. An alternative may begin with conditions, each a POS prefix followed
// by '%' that the previous word's POS must begin with, and may end with '@'
// and a number: "N%a@2/b" gives "a" and 2 after a noun, else "b" and 0.

struct dystr;

// Resolves a rule for the previous word's POS: the first alternative whose
// conditions hold gives its text (into out when given) and its number (0
// without '@'); returns its index. None, or no rule: "*", 0 and -1.
int QLTP_accentjp_get_aconrule(const char* acon, const char* previous_pos, dystr* out, int* number);
