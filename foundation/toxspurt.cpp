#include "foundation/toxspurt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/strutil.h"

namespace {

// The per-kind operations the hand-out rule needs.
struct SpurtKind {
    using type = toxspurt;
    static constexpr const char* critical = "CRITICAL: pool returns a spurt already in use.\n";
    static toxspurt* make() { return QLTP_toxspurt_new(); }
    // A free spurt's old token list may name tokens that live elsewhere now.
    static void fresh(toxspurt* s) {
        QLTP_voidparray_clear(s->tokens);
        QLTP_toxspurt_clear(s);
    }
    static void drop(toxspurt* s) {
        s->parent = nullptr;
        QLTP_voidparray_clear(s->tokens);
    }
    static void destroy(toxspurt* s) { QLTP_toxspurt_delete(s); }
    static void warm_storage(const toxspurt*) {}
    static constexpr int record_lines = 2;
};

struct TokenKind {
    using type = toxtoken;
    static constexpr const char* critical = "CRITICAL: pool returns a token already in use.\n";
    static toxtoken* make() { return QLTP_toxtoken_new(); }
    static void fresh(toxtoken* t) {
        if (!QLTP_toxtoken_pristine(t)) QLTP_toxtoken_clear(t);
    }
    // Its tags and chain tokens are pool objects dropped in the same sweep.
    static void drop(toxtoken* t) {
        t->parent = nullptr;
        t->next = t->origin = nullptr;
        QLTP_voidparray_clear(t->tags);
    }
    static void destroy(toxtoken* t) { QLTP_toxtoken_delete(t); }
    // The token and the records of its arrays, which share its allocation.
    static constexpr int record_lines = 4;
    static void warm_storage(const toxtoken* t) {
        __builtin_prefetch(t->strings->storage, 1);
        __builtin_prefetch(t->tags->storage, 1);
    }
};

struct TagKind {
    using type = toxtag;
    static constexpr const char* critical = "CRITICAL: pool returns a tag already in use.\n";
    static toxtag* make() { return QLTP_toxtag_new(); }
    static void fresh(toxtag* t) {
        if (!QLTP_toxtag_pristine(t)) QLTP_toxtag_clear(t);
    }
    static void drop(toxtag* t) {
        t->parent = nullptr;
        t->fellow = t->follower = nullptr;
    }
    static void destroy(toxtag* t) { QLTP_toxtag_delete(t); }
    static void warm_storage(const toxtag* t) { __builtin_prefetch(t->strings->storage, 1); }
    static constexpr int record_lines = 3;
};

// Callers keep i inside the array.
template <class K>
typename K::type* at(const toxpool_kind& kind, int i) {
    return reinterpret_cast<typename K::type**>(kind.objects->storage)[i];
}

// Objects are handed out (and swept) in pool order, mostly one after the
// other, and a large text uses more of them than any cache holds: fetch the
// records a few hand-outs ahead, and their storage once the record is in.
constexpr int kWarmAhead = 16;
constexpr int kSweepAhead = 64;  // a sweep spends a few cycles per object

template <class K>
void warm_record(const toxpool_kind& kind, int i) {
    const auto* record = reinterpret_cast<const char*>(at<K>(kind, i));
    for (int line = 0; line < K::record_lines; ++line) __builtin_prefetch(record + 64 * line, 1);
}

template <class K>
void warm(const toxpool_kind& kind, int i, int n) {
    if (i + kWarmAhead < n) warm_record<K>(kind, i + kWarmAhead);
    if (i + kWarmAhead / 2 < n) K::warm_storage(at<K>(kind, i + kWarmAhead / 2));
}

template <class K>
bool append_new(toxpool* pool, toxpool_kind& kind) {
    typename K::type* object = K::make();
    if (!object) return false;
    object->home = pool;
    // A pool that grows at all grows by thousands: double the array rather
    // than move it a few slots at a time.
    array* objects = kind.objects;
    if (objects->count == objects->capacity)
        QLTP_voidparray_extend(kind.objects, std::max<int>(static_cast<int>(objects->count), 64));
    object->slot = QLTP_voidparray_sz(kind.objects);
    if (!QLTP_voidparray_add(kind.objects, object)) {
        K::destroy(object);
        return false;
    }
    return true;
}

constexpr int kMaxSuspects = 64;

// Adds an object that may be free to the suspects, dropping the owned ones
// at the end first (an object handed out is mostly owned by the next one).
template <class K>
void add_suspect(toxpool_kind& kind, typename K::type* object) {
    array* suspects = kind.suspects;
    while (suspects->count > 0 &&
           static_cast<typename K::type*>(QLTP_voidparray_end(kind.suspects))->parent != nullptr)
        QLTP_voidparray_delete_range(kind.suspects, static_cast<int>(suspects->count) - 1, 1);
    if (suspects->count == suspects->capacity)
        QLTP_voidparray_extend(kind.suspects, std::max<int>(static_cast<int>(suspects->count), 64));
    QLTP_voidparray_add(kind.suspects, object);
}

// Index of the first free object after c (wrapping, c itself skipped), or
// -1. A pool that found none and has seen no release since skips the search:
// every hand-out of a growing pool would otherwise visit every object. After
// a release it looks only at the suspects, which hold every object that can
// have become free since (released or handed out), so a large pool with a
// steady trickle of releases does not search all of it at each hand-out.
template <class K>
int next_free(toxpool_kind& kind, int c) {
    int n = QLTP_voidparray_sz(kind.objects);
    if (kind.full) {
        // The object being handed out stays free until its taker owns it.
        add_suspect<K>(kind, at<K>(kind, c));
        if (kind.releases == kind.releases_at_full && !kind.found_suspect) return -1;
        int best = -1, best_step = n;
        int kept = 0;
        for (int j = 0, m = QLTP_voidparray_sz(kind.suspects); j < m; ++j) {
            auto* object = static_cast<typename K::type*>(QLTP_voidparray_idx(kind.suspects, j));
            // An owned suspect stays owned until a release names it again.
            if (object->parent != nullptr) continue;
            QLTP_voidparray_replace(kind.suspects, kept++, object);
            int step = ((object->slot - c) % n + n) % n;
            if (step != 0 && step < best_step) {
                best_step = step;
                best = object->slot;
            }
        }
        QLTP_voidparray_delete_range(kind.suspects, kept, QLTP_voidparray_sz(kind.suspects) - kept);
        if (kept > kMaxSuspects) {
            // Many free objects: the plain search finds the next one soon.
            kind.full = 0;
            kind.found_suspect = 0;
            QLTP_voidparray_clear(kind.suspects);
            return best;
        }
        kind.found_suspect = best >= 0;
        if (best < 0) kind.releases_at_full = kind.releases;
        return best;
    }
    for (int step = 1; step < n; ++step) {
        int i = (c + step) % n;
        if (at<K>(kind, i)->parent == nullptr) return i;
    }
    kind.full = 1;
    kind.found_suspect = 0;
    kind.releases_at_full = kind.releases;
    QLTP_voidparray_clear(kind.suspects);
    return -1;
}

template <class K>
typename K::type* hand_out(toxpool* pool, toxpool_kind& kind) {
    if (!pool) return nullptr;
    int n = QLTP_voidparray_sz(kind.objects);
    int c = kind.cursor;
    if (c >= n || c < 0) return nullptr;
    if (at<K>(kind, c)->parent != nullptr) {
        // Never hand out an owned object: a free one, else a new one.
        std::fputs(K::critical, stderr);
        kind.full = 0;
        int f = next_free<K>(kind, c);
        if (f < 0) {
            if (!append_new<K>(pool, kind)) return nullptr;
            f = n++;
        }
        c = f;
    }
    typename K::type* result = at<K>(kind, c);
    warm<K>(kind, c, n);
    if (c >= kind.used) kind.used = c + 1;
    int f = next_free<K>(kind, c);
    if (f >= 0) {
        kind.cursor = f;
    } else {
        kind.cursor = n;
        if (!append_new<K>(pool, kind)) kind.cursor = c;  // retried at the next hand-out
    }
    // Objects come out cleared: a tag released by removal still carries its
    // name, attributes and fellow.
    K::fresh(result);
    return result;
}

template <class K>
bool fill(toxpool* pool, toxpool_kind& kind, int count) {
    kind.objects = QLTP_voidparray_newcustom(count > 0 ? count : 0, 8, 64);
    kind.suspects = QLTP_voidparray_newcustom(64, 8, 64);
    if (!kind.objects || !kind.suspects) return false;
    for (int i = 0; i < count; ++i)
        if (!append_new<K>(pool, kind)) return false;
    return true;
}

// Every object becomes free at once; what it still holds is cleared when it
// is handed out again, so a large pool is swept without visiting the
// strings and arrays of every object twice.
template <class K>
void clear_all(toxpool_kind& kind) {
    int n = std::min(kind.used, QLTP_voidparray_sz(kind.objects));
    for (int i = 0; i < n; ++i) {
        if (i + kSweepAhead < n) warm_record<K>(kind, i + kSweepAhead);
        K::drop(at<K>(kind, i));
    }
    kind.used = 0;
    kind.cursor = 0;
    kind.full = 0;
    kind.found_suspect = 0;
    QLTP_voidparray_clear(kind.suspects);
}

void print_tokens(const voidparray* tokens, dystr* out) {
    for (int i = 0, n = QLTP_voidparray_sz(tokens); i < n; ++i)
        QLTP_toxtoken_print(static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, i)), out);
}

bool real(const toxtoken* t) { return t && t->norm && QLTP_dystr_sz(t->norm) > 0; }

toxtoken* token_at(const toxstream* s, int i) { return static_cast<toxtoken*>(QLTP_voidparray_idx(s, i)); }

int print_to_stdout(const voidparray* v, int (*print)(const voidparray*, dystr*)) {
    dystr* out = QLTP_dystr_new("", 0);
    if (!out) return 0;
    int n = print(v, out);
    std::fputs(QLTP_dystr_cstr(out), stdout);
    QLTP_dystr_delete(out);
    return n;
}

}  // namespace

// ---- spurts ---------------------------------------------------------------

toxspurt* QLTP_toxspurt_new() {
    auto* spurt = static_cast<toxspurt*>(QLTP_calloc(1, sizeof(toxspurt)));
    if (!spurt) return nullptr;
    spurt->tokens = QLTP_voidparray_newcustom(128, 16, 128);
    if (!spurt->tokens) {
        QLTP_free(spurt);
        return nullptr;
    }
    return spurt;
}

void QLTP_toxspurt_delete(toxspurt* spurt) {
    if (!spurt) return;
    QLTP_voidparray_delete(spurt->tokens);
    QLTP_free(spurt);
}

void QLTP_toxspurt_clear(toxspurt* spurt) {
    if (!spurt) return;
    for (int i = 0, n = QLTP_voidparray_sz(spurt->tokens); i < n; ++i)
        QLTP_toxtoken_clear(static_cast<toxtoken*>(QLTP_voidparray_idx(spurt->tokens, i)));
    QLTP_voidparray_clear(spurt->tokens);
    bool owned = spurt->parent != nullptr;
    spurt->parent = nullptr;
    spurt->id = 0;
    spurt->words = spurt->syls = spurt->phrases = spurt->phrase = 0;
    spurt->utt_words = spurt->utt_syls = spurt->pre_syls = spurt->pre_words = 0;
    spurt->pst_syls = spurt->pst_words = spurt->last = 0;
    if (owned && spurt->home) QLTP_toxpool_released(spurt->home, &toxpool::spurts, spurt);
}

void QLTP_toxspurt_setparent(toxspurt* spurt, void* parent) {
    if (!spurt) return;
    bool released = spurt->parent != nullptr && parent == nullptr;
    spurt->parent = parent;
    if (released && spurt->home) QLTP_toxpool_released(spurt->home, &toxpool::spurts, spurt);
}

void QLTP_toxspurt_setid(toxspurt* spurt, int id) {
    if (spurt) spurt->id = id;
}

void QLTP_toxspurt_set_jobid(toxspurt* spurt, char* jobid) {
    if (spurt) spurt->jobid = jobid;
}

int QLTP_toxspurt_getid(const toxspurt* spurt) { return spurt ? spurt->id : 0; }
char* QLTP_toxspurt_get_jobid(const toxspurt* spurt) { return spurt ? spurt->jobid : nullptr; }
voidparray* QLTP_toxspurt_tokens(const toxspurt* spurt) { return spurt ? spurt->tokens : nullptr; }

int QLTP_toxspurt_add(toxspurt* spurt, toxtoken* token) {
    if (!spurt || !token) return 0;
    return QLTP_voidparray_add(spurt->tokens, token);
}

// ---- pool -----------------------------------------------------------------

toxpool* QLTP_toxpool_new(int spurts, int tokens, int tags) {
    auto* pool = static_cast<toxpool*>(QLTP_calloc(1, sizeof(toxpool)));
    if (!pool) return nullptr;
    if (!fill<SpurtKind>(pool, pool->spurts, spurts) || !fill<TokenKind>(pool, pool->tokens, tokens) ||
        !fill<TagKind>(pool, pool->tags, tags)) {
        QLTP_toxpool_delete(pool);
        return nullptr;
    }
    return pool;
}

void QLTP_toxpool_delete(toxpool* pool) {
    if (!pool) return;
    // Drop every link first: deleting clears, which follows links between
    // objects that must all still exist.
    QLTP_toxpool_clear(pool);
    for (int i = 0, n = QLTP_voidparray_sz(pool->spurts.objects); i < n; ++i)
        QLTP_toxspurt_delete(at<SpurtKind>(pool->spurts, i));
    for (int i = 0, n = QLTP_voidparray_sz(pool->tokens.objects); i < n; ++i)
        QLTP_toxtoken_delete(at<TokenKind>(pool->tokens, i));
    for (int i = 0, n = QLTP_voidparray_sz(pool->tags.objects); i < n; ++i)
        QLTP_toxtag_delete(at<TagKind>(pool->tags, i));
    QLTP_voidparray_delete(pool->spurts.objects);
    QLTP_voidparray_delete(pool->tokens.objects);
    QLTP_voidparray_delete(pool->tags.objects);
    QLTP_voidparray_delete(pool->spurts.suspects);
    QLTP_voidparray_delete(pool->tokens.suspects);
    QLTP_voidparray_delete(pool->tags.suspects);
    QLTP_free(pool);
}

toxspurt* QLTP_toxpool_spurt(toxpool* pool) { return pool ? hand_out<SpurtKind>(pool, pool->spurts) : nullptr; }
toxtoken* QLTP_toxpool_token(toxpool* pool) { return pool ? hand_out<TokenKind>(pool, pool->tokens) : nullptr; }
toxtag* QLTP_toxpool_tag(toxpool* pool) { return pool ? hand_out<TagKind>(pool, pool->tags) : nullptr; }

void QLTP_toxpool_clear(toxpool* pool) {
    if (!pool) return;
    clear_all<SpurtKind>(pool->spurts);
    clear_all<TokenKind>(pool->tokens);
    clear_all<TagKind>(pool->tags);
}

void QLTP_toxpool_released(toxpool* pool, toxpool_kind toxpool::*kind, void* object) {
    if (!pool) return;
    toxpool_kind& k = pool->*kind;
    ++k.releases;
    if (!k.full || !object) return;
    if (kind == &toxpool::spurts) add_suspect<SpurtKind>(k, static_cast<toxspurt*>(object));
    else if (kind == &toxpool::tokens) add_suspect<TokenKind>(k, static_cast<toxtoken*>(object));
    else add_suspect<TagKind>(k, static_cast<toxtag*>(object));
}

// ---- streams --------------------------------------------------------------

int QLTP_toxstream_print(const toxstream* stream, dystr* out) {
    if (!stream || !out) return 0;
    print_tokens(stream, out);
    return QLTP_voidparray_sz(stream);
}

int QLTP_toxstream_printf(const toxstream* stream) { return print_to_stdout(stream, QLTP_toxstream_print); }

int QLTP_toxstream_last_realtk(const toxstream* stream) {
    for (int i = QLTP_voidparray_sz(stream) - 1; i >= 1; --i)
        if (real(token_at(stream, i))) return i;
    return 0;
}

int QLTP_toxstream_next_realtkidx(const toxstream* stream, int i) {
    for (int k = i < 0 ? 0 : i, n = QLTP_voidparray_sz(stream); k < n; ++k)
        if (real(token_at(stream, k))) return k;
    return -1;
}

toxtoken* QLTP_toxstream_next_realtk(const toxstream* stream, int i) {
    int k = QLTP_toxstream_next_realtkidx(stream, i);
    return k < 0 ? nullptr : token_at(stream, k);
}

toxtoken* QLTP_toxstream_prev_realtk(const toxstream* stream, int i) {
    int n = QLTP_voidparray_sz(stream);
    for (int k = i < n ? i : n - 1; k >= 0; --k)
        if (real(token_at(stream, k))) return token_at(stream, k);
    return nullptr;
}

int QLTP_toxstream_release_tox(toxstream* stream) {
    int n = QLTP_voidparray_sz(stream);
    for (int i = 0; i < n; ++i) QLTP_toxtoken_clear(token_at(stream, i));
    return n;
}

int QLTP_toxspstream_print(const toxspstream* spstream, dystr* out) {
    if (!spstream || !out) return 0;
    int n = QLTP_voidparray_sz(spstream);
    for (int i = 0; i < n; ++i) {
        auto* spurt = static_cast<const toxspurt*>(QLTP_voidparray_idx(spstream, i));
        if (!spurt) continue;
        print_tokens(spurt->tokens, out);
        if (spurt->phrases) {
            QLTP_dystr_append(out, "PHRASE ", 7);
            QLTP_dystr_appendint(out, spurt->phrase);
            QLTP_dystr_append(out, " of ", 4);
            QLTP_dystr_appendint(out, spurt->phrases);
            QLTP_dystr_append(out, "\n", 1);
        } else {
            QLTP_dystr_append(out, "PHRASE\n", 7);
        }
    }
    return n;
}

int QLTP_toxspstream_printf(const toxspstream* spstream) { return print_to_stdout(spstream, QLTP_toxspstream_print); }

int QLTP_toxspstream_release_tox(toxspstream* spstream) {
    int n = QLTP_voidparray_sz(spstream);
    for (int i = 0; i < n; ++i) QLTP_toxspurt_clear(static_cast<toxspurt*>(QLTP_voidparray_idx(spstream, i)));
    return n;
}
