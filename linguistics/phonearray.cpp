#include "linguistics/phonearray.h"

#include <cstring>
#include <new>
#include <string>

#include "foundation/dystr.h"

namespace {

constexpr uint32_t kIncrement = 8;
constexpr uint32_t kKeep = 1024;
constexpr int kReserved = 1024;

phone_slot* last_slot(phonearray* a) {
    int n = QLTP_phonearray_sz(a);
    return n > 0 ? QLTP_phonearray_idx(a, n - 1) : nullptr;
}

// Appends the slot under construction with its name; 1, or 0 when out of memory.
int append_slot(phonearray* a, phone_slot* slot, const std::string& name) {
    if (name.size() < sizeof slot->symbol) {
        std::memcpy(slot->symbol, name.c_str(), name.size() + 1);
    } else {
        slot->long_name = static_cast<uint32_t>(QLTP_dystr_sz(a->names)) + 1;
        // The pool holds the names one after another, each with its NUL.
        if (!QLTP_dystr_append(a->names, name.data(), static_cast<int>(name.size())) ||
            !QLTP_dystr_append(a->names, "\0", 1))
            return 0;
    }
    return QLTP_array_append(a->slots, slot, 1);
}

}  // namespace

phonearray* QLTP_phonearray_new() {
    auto* a = new (std::nothrow) phonearray{};
    if (!a) return nullptr;
    a->slots = QLTP_array_new(kIncrement, kKeep, sizeof(phone_slot), 0);
    a->names = QLTP_dystr_newcustom(nullptr, 0, 64, 1 << 16);
    if (!a->slots || !a->names || !QLTP_array_extend(a->slots, kReserved)) {
        QLTP_phonearray_delete(a);
        return nullptr;
    }
    return a;
}

void QLTP_phonearray_clear(phonearray* a) {
    if (!a) return;
    QLTP_array_clear(a->slots);
    QLTP_dystr_clear(a->names);
}

void QLTP_phonearray_delete(phonearray* a) {
    if (!a) return;
    QLTP_array_delete(a->slots);
    QLTP_dystr_delete(a->names);
    delete a;
}

int QLTP_phonearray_sz(const phonearray* a) { return a ? static_cast<int>(a->slots->count) : 0; }

int QLTP_phonearray_add(phonearray* a, const phone_slot* slot) {
    if (!a || !slot) return 0;
    return QLTP_array_append(a->slots, slot, 1);
}

phone_slot* QLTP_phonearray_idx(const phonearray* a, int i) {
    return a ? static_cast<phone_slot*>(QLTP_array_idx(a->slots, i)) : nullptr;
}

const char* QLTP_phonearray_symbol(const phonearray* a, const phone_slot* slot) {
    if (!slot) return nullptr;
    if (!slot->long_name) return slot->symbol;
    if (!a || slot->long_name > static_cast<uint32_t>(QLTP_dystr_sz(a->names))) return "";
    return QLTP_dystr_cstr(a->names) + slot->long_name - 1;
}

int QLTP_phone_add_pron(phonearray* a, const char* phonemes) {
    if (!a || !phonemes) return 0;
    const int before = QLTP_phonearray_sz(a);
    phone_slot slot{};
    std::string name;
    bool empty = true;
    const char* p = phonemes;
    for (; *p; ++p) {
        const char c = *p;
        if (c == ' ' || c == '+' || c == '.') {
            if (!empty && !append_slot(a, &slot, name)) return 0;
            slot = phone_slot{};
            name.clear();
            empty = true;
            if (phone_slot* last = last_slot(a)) {
                if (c == '.') last->syllable_end = 1;
                if (c == '+') last->word_end = 0;
            }
        } else if (c >= '0' && c <= '6') {
            slot.stress = static_cast<uint8_t>(c);
            empty = false;
        } else {
            name.push_back(c);
            empty = false;
        }
    }
    if (!empty && !append_slot(a, &slot, name)) return 0;
    if (QLTP_phonearray_sz(a) > before) {
        phone_slot* last = last_slot(a);
        last->pron_end = 1;
        last->word_end = p[-1] == '+' ? 0 : 1;
    }
    return 1;
}

int QLTP_phone_get_pron(const phonearray* a, int start, dystr* out) {
    if (!out) return -1;
    QLTP_dystr_clear(out);
    const int n = QLTP_phonearray_sz(a);
    if (start < 0) return -1;
    for (int i = start; i < n; ++i) {
        const phone_slot* slot = QLTP_phonearray_idx(a, i);
        QLTP_dystr_append(out, QLTP_phonearray_symbol(a, slot), -1);
        if (slot->stress) QLTP_dystr_append(out, reinterpret_cast<const char*>(&slot->stress), 1);
        if (slot->syllable_end) {
            QLTP_dystr_append(out, "|", 1);
        } else if (slot->role_change) {
            QLTP_dystr_append(out, "+", 1);
        } else if (slot->pron_end) {
            return i + 1 < n ? i + 1 : -1;
        } else {
            QLTP_dystr_append(out, "_", 1);
        }
        if (slot->pron_end) return i + 1 < n ? i + 1 : -1;
    }
    return -1;
}
