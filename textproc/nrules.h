// Normalisation rule sets as the token parsers and pre-normalisation reach
// them: three queries. Until rule sets can be stored in a database no set
// exists, so every query answers "absent".
#pragma once

#include "foundation/dystrarray.h"
#include "foundation/strutil.h"

struct nrules;
struct rinterp;

// Evaluates one component specification ("R:name", "L:table", ...) against a
// text; the count of what matched, 0 for no match or no set.
inline int QLTP_nrules_apply_component(nrules* set, rinterp* /*interpreter*/, const char* /*specification*/,
                                       int* /*ovector*/, dystrarray* /*output*/, dystrarray* /*attributes*/,
                                       const char* /*text*/) {
    return set ? 0 : 0;
}

// Runs the named pattern on the text from its first byte; the match count,
// 0 when the set has no such pattern or nothing matched.
inline int QLTP_nrules_rgx(nrules* /*set*/, const char* /*name*/, int /*nlen*/, const char* /*text*/,
                           int /*tlen*/, int* /*ovector*/) {
    return 0;
}

// The value stored under table and key (else the table's default); never
// NULL, the shared empty string when absent.
inline const char* QLTP_nrules_lkp(nrules* /*set*/, const char* /*table*/, int /*tlen*/, const char* /*key*/,
                                   int /*klen*/) {
    return QLTP_EMPTY_STRING;
}
