#include "foundation/toxtoken.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/strutil.h"
#include "foundation/toxspurt.h"

const char* const QLTP_TAGTYPE_NAME[6] = {"start", "end", "mid", "startend", "closed", ""};
const char* const QLTP_TOXTAG_COPY_IN_EXPANSION[4] = {"sig", "prosody", "usel", ""};

namespace {

constexpr int kTokenStrings = 5;
enum { kText = 0, kPrePunc = 1, kPstPunc = 2, kMarker = 3, kPos = 4 };

std::string_view piece(const char* s, int len) {
    if (!s) return {};
    if (len < 0) return {s, std::strlen(s)};
    const void* nul = std::memchr(s, 0, static_cast<size_t>(len));
    return {s, nul ? static_cast<size_t>(static_cast<const char*>(nul) - s) : static_cast<size_t>(len)};
}

// The packed string records written in place when the storage has room,
// laid out exactly as the string array lays them out: a length byte, the
// string, at least one NUL, an even length. Tokens and tags are written
// once per word, so the general record walk is kept for the rare cases.
constexpr unsigned kLongRecord = 255;

int record_len_for(size_t n) { return 2 * ((static_cast<int>(n) + 2) / 2) + 2; }

bool outside(const array* a, std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    return !a->storage || p < a->storage || p >= a->storage + a->capacity;
}

int append_record(array* a, std::string_view s) {
    int reclen = record_len_for(s.size());
    if (s.size() > 200 || !outside(a, s) || uint64_t{a->count} + reclen > a->capacity)
        return QLTP_dystrarray_add(a, s.data(), static_cast<int>(s.size()));
    unsigned char* rec = a->storage + a->count;
    rec[0] = static_cast<unsigned char>(reclen);
    if (!s.empty()) std::memcpy(rec + 1, s.data(), s.size());
    std::memset(rec + 1 + s.size(), 0, static_cast<size_t>(reclen) - 1 - s.size());
    a->count += static_cast<uint32_t>(reclen);
    return 1;
}

// Record 0 replaced; widened as the string array widens a record.
int replace_first_record(array* a, std::string_view s) {
    unsigned have = a->count >= 2 ? a->storage[0] : 0;
    if (s.size() > 200 || have < 2 || have >= kLongRecord || have > a->count || !outside(a, s))
        return QLTP_dystrarray_replace(a, 0, s.data(), static_cast<int>(s.size()));
    auto b = static_cast<int64_t>(s.size());
    if (have < b + 2) {
        int64_t grow = ((b - have) & ~int64_t{1}) + 4;
        if (a->count + grow > a->capacity || have + grow >= kLongRecord)
            return QLTP_dystrarray_replace(a, 0, s.data(), static_cast<int>(s.size()));
        std::memmove(a->storage + have + grow, a->storage + have, a->count - have);
        a->count += static_cast<uint32_t>(grow);
        have += static_cast<unsigned>(grow);
        a->storage[0] = static_cast<unsigned char>(have);
    }
    if (b > 0) std::memcpy(a->storage + 1, s.data(), s.size());
    std::memset(a->storage + 1 + b, 0, have - 1 - static_cast<size_t>(b));
    return 1;
}

// Back to n empty records without a trip through the allocator.
int reset_records(array* a, int n) {
    if (a->capacity > a->keep || a->capacity < static_cast<uint32_t>(2 * n) || !a->storage)
        return QLTP_dystrarray_clear(a, n);
    for (int i = 0; i < n; ++i) {
        a->storage[2 * i] = 2;
        a->storage[2 * i + 1] = 0;
    }
    a->count = static_cast<uint32_t>(2 * n);
    return 1;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

int copy_flag_for(std::string_view name) {
    for (int i = 0; QLTP_TOXTAG_COPY_IN_EXPANSION[i][0]; ++i)
        if (iequals_ascii(name, QLTP_TOXTAG_COPY_IN_EXPANSION[i])) return 1;
    return 0;
}

int tag_count(const toxtoken* t) { return t ? QLTP_voidparray_sz(t->tags) : 0; }
toxtag* tag_at(const toxtoken* t, int i) { return static_cast<toxtag*>(QLTP_voidparray_idx(t->tags, i)); }

int index_of(const toxtoken* t, const toxtag* tag) {
    int n = tag_count(t);
    for (int i = 0; i < n; ++i)
        if (tag_at(t, i) == tag) return i;
    return -1;
}

void note_tag_released(toxtag* tag) {
    if (tag->home) QLTP_toxpool_released(tag->home, &toxpool::tags, tag);
}

void note_token_released(toxtoken* token) {
    if (token->home) QLTP_toxpool_released(token->home, &toxpool::tokens, token);
}

// Sets the fellow and keeps the back link of the tag that is followed. A
// split copy shares its fellow with the next token's tag, so it links
// without taking over the back link.
void set_fellow(toxtag* tag, toxtag* fellow, bool backlink = true) {
    if (tag->fellow && tag->fellow->follower == tag) tag->fellow->follower = nullptr;
    tag->fellow = fellow;
    if (fellow && backlink) fellow->follower = tag;
}

// Cuts the links that point at a tag which stops being on its token: the
// next token's tag and the tags of the token's expansion chain.
void cut_links_to(toxtag* tag, const toxtoken* token) {
    if (tag->follower && tag->follower->fellow == tag) tag->follower->fellow = nullptr;
    tag->follower = nullptr;
    for (const toxtoken* t = token ? token->next : nullptr; t; t = t->next) {
        int n = tag_count(t);
        for (int i = 0; i < n; ++i)
            if (tag_at(t, i)->fellow == tag) tag_at(t, i)->fellow = nullptr;
    }
}

// Takes tag i out of the token's list, keeping tagmark on the same tags.
void take_out(toxtoken* token, int i) {
    QLTP_voidparray_remove_item(token->tags, i);
    if (i < token->tagmark) --token->tagmark;
}

// Removes tag i from the token and makes it free; links to it are cut.
void release_from(toxtoken* token, int i) {
    toxtag* tag = tag_at(token, i);
    take_out(token, i);
    cut_links_to(tag, token);
    bool owned = tag->parent != nullptr;
    tag->parent = nullptr;
    if (owned) note_tag_released(tag);
}

// Attribute pairs: calls f(name, value) until it returns true.
template <class F>
const char* find_attrib(const toxtag* tag, F f) {
    if (!tag) return nullptr;
    const char* name = QLTP_dystrarray_idx(tag->strings, 1);
    while (name) {
        const char* value = QLTP_dystrarray_next(tag->strings, name);
        if (!value) return nullptr;
        if (f(name, value)) return value;
        name = QLTP_dystrarray_next(tag->strings, value);
    }
    return nullptr;
}

bool name_is(const toxtag* tag, const char* name) {
    return name == nullptr || std::strcmp(QLTP_toxtag_name(tag), name) == 0;
}

int set_string(toxtoken* token, int i, const char* text, int len) {
    if (!token) return 0;
    return QLTP_dystrarray_replace(token->strings, i, text ? text : "", text ? len : 0);
}

const char* get_string(const toxtoken* token, int i) {
    return token ? QLTP_dystrarray_idx(token->strings, i) : nullptr;
}

// A tag or token and the records of its arrays share one allocation.
struct TagBlock {
    toxtag tag;
    array strings;
};
struct TokenBlock {
    toxtoken token;
    array strings;
    voidparray tags;
    dystr norm;
};

void free_token_storage(toxtoken* token) {
    QLTP_free(token->strings->storage);
    QLTP_free(token->tags->storage);
    QLTP_free(token->norm->chars.storage);
    QLTP_free(reinterpret_cast<TokenBlock*>(token));
}

void print_line(const toxtoken* token, dystr* out) {
    QLTP_dystr_append2(out, QLTP_toxtoken_get(token), -1, " ", 1);
    QLTP_dystr_appendint(out, token->id);
    QLTP_dystr_append3(out, " {[", 3, QLTP_dystr_cstr(token->norm), -1, "] ", 2);
    QLTP_dystr_appendint(out, token->index);
    QLTP_dystr_append3(out, " ", 1, get_string(token, kMarker), -1, " [", 2);
    QLTP_dystr_append4(out, QLTP_toxtoken_getprepunc(token), -1, "][", 2, QLTP_toxtoken_getpstpunc(token), -1,
                       "][", 2);
    char flags[5];
    for (int i = 0; i < 5; ++i) flags[i] = token->features[QLTP_FEAT_DOWNCASED + i] ? 'T' : 'F';
    QLTP_dystr_append3(out, flags, 5, "]} p", 4, QLTP_toxtoken_getpos(token), -1);
    QLTP_dystr_append(out, " ", 1);
    int n = tag_count(token);
    for (int i = 0; i < n; ++i) {
        if (i) QLTP_dystr_append(out, ",", 1);
        QLTP_toxtag_print(tag_at(token, i), out);
    }
    QLTP_dystr_append(out, "\n", 1);
}

}  // namespace

// ---- tags -----------------------------------------------------------------

toxtag* QLTP_toxtag_new() {
    // The tag and its string array's record share one allocation: pools hold
    // many thousands of tags.
    auto* block = static_cast<TagBlock*>(QLTP_calloc(1, sizeof(TagBlock)));
    if (!block) return nullptr;
    toxtag* tag = &block->tag;
    tag->strings = &block->strings;
    QLTP_array_init(tag->strings, 64, 512, 1, 0);
    if (!QLTP_array_extend(tag->strings, 256) || !QLTP_dystrarray_clear(tag->strings, 1)) {
        QLTP_toxtag_delete(tag);
        return nullptr;
    }
    return tag;
}

void QLTP_toxtag_delete(toxtag* tag) {
    if (!tag) return;
    QLTP_free(tag->strings->storage);
    QLTP_free(reinterpret_cast<TagBlock*>(tag));
}

void QLTP_toxtag_clear(toxtag* tag) {
    if (!tag) return;
    bool owned = tag->parent != nullptr;
    cut_links_to(tag, nullptr);
    set_fellow(tag, nullptr);
    reset_records(tag->strings, 1);
    tag->parent = nullptr;
    tag->type = 0;
    tag->copy_in_expansion = 0;
    if (owned) note_tag_released(tag);
}

bool QLTP_toxtag_pristine(const toxtag* tag) {
    // Clearing leaves one empty record of two bytes.
    return tag && !tag->parent && !tag->fellow && !tag->follower && tag->type == 0 && !tag->copy_in_expansion &&
           tag->strings->count == 2 && tag->strings->storage[1] == 0;
}

void QLTP_toxtag_clear_attribs(toxtag* tag) {
    if (!tag) return;
    std::string name = QLTP_toxtag_name(tag);
    QLTP_dystrarray_clear(tag->strings, 1);
    QLTP_dystrarray_replace(tag->strings, 0, name.data(), static_cast<int>(name.size()));
}

int QLTP_toxtag_init(toxtag* tag, toxtoken* parent, const char* name, int len, int type) {
    if (!tag) return 0;
    tag->parent = parent;
    tag->type = type;
    return QLTP_toxtag_set_name(tag, name, len);
}

int QLTP_toxtag_set_name(toxtag* tag, const char* name, int len) {
    if (!tag) return 0;
    std::string_view n = piece(name, len);
    tag->copy_in_expansion = copy_flag_for(n);
    // A tag with no attributes yet (the usual case) gets its name record
    // written afresh instead of widened in place.
    array* s = tag->strings;
    if (s->count > 0 && s->storage[0] == s->count && outside(s, n)) {
        s->count = 0;
        return append_record(s, n);
    }
    return QLTP_dystrarray_replace(s, 0, n.data(), static_cast<int>(n.size()));
}

int QLTP_toxtag_set_attrib(toxtag* tag, const char* name, int nlen, const char* value, int vlen) {
    if (!tag || !name) return 0;
    std::string_view n = piece(name, nlen);
    std::string_view v = piece(value, vlen);
    array* s = tag->strings;
    // A tag holding only its name (the usual case) takes the pair at once.
    if (s->count > 0 && s->storage[0] == s->count && s->storage[0] < kLongRecord)
        return append_record(s, n) && append_record(s, v);
    // Only an attribute of exactly this name is replaced: "lts" must not
    // overwrite "ltsname".
    int i = 1;
    for (const char* a = QLTP_dystrarray_idx(tag->strings, 1); a; i += 2) {
        const char* value = QLTP_dystrarray_next(tag->strings, a);
        if (!value) break;
        if (n == a) return QLTP_dystrarray_replace(tag->strings, i + 1, v.data(), static_cast<int>(v.size()));
        a = QLTP_dystrarray_next(tag->strings, value);
    }
    return append_record(s, n) && append_record(s, v);
}

int QLTP_toxtag_add_attrib(toxtag* tag, const char* name, int nlen, const char* value, int vlen) {
    return QLTP_toxtag_set_attrib(tag, name, nlen, value, vlen);
}

int QLTP_toxtag_set_attrib_int(toxtag* tag, const char* name, int nlen, int n) {
    char buf[16];
    int len = std::snprintf(buf, sizeof buf, "%d", n);
    return QLTP_toxtag_set_attrib(tag, name, nlen, buf, len);
}

int QLTP_toxtag_set_attrib_float(toxtag* tag, const char* name, int nlen, float x) {
    char buf[64];
    int len = std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(x));
    if (len < 0 || len >= static_cast<int>(sizeof buf)) len = static_cast<int>(std::strlen(buf));
    return QLTP_toxtag_set_attrib(tag, name, nlen, buf, len);
}

int QLTP_toxtag_set_attrib_fixedpoint(toxtag* tag, const char* name, int nlen, int64_t value, int ndec) {
    // Work on the magnitude so that negatives read "-1.500", not "-1.-500".
    ndec = std::clamp(ndec, 0, 18);
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    uint64_t p = 1;
    for (int i = 0; i < ndec; ++i) p *= 10;
    const uint64_t q = magnitude / p, r = magnitude % p;
    char buf[48];
    int len = r ? std::snprintf(buf, sizeof buf, "%s%" PRIu64 ".%0*" PRIu64, value < 0 ? "-" : "", q, ndec, r)
                : std::snprintf(buf, sizeof buf, "%s%" PRIu64, value < 0 ? "-" : "", q);
    return QLTP_toxtag_set_attrib(tag, name, nlen, buf, len);
}

int QLTP_toxtag_no_attribs(const toxtag* tag) { return tag ? QLTP_dystrarray_sz(tag->strings) - 1 : 0; }

const char* QLTP_toxtag_val(const toxtag* tag, const char* attribute) {
    if (!attribute) return nullptr;
    return find_attrib(tag, [&](const char* n, const char*) { return std::strcmp(n, attribute) == 0; });
}

const char* QLTP_toxtag_name(const toxtag* tag) {
    if (!tag) return nullptr;
    const char* name = QLTP_dystrarray_idx(tag->strings, 0);
    return name ? name : "";
}

int QLTP_toxtag_settype(toxtag* tag, int type) {
    if (!tag) return 0;
    tag->type = type;
    if (type == QLTP_TAG_START || type == QLTP_TAG_STARTEND || type == QLTP_TAG_CLOSED) set_fellow(tag, nullptr);
    return 1;
}

int QLTP_toxtag_type(const toxtag* tag) { return tag ? tag->type : -1; }

void QLTP_toxtag_setparent(toxtag* tag, toxtoken* token) {
    if (!tag) return;
    bool released = tag->parent != nullptr && token == nullptr;
    tag->parent = token;
    if (released) note_tag_released(tag);
}

toxtag* QLTP_toxtag_get_fellow(const toxtag* tag) { return tag ? tag->fellow : nullptr; }
void QLTP_toxtag_set_fellow(toxtag* tag, toxtag* fellow) {
    if (tag) set_fellow(tag, fellow);
}

toxtoken* QLTP_toxtag_get_parent(const toxtag* tag) { return tag ? tag->parent : nullptr; }

int QLTP_toxtag_copy(const toxtag* source, toxtag* destination) {
    if (!source || !destination || source == destination) return 0;
    destination->type = source->type;
    destination->copy_in_expansion = source->copy_in_expansion;
    destination->parent = nullptr;
    return QLTP_dystrarray_copy(source->strings, destination->strings);
}

toxtag* QLTP_toxtag_newbreak(toxtag* tag, toxtoken* parent, int break_type, int time_ms) {
    if (!tag) return nullptr;
    QLTP_toxtag_clear_attribs(tag);
    QLTP_toxtag_init(tag, parent, "break", 5, QLTP_TAG_CLOSED);
    set_fellow(tag, nullptr);
    QLTP_toxtag_set_attrib_int(tag, "type", 4, break_type);
    QLTP_toxtag_set_attrib_fixedpoint(tag, "time", 4, time_ms, 3);
    return tag;
}

toxtag* QLTP_toxtag_split(toxpool* pool, toxtag* tag) {
    if (!tag || tag->type < 0 || tag->type > QLTP_TAG_CLOSED) return nullptr;
    toxtag* copy = QLTP_toxpool_tag(pool);
    if (!copy) return nullptr;
    QLTP_toxtag_copy(tag, copy);
    set_fellow(copy, tag, false);
    switch (tag->type) {
        case QLTP_TAG_START: copy->type = QLTP_TAG_MID; break;
        case QLTP_TAG_END: tag->type = QLTP_TAG_MID; break;
        case QLTP_TAG_STARTEND:
            tag->type = QLTP_TAG_START;
            copy->type = QLTP_TAG_END;
            break;
        case QLTP_TAG_CLOSED: {
            set_fellow(copy, nullptr);
            int i = index_of(tag->parent, tag);
            if (i >= 0) release_from(tag->parent, i);
            break;
        }
        default: break;
    }
    return copy;
}

const char* QLTP_toxtag_typename(int type) {
    return (type >= 0 && type <= QLTP_TAG_CLOSED) ? QLTP_TAGTYPE_NAME[type] : QLTP_TAGTYPE_NAME[5];
}

int QLTP_toxtag_print(const toxtag* tag, dystr* out) {
    if (!tag || !out) return 0;
    QLTP_dystr_append4(out, QLTP_toxtag_name(tag), -1, " ", 1, QLTP_toxtag_typename(tag->type), -1, " {", 2);
    bool first = true;
    find_attrib(tag, [&](const char* n, const char* v) {
        if (!first) QLTP_dystr_append(out, ",", 1);
        first = false;
        QLTP_dystr_append4(out, "'", 1, n, -1, "': '", 4, v, -1);
        QLTP_dystr_append(out, "'", 1);
        return false;
    });
    return QLTP_dystr_append(out, "}", 1);
}

void QLTP_toxtag_printf(const toxtag* tag) {
    dystr* out = QLTP_dystr_new("", 0);
    if (!out) return;
    QLTP_toxtag_print(tag, out);
    std::fputs(QLTP_dystr_cstr(out), stdout);
    QLTP_dystr_delete(out);
}

// ---- tokens ---------------------------------------------------------------

toxtoken* QLTP_toxtoken_new() {
    auto* block = static_cast<TokenBlock*>(QLTP_calloc(1, sizeof(TokenBlock)));
    if (!block) return nullptr;
    toxtoken* token = &block->token;
    token->strings = &block->strings;
    token->tags = &block->tags;
    token->norm = &block->norm;
    QLTP_array_init(token->strings, 64, 512, 1, 0);
    QLTP_array_init(token->tags, 8, 64, sizeof(void*), 0);
    QLTP_array_init(&token->norm->chars, 64, 256, 1, 0);
    // Text and tag list are allocated first, next to the token: a parser
    // writes them together. The norm is reserved before its terminator goes
    // in, so that its 64 bytes are one allocation rather than two.
    bool made = QLTP_dystrarray_clear(token->strings, kTokenStrings) && QLTP_array_extend(token->tags, 8) &&
                QLTP_dystr_extend(token->norm, 64);
    QLTP_dystr_clear(token->norm);
    if (!made || QLTP_dystr_sz(token->norm) != 0) {
        free_token_storage(token);
        return nullptr;
    }
    token->id = token->index = token->tagmark = -1;
    return token;
}

void QLTP_toxtoken_delete(toxtoken* token) {
    if (!token) return;
    QLTP_toxtoken_clear(token);
    free_token_storage(token);
}

void QLTP_toxtoken_clear(toxtoken* token) {
    if (!token) return;
    // The expansion chain goes first: its tags point at this token's tags.
    toxtoken* chain = token->next;
    token->next = nullptr;
    while (chain) {
        toxtoken* following = chain->next;
        chain->next = nullptr;
        QLTP_toxtoken_clear(chain);
        chain = following;
    }
    int n = tag_count(token);
    for (int i = 0; i < n; ++i) {
        // A tag that another token took over is not this token's to clear.
        toxtag* tag = tag_at(token, i);
        if (tag->parent == token) QLTP_toxtag_clear(tag);
    }
    QLTP_voidparray_clear(token->tags);
    reset_records(token->strings, kTokenStrings);
    // An empty norm is already terminated; leave its storage untouched.
    if (token->norm->chars.count != 1 || token->norm->chars.capacity > token->norm->chars.keep)
        QLTP_dystr_clear(token->norm);
    bool owned = token->parent != nullptr;
    token->parent = nullptr;
    token->origin = nullptr;
    token->id = token->index = token->tagmark = -1;
    std::memset(token->features, 0, sizeof token->features);
    if (owned) note_token_released(token);
}

bool QLTP_toxtoken_pristine(const toxtoken* token) {
    static const char kNoFeatures[QLTP_TOXTOKEN_FEATURES] = {};
    if (!token || token->parent || token->next || token->origin || token->tags->count || token->id != -1 ||
        token->index != -1 || token->tagmark != -1 || QLTP_dystr_sz(token->norm) != 0 ||
        std::memcmp(token->features, kNoFeatures, sizeof kNoFeatures) != 0 || token->strings->count != 2 * kTokenStrings)
        return false;
    for (int i = 0; i < kTokenStrings; ++i)
        if (token->strings->storage[2 * i + 1] != 0) return false;
    return true;
}

int QLTP_toxtoken_set(toxtoken* token, const char* text, int len) {
    if (!token) return 0;
    return replace_first_record(token->strings, piece(text ? text : "", text ? len : 0));
}
int QLTP_toxtoken_setprepunc(toxtoken* token, const char* text, int len) {
    return set_string(token, kPrePunc, text, len);
}
int QLTP_toxtoken_setpstpunc(toxtoken* token, const char* text, int len) {
    return set_string(token, kPstPunc, text, len);
}

int QLTP_toxtoken_setpos(toxtoken* token, const char* pos, int len, const char* sub, int sublen) {
    if (!token) return 0;
    std::string_view p = piece(pos, len);
    if (!set_string(token, kPos, p.data(), static_cast<int>(p.size()))) return 0;
    if (sub && p.find('_') == std::string_view::npos) {
        std::string_view s = piece(sub, sublen);
        QLTP_dystrarray_append(token->strings, kPos, "_", 1);
        QLTP_dystrarray_append(token->strings, kPos, s.data(), static_cast<int>(s.size()));
    }
    return 1;
}

const char* QLTP_toxtoken_get(const toxtoken* token) { return get_string(token, kText); }
const char* QLTP_toxtoken_getprepunc(const toxtoken* token) { return get_string(token, kPrePunc); }
const char* QLTP_toxtoken_getpstpunc(const toxtoken* token) { return get_string(token, kPstPunc); }
const char* QLTP_toxtoken_getpos(const toxtoken* token) { return get_string(token, kPos); }

int QLTP_toxtoken_set_norm(toxtoken* token, const char* text, int len) {
    if (!token) return 0;
    std::string_view t = piece(text, len);
    return QLTP_dystr_replace(token->norm, t.data(), static_cast<int>(t.size()));
}

const char* QLTP_toxtoken_getnorm(const toxtoken* token) { return token ? QLTP_dystr_cstr(token->norm) : nullptr; }

int QLTP_toxtoken_norm_truncate(toxtoken* token, int n) {
    if (!token) return 0;
    return QLTP_dystr_truncate(token->norm, n);
}

void QLTP_toxtoken_setid(toxtoken* token, int id) {
    if (token) token->id = id;
}

void QLTP_toxtoken_setparent(toxtoken* token, void* parent) {
    if (!token) return;
    bool released = token->parent != nullptr && parent == nullptr;
    token->parent = parent;
    if (released) note_token_released(token);
}

void QLTP_toxtoken_setfeat(toxtoken* token, int i, int flag) {
    if (token && i >= 0 && i < QLTP_TOXTOKEN_FEATURES) token->features[i] = flag ? 't' : 0;
}

int QLTP_toxtoken_getfeat(const toxtoken* token, int i) {
    return (token && i >= 0 && i < QLTP_TOXTOKEN_FEATURES && token->features[i] == 't') ? 1 : 0;
}

int QLTP_toxtoken_addtag(toxtoken* token, toxtag* tag) {
    if (!token || !tag) return 0;
    tag->parent = token;
    return QLTP_voidparray_add(token->tags, tag);
}

int QLTP_toxtoken_addtag_front(toxtoken* token, toxtag* tag) {
    if (!token || !tag) return 0;
    tag->parent = token;
    return QLTP_voidparray_insert_item(token->tags, tag, 0);
}

int QLTP_toxtoken_removetag(toxtoken* token, toxtag* tag) {
    if (!token || !tag) return 0;
    int i = index_of(token, tag);
    if (i < 0) return 0;
    release_from(token, i);
    return 1;
}

int QLTP_toxtoken_removetag_named(toxtoken* token, const char* name) {
    if (!token || !name) return 0;
    int count = 0;
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* tag = tag_at(token, i);
        if (std::strcmp(QLTP_toxtag_name(tag), name) != 0) continue;
        release_from(token, i);
        QLTP_toxtag_clear(tag);
        ++count;
    }
    return count;
}

int QLTP_toxtoken_replacetag(toxtoken* token, toxtag* tag) {
    if (!token || !tag) return 0;
    std::string name = QLTP_toxtag_name(tag);
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* t = tag_at(token, i);
        if (name != QLTP_toxtag_name(t)) continue;
        if (t == tag) {
            take_out(token, i);
            continue;
        }
        release_from(token, i);
        QLTP_toxtag_clear(t);
    }
    return QLTP_toxtoken_addtag(token, tag);
}

int QLTP_toxtoken_move_tag(toxtoken* token, toxtag* tag, int index) {
    if (!token || !tag) return 0;
    int i = index_of(token, tag);
    if (i < 0) return 0;
    take_out(token, i);
    int n = tag_count(token);
    if (index < 0 || index > n) index = n;
    QLTP_voidparray_insert_item(token->tags, tag, index);
    if (index < token->tagmark) ++token->tagmark;
    return 1;
}

int QLTP_toxtoken_replace_tags(toxtoken* token, const voidparray* tags) {
    if (!token) return 0;
    int m = QLTP_voidparray_sz(tags);
    // Old tags that the new list leaves out are released, not left owned by
    // a token that no longer lists them.
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* old = tag_at(token, i);
        bool kept = false;
        for (int k = 0; k < m && !kept; ++k) kept = QLTP_voidparray_idx(tags, k) == old;
        if (!kept && old->parent == token) release_from(token, i);
    }
    QLTP_voidparray_clear(token->tags);
    for (int k = 0; k < m; ++k)
        if (auto* tag = static_cast<toxtag*>(QLTP_voidparray_idx(tags, k))) QLTP_toxtoken_addtag(token, tag);
    token->tagmark = std::min(token->tagmark, tag_count(token));
    return m;
}

int QLTP_toxtoken_notags(const toxtoken* token) { return tag_count(token); }

toxtag* QLTP_toxtoken_tagidx(const toxtoken* token, int i) {
    return token ? static_cast<toxtag*>(QLTP_voidparray_idx(token->tags, i)) : nullptr;
}

toxtag* QLTP_toxtoken_gettag(const toxtoken* token, const char* name) {
    for (int i = tag_count(token) - 1; i >= 0; --i)
        if (name_is(tag_at(token, i), name)) return tag_at(token, i);
    return nullptr;
}

const char* QLTP_toxtoken_tagval(const toxtoken* token, const char* name, const char* attribute) {
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* tag = tag_at(token, i);
        if (!name_is(tag, name)) continue;
        if (!attribute) return name ? name : QLTP_toxtag_name(tag);
        if (const char* v = QLTP_toxtag_val(tag, attribute)) return v;
    }
    return nullptr;
}

toxtag* QLTP_toxtoken_gettag_attrib(const toxtoken* token, const char* name, const char* attribute,
                                    const char* value) {
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* tag = tag_at(token, i);
        if (!name_is(tag, name)) continue;
        bool hit = find_attrib(tag, [&](const char* n, const char* v) {
                       return (!attribute || std::strcmp(n, attribute) == 0) &&
                              (!value || std::strcmp(v, value) == 0);
                   }) != nullptr;
        if (hit) return tag;
    }
    return nullptr;
}

toxtag* QLTP_toxtoken_gettag_match(const toxtoken* token, const toxtag* tag) {
    if (!tag) return nullptr;
    const char* name = QLTP_toxtag_name(tag);
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        toxtag* candidate = tag_at(token, i);
        if (!name_is(candidate, name)) continue;
        bool missing = find_attrib(tag, [&](const char* n, const char* v) {
                           const char* have = QLTP_toxtag_val(candidate, n);
                           return !have || std::strcmp(have, v) != 0;
                       }) != nullptr;
        if (!missing) return candidate;
    }
    return nullptr;
}

int QLTP_toxtoken_setdefault_tagval(toxtoken* token, const char* name, const char* attribute, const char* value) {
    if (!token || !attribute) return 0;
    int n = tag_count(token), count = 0;
    for (int i = 0; i < n; ++i) {
        toxtag* tag = tag_at(token, i);
        if (!name_is(tag, name) || QLTP_toxtag_val(tag, attribute)) continue;
        QLTP_toxtag_set_attrib(tag, attribute, -1, value, -1);
        ++count;
    }
    return count;
}

namespace {

// The four numbers of a token mark ("qltk_" prefix optional), or false.
bool token_mark(std::string_view v, int numbers[4]) {
    if (v.substr(0, 5) == "qltk_") v.remove_prefix(5);
    for (int k = 0; k < 4; ++k) {
        size_t digits = 0;
        int64_t n = 0;
        while (digits < v.size() && v[digits] >= '0' && v[digits] <= '9' && digits < 10) n = n * 10 + (v[digits++] - '0');
        if (digits == 0 || n > INT32_MAX) return false;
        v.remove_prefix(digits);
        numbers[k] = static_cast<int>(n);
        if (k < 3) {
            if (v.empty() || v[0] != '_') return false;
            v.remove_prefix(1);
        }
    }
    return v.empty();
}

}  // namespace

// Marks that are no token marks (such as the end-of-text mark) are passed
// over, so that they do not hide the token's position.
int QLTP_toxtoken_getcharpos(const toxtoken* token, int* a, int* b, int* c, int* d) {
    int* out[4] = {a, b, c, d};
    for (int* p : out)
        if (p) *p = -1;
    for (int i = tag_count(token) - 1; i >= 0; --i) {
        if (std::strcmp(QLTP_toxtag_name(tag_at(token, i)), "mark") != 0) continue;
        const char* value = QLTP_toxtag_val(tag_at(token, i), "name");
        int numbers[4];
        if (!value || !token_mark(value, numbers)) continue;
        for (int k = 0; k < 4; ++k)
            if (out[k]) *out[k] = numbers[k];
        return 1;
    }
    return 0;
}

int QLTP_toxtoken_issilent(const toxtoken* token) {
    toxtag* lex = QLTP_toxtoken_gettag(token, "lex");
    if (!lex) return 1;
    const char* spron = QLTP_toxtag_val(lex, "spron");
    return (!spron || !*spron) ? 1 : 0;
}

int QLTP_toxtoken_nsyl(const toxtoken* token) {
    const char* spron = QLTP_toxtoken_tagval(token, "lex", "spron");
    int bars = 0;
    for (const char* p = spron; p && *p; ++p) bars += *p == '|';
    return std::max(bars, 1);
}

void QLTP_toxtoken_check(const toxtoken* token) {
    for (int i = 0, n = tag_count(token); i < n; ++i) (void)tag_at(token, i);
}

toxtoken* QLTP_toxtoken_split(toxpool* pool, toxtoken* token) {
    if (!token) return nullptr;
    toxtoken* n = QLTP_toxpool_token(pool);
    if (!n) return nullptr;
    n->parent = token->parent;
    n->origin = token;
    QLTP_toxtoken_setpstpunc(n, QLTP_toxtoken_getpstpunc(token), -1);
    QLTP_toxtoken_setpstpunc(token, "", 0);
    for (int f : {QLTP_FEAT_WHITESPACE, QLTP_FEAT_LINEBREAK, QLTP_FEAT_ALPHA}) n->features[f] = token->features[f];
    token->features[QLTP_FEAT_WHITESPACE] = token->features[QLTP_FEAT_LINEBREAK] = 0;
    if (token->tagmark == -1) token->tagmark = tag_count(token);
    n->tagmark = token->tagmark;
    int count = tag_count(token);
    for (int i = 0; i < count; ++i) {
        toxtag* t = tag_at(token, i);
        if (t->type == QLTP_TAG_CLOSED) {
            QLTP_toxtoken_addtag(n, t);
            continue;
        }
        toxtag* c = QLTP_toxpool_tag(pool);
        if (!c) continue;
        QLTP_toxtag_copy(t, c);
        set_fellow(c, t, false);
        if (t->type == QLTP_TAG_START) c->type = QLTP_TAG_MID;
        else if (t->type == QLTP_TAG_END) t->type = QLTP_TAG_MID;
        else if (t->type == QLTP_TAG_STARTEND) {
            c->type = QLTP_TAG_END;
            t->type = QLTP_TAG_START;
        }
        QLTP_toxtoken_addtag(n, c);
    }
    // The closed tags now belong to n: take them out without freeing them.
    for (int i = count - 1; i >= 0; --i)
        if (tag_at(token, i)->parent == n) take_out(token, i);
    return n;
}

toxtoken* QLTP_toxtoken_truncate(toxtoken* token) {
    if (!token || !token->next) return token;
    int depth = 0;
    toxtoken* last = token;
    while (last->next) {
        last = last->next;
        ++depth;
    }
    int n = tag_count(token), m = tag_count(last);
    for (int i = 0; i < n; ++i) {
        toxtag* t = tag_at(token, i);
        if (t->type != QLTP_TAG_START && t->type != QLTP_TAG_MID) continue;
        bool continues = false;
        for (int k = 0; k < m && !continues; ++k) {
            const toxtag* x = tag_at(last, k);
            if (x->type != QLTP_TAG_MID) continue;
            for (int step = 0; step < depth && x; ++step) x = x->fellow;
            continues = x == t;
        }
        if (continues) continue;
        if (t->type == QLTP_TAG_MID) t->type = QLTP_TAG_END;
        else QLTP_toxtag_settype(t, QLTP_TAG_STARTEND);
    }
    // The last link's closed tags move to the token, which owns them at once.
    for (int k = 0; k < tag_count(last);) {
        toxtag* t = tag_at(last, k);
        if (t->type != QLTP_TAG_CLOSED) {
            ++k;
            continue;
        }
        take_out(last, k);
        cut_links_to(t, last);
        QLTP_toxtoken_addtag(token, t);
    }
    QLTP_toxtoken_setpstpunc(token, QLTP_toxtoken_getpstpunc(last), -1);
    toxtoken* chain = token->next;
    token->next = nullptr;
    while (chain) {
        toxtoken* following = chain->next;
        chain->next = nullptr;
        QLTP_toxtoken_clear(chain);
        chain = following;
    }
    return token;
}

void QLTP_toxtoken_link(const toxtoken* previous, toxtoken* token) {
    int n = tag_count(token), p = tag_count(previous);
    auto continues = [](const toxtag* t) { return t->type == QLTP_TAG_END || t->type == QLTP_TAG_MID; };
    std::vector<toxtag*> fellows(static_cast<size_t>(n), nullptr);
    std::vector<char> taken(static_cast<size_t>(p), 0);
    // The tag at the same index when it is the same element; else the last
    // open tag of that name not yet taken: a fellow is always the same
    // element, and no two tags share one.
    for (int i = 0; i < n && previous; ++i) {
        toxtag* t = tag_at(token, i);
        if (continues(t) && i < p && std::strcmp(QLTP_toxtag_name(tag_at(previous, i)), QLTP_toxtag_name(t)) == 0) {
            fellows[static_cast<size_t>(i)] = tag_at(previous, i);
            taken[static_cast<size_t>(i)] = 1;
        }
    }
    for (int i = 0; i < n && previous; ++i) {
        toxtag* t = tag_at(token, i);
        if (!continues(t) || fellows[static_cast<size_t>(i)]) continue;
        for (int k = p - 1; k >= 0; --k) {
            toxtag* c = tag_at(previous, k);
            if (taken[static_cast<size_t>(k)] || (c->type != QLTP_TAG_START && c->type != QLTP_TAG_MID) ||
                std::strcmp(QLTP_toxtag_name(c), QLTP_toxtag_name(t)) != 0)
                continue;
            fellows[static_cast<size_t>(i)] = c;
            taken[static_cast<size_t>(k)] = 1;
            break;
        }
    }
    for (int i = 0; i < n; ++i) set_fellow(tag_at(token, i), fellows[static_cast<size_t>(i)]);
}

int QLTP_toxtoken_print(const toxtoken* token, dystr* out) {
    if (!token || !out) return 0;
    print_line(token, out);
    int depth = 0;
    for (const toxtoken* t = token->next; t; t = t->next, ++depth) {
        for (int i = 0; i < 2 * depth; ++i) QLTP_dystr_append(out, " ", 1);
        QLTP_dystr_append(out, " |->", 4);
        print_line(t, out);
    }
    return 1;
}

void QLTP_toxtoken_printf(const toxtoken* token) {
    dystr* out = QLTP_dystr_new("", 0);
    if (!out) return;
    QLTP_toxtoken_print(token, out);
    std::fputs(QLTP_dystr_cstr(out), stdout);
    QLTP_dystr_delete(out);
}
