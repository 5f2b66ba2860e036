// Pre-normalisation of a token: each character of the normalised text is
// tested against the rule set's "alpha" pattern, converted by its
// "convertillegal" lookup and downcased by its "downcase" lookup; the token's
// features 2 to 6 record what happened, and its tags so far are marked as
// the input's (tagmark).
#pragma once

#include "foundation/dystr.h"
#include "foundation/toxtoken.h"

struct nrules;

// scratch is a work string of the caller's; 1, or 0 without a token.
int QLTP_toxtoken_prenorm(nrules* rules, dystr* scratch, toxtoken* token);
