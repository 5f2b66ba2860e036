#pragma once
// Phone array: the pronunciations of one spurt as phone slots, filled from
// blank-separated phoneme strings, marked with syllable and role boundaries
// and written back per token as spron.

#include <cstdint>

#include "foundation/array.h"

struct dystr;

// One phone. A name of up to three bytes sits in `symbol`; a longer one lives
// in the array's name pool (`long_name` is its offset there plus 1), so that
// long and multi-byte names are never cut.
struct phone_slot {
    char symbol[4];
    uint32_t long_name;
    uint8_t stress;  // '0' to '6', or 0 when none was given
    uint8_t syllable_end;
    uint8_t pron_end;
    uint8_t word_end;
    uint8_t role_change;
    uint32_t role;  // 0 none, 1 nucleus, 2 onset
};

// `slots` reserves 1,024 slots at creation and keeps them when cleared; the
// name pool is likewise cleared, not freed, between spurts.
struct phonearray {
    array* slots;
    dystr* names;
};

// Create and free
phonearray* QLTP_phonearray_new();
void QLTP_phonearray_clear(phonearray* a);
void QLTP_phonearray_delete(phonearray* a);

// Slots. A slot added with a long name must come from this array.
int QLTP_phonearray_sz(const phonearray* a);
int QLTP_phonearray_add(phonearray* a, const phone_slot* slot);
phone_slot* QLTP_phonearray_idx(const phonearray* a, int i);
const char* QLTP_phonearray_symbol(const phonearray* a, const phone_slot* slot);

// Pronunciations: append one phoneme string; write the spron of the one that
// begins at start and return the next one's first slot, or -1.
int QLTP_phone_add_pron(phonearray* a, const char* phonemes);
int QLTP_phone_get_pron(const phonearray* a, int start, dystr* out);
