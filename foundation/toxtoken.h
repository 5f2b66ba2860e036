#pragma once
// Tags and tokens: the records every stage after the tokeniser works on.
// A token is one word-like unit of the input with its text, punctuation,
// normalised form and a list of tags; a tag is an element of the input markup
// copied onto every token it encloses, or an annotation a stage adds. Both are
// recycled through a toxpool: an object is free exactly when its parent is
// NULL, and objects are released by clearing them (or removing a tag), never
// by writing the parent field directly.
//
// Element tags of one element are chained across tokens: a mid or end tag's
// fellow is the same element's tag on the token before it. Releasing a tag
// cuts the links that point at it, so no token refers to a free tag.

#include <cstdint>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/voidparray.h"

struct toxpool;
struct toxtoken;

// Tag types
enum {
    QLTP_TAG_START = 0,
    QLTP_TAG_END = 1,
    QLTP_TAG_MID = 2,
    QLTP_TAG_STARTEND = 3,
    QLTP_TAG_CLOSED = 4,
};

// "start", "end", "mid", "startend", "closed", "".
extern const char* const QLTP_TAGTYPE_NAME[6];
// Element names whose tags are copied into expansions (ASCII case ignored),
// ended by "".
extern const char* const QLTP_TOXTAG_COPY_IN_EXPANSION[4];

// Features of a token (byte i is 't' or 0)
enum {
    QLTP_FEAT_WHITESPACE = 0,   // white space follows the token
    QLTP_FEAT_LINEBREAK = 1,    // the token follows a line break
    QLTP_FEAT_DOWNCASED = 2,
    QLTP_FEAT_ALPHA = 3,
    QLTP_FEAT_OTHER = 4,
    QLTP_FEAT_CONVERTED = 5,
    QLTP_FEAT_CAPITALISED = 6,
    QLTP_FEAT_WORD_CONTINUES = 7,
    QLTP_FEAT_COMPOUND_CONTINUES = 8,
    QLTP_TOXTOKEN_FEATURES = 9,
};

struct toxtag {
    toxtoken* parent;         // owner; NULL = free
    toxtag* fellow;           // same element's tag on the previous token
    int type;                 // QLTP_TAG_*
    dystrarray* strings;      // name, then attribute name and value pairs
    int copy_in_expansion;
    // Bookkeeping: the tag whose fellow this is (the next token's), and the
    // pool the tag belongs to.
    toxtag* follower;
    toxpool* home;
    int slot;                 // index among the home pool's tags
};

struct toxtoken {
    void* parent;             // owning container; NULL = free
    toxtoken* origin;         // the token this one was split from
    int id;
    int index;
    int tagmark;              // tags below this index came from the input markup
    dystrarray* strings;      // text, pre-punctuation, post-punctuation, marker, POS
    voidparray* tags;         // toxtag*, in order of addition
    char features[QLTP_TOXTOKEN_FEATURES];
    dystr* norm;
    toxtoken* next;           // tokens split off this one
    toxpool* home;
    int slot;                 // index among the home pool's tokens
};

// Tags: create, free, clear
toxtag* QLTP_toxtag_new();
void QLTP_toxtag_delete(toxtag* tag);
void QLTP_toxtag_clear(toxtag* tag);
void QLTP_toxtag_clear_attribs(toxtag* tag);
int QLTP_toxtag_init(toxtag* tag, toxtoken* parent, const char* name, int len, int type);

// True when the tag is as clearing leaves it.
bool QLTP_toxtag_pristine(const toxtag* tag);

// Tags: name and attributes (lengths of -1 mean up to the NUL)
int QLTP_toxtag_set_name(toxtag* tag, const char* name, int len);
int QLTP_toxtag_set_attrib(toxtag* tag, const char* name, int nlen, const char* value, int vlen);
int QLTP_toxtag_add_attrib(toxtag* tag, const char* name, int nlen, const char* value, int vlen);
int QLTP_toxtag_set_attrib_int(toxtag* tag, const char* name, int nlen, int n);
int QLTP_toxtag_set_attrib_float(toxtag* tag, const char* name, int nlen, float x);
int QLTP_toxtag_set_attrib_fixedpoint(toxtag* tag, const char* name, int nlen, int64_t value, int ndec);
int QLTP_toxtag_no_attribs(const toxtag* tag);
const char* QLTP_toxtag_val(const toxtag* tag, const char* attribute);
const char* QLTP_toxtag_name(const toxtag* tag);

// Tags: type, links, copies
int QLTP_toxtag_settype(toxtag* tag, int type);
int QLTP_toxtag_type(const toxtag* tag);
void QLTP_toxtag_setparent(toxtag* tag, toxtoken* token);
toxtag* QLTP_toxtag_get_fellow(const toxtag* tag);
// Links tag to its fellow and records the way back, so that releasing the
// fellow later cuts the link; use it rather than writing the field.
void QLTP_toxtag_set_fellow(toxtag* tag, toxtag* fellow);
toxtoken* QLTP_toxtag_get_parent(const toxtag* tag);
int QLTP_toxtag_copy(const toxtag* source, toxtag* destination);
toxtag* QLTP_toxtag_newbreak(toxtag* tag, toxtoken* parent, int break_type, int time_ms);
toxtag* QLTP_toxtag_split(toxpool* pool, toxtag* tag);

// Tags: printing
const char* QLTP_toxtag_typename(int type);
int QLTP_toxtag_print(const toxtag* tag, dystr* out);
void QLTP_toxtag_printf(const toxtag* tag);
inline toxtag* QLTP_toxtag_cast(void* p) { return static_cast<toxtag*>(p); }

// Tokens: create, free, clear
toxtoken* QLTP_toxtoken_new();
void QLTP_toxtoken_delete(toxtoken* token);
void QLTP_toxtoken_clear(toxtoken* token);

// True when the token is as clearing leaves it.
bool QLTP_toxtoken_pristine(const toxtoken* token);

// Tokens: strings (lengths of -1 mean up to the NUL)
int QLTP_toxtoken_set(toxtoken* token, const char* text, int len);
int QLTP_toxtoken_setprepunc(toxtoken* token, const char* text, int len);
int QLTP_toxtoken_setpstpunc(toxtoken* token, const char* text, int len);
int QLTP_toxtoken_setpos(toxtoken* token, const char* pos, int len, const char* sub, int sublen);
const char* QLTP_toxtoken_get(const toxtoken* token);
const char* QLTP_toxtoken_getprepunc(const toxtoken* token);
const char* QLTP_toxtoken_getpstpunc(const toxtoken* token);
const char* QLTP_toxtoken_getpos(const toxtoken* token);
int QLTP_toxtoken_set_norm(toxtoken* token, const char* text, int len);
const char* QLTP_toxtoken_getnorm(const toxtoken* token);
int QLTP_toxtoken_norm_truncate(toxtoken* token, int n);

// Tokens: plain fields and features
void QLTP_toxtoken_setid(toxtoken* token, int id);
void QLTP_toxtoken_setparent(toxtoken* token, void* parent);
void QLTP_toxtoken_setfeat(toxtoken* token, int i, int flag);
int QLTP_toxtoken_getfeat(const toxtoken* token, int i);

// Tokens: tag list
int QLTP_toxtoken_addtag(toxtoken* token, toxtag* tag);
int QLTP_toxtoken_addtag_front(toxtoken* token, toxtag* tag);
int QLTP_toxtoken_removetag(toxtoken* token, toxtag* tag);
int QLTP_toxtoken_removetag_named(toxtoken* token, const char* name);
int QLTP_toxtoken_replacetag(toxtoken* token, toxtag* tag);
int QLTP_toxtoken_move_tag(toxtoken* token, toxtag* tag, int index);
int QLTP_toxtoken_replace_tags(toxtoken* token, const voidparray* tags);
int QLTP_toxtoken_notags(const toxtoken* token);
toxtag* QLTP_toxtoken_tagidx(const toxtoken* token, int i);

// Tokens: tag queries (NULL names match any tag)
toxtag* QLTP_toxtoken_gettag(const toxtoken* token, const char* name);
const char* QLTP_toxtoken_tagval(const toxtoken* token, const char* name, const char* attribute);
toxtag* QLTP_toxtoken_gettag_attrib(const toxtoken* token, const char* name, const char* attribute,
                                    const char* value);
toxtag* QLTP_toxtoken_gettag_match(const toxtoken* token, const toxtag* tag);
int QLTP_toxtoken_setdefault_tagval(toxtoken* token, const char* name, const char* attribute,
                                    const char* value);
// Character and byte position from the last "mark" tag that is a token mark:
// its name is four decimal numbers joined by "_", optionally after "qltk_".
// 1, or 0 with all -1.
int QLTP_toxtoken_getcharpos(const toxtoken* token, int* a, int* b, int* c, int* d);
int QLTP_toxtoken_issilent(const toxtoken* token);
int QLTP_toxtoken_nsyl(const toxtoken* token);
void QLTP_toxtoken_check(const toxtoken* token);

// Tokens: expansion chains and element links
toxtoken* QLTP_toxtoken_split(toxpool* pool, toxtoken* token);
toxtoken* QLTP_toxtoken_truncate(toxtoken* token);
void QLTP_toxtoken_link(const toxtoken* previous, toxtoken* token);

// Tokens: printing
int QLTP_toxtoken_print(const toxtoken* token, dystr* out);
void QLTP_toxtoken_printf(const toxtoken* token);
inline toxtoken* QLTP_toxtoken_cast(void* p) { return static_cast<toxtoken*>(p); }
