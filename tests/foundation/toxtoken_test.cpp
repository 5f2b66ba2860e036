#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "cpu_time.h"

namespace {

struct DystrDeleter {
    void operator()(dystr* d) const { QLTP_dystr_delete(d); }
};
using Dystr = std::unique_ptr<dystr, DystrDeleter>;
struct PoolDeleter {
    void operator()(toxpool* p) const { QLTP_toxpool_delete(p); }
};
using Pool = std::unique_ptr<toxpool, PoolDeleter>;

std::string print(const toxtag* tag) {
    Dystr out(QLTP_dystr_new("", 0));
    QLTP_toxtag_print(tag, out.get());
    return QLTP_dystr_cstr(out.get());
}

std::string print(const toxtoken* token) {
    Dystr out(QLTP_dystr_new("", 0));
    QLTP_toxtoken_print(token, out.get());
    return QLTP_dystr_cstr(out.get());
}

int owned(const toxpool_kind& kind) {
    int n = 0;
    for (int i = 0; i < QLTP_voidparray_sz(kind.objects); ++i)
        n += static_cast<toxtoken*>(QLTP_voidparray_idx(kind.objects, i))->parent != nullptr;
    return n;
}

toxtag* new_tag(toxpool* pool, toxtoken* owner, const char* name, int type) {
    toxtag* tag = QLTP_toxpool_tag(pool);
    QLTP_toxtag_init(tag, owner, name, -1, type);
    QLTP_toxtoken_addtag(owner, tag);
    return tag;
}

// Checks every invariant of a stream of tokens with expansion chains: each
// listed tag is owned by its token and listed once; a fellow is the same
// element's open tag on the token before (the previous stream token, or the
// previous link of a chain); start, startend and closed tags have none;
// tagmark stays inside the list; and the pool holds no owned object that
// nothing lists.
void check_invariants(toxpool* pool, const std::vector<toxtoken*>& stream) {
    std::set<const toxtag*> seen;
    int tokens = 0;
    for (size_t s = 0; s < stream.size(); ++s) {
        const toxtoken* before = s ? stream[s - 1] : nullptr;
        for (const toxtoken* t = stream[s]; t; before = t, t = t->next) {
            ++tokens;
            ASSERT_NE(t->parent, nullptr);
            int n = QLTP_toxtoken_notags(t);
            ASSERT_GE(t->tagmark, -1);
            ASSERT_LE(t->tagmark, n);
            for (int i = 0; i < n; ++i) {
                const toxtag* tag = QLTP_toxtoken_tagidx(t, i);
                SCOPED_TRACE(print(t));
                ASSERT_EQ(tag->parent, t);
                ASSERT_TRUE(seen.insert(tag).second) << "tag listed twice";
                const toxtag* f = tag->fellow;
                if (tag->type == QLTP_TAG_START || tag->type == QLTP_TAG_STARTEND || tag->type == QLTP_TAG_CLOSED) {
                    ASSERT_EQ(f, nullptr);
                } else if (f) {
                    ASSERT_NE(f->parent, nullptr) << "fellow is a free tag";
                    ASSERT_EQ(f->parent, before) << "fellow is not on the token before";
                    ASSERT_STREQ(QLTP_toxtag_name(f), QLTP_toxtag_name(tag));
                }
            }
        }
    }
    ASSERT_EQ(owned(pool->tags), static_cast<int>(seen.size())) << "owned tags that no token lists";
    ASSERT_EQ(owned(pool->tokens), tokens) << "owned tokens outside the stream";
}

struct Element {
    std::string name;
    int first, last;
};

// Lays elements over a stream the way the markup parser does: start, mid,
// end or startend by position, fellows by linking each token to the one
// before.
void lay_elements(toxpool* pool, std::vector<toxtoken*>& stream, const std::vector<Element>& elements) {
    for (size_t s = 0; s < stream.size(); ++s) {
        for (const Element& e : elements) {
            int i = static_cast<int>(s);
            if (i < e.first || i > e.last) continue;
            int type = e.first == e.last ? QLTP_TAG_STARTEND
                       : i == e.first   ? QLTP_TAG_START
                       : i == e.last    ? QLTP_TAG_END
                                        : QLTP_TAG_MID;
            new_tag(pool, stream[s], e.name.c_str(), type);
        }
        QLTP_toxtoken_link(s ? stream[s - 1] : nullptr, stream[s]);
    }
}

toxtoken* chain_end(toxtoken* t) {
    while (t->next) t = t->next;
    return t;
}

TEST(ToxTokenTest, RandomSurgeryKeepsEveryLinkAndOwnerSound) {
    std::mt19937 rng(20261209);
    const char* names[] = {"s", "prosody", "emph", "mark", "lex"};
    int owner = 0;
    for (int round = 0; round < 60; ++round) {
        Pool pool(QLTP_toxpool_new(2, 4, 8));
        std::vector<toxtoken*> stream;
        int length = 2 + static_cast<int>(rng() % 8);
        for (int i = 0; i < length; ++i) {
            toxtoken* t = QLTP_toxpool_token(pool.get());
            QLTP_toxtoken_setparent(t, &owner);
            QLTP_toxtoken_set(t, ("w" + std::to_string(i)).c_str(), -1);
            stream.push_back(t);
        }
        std::vector<Element> elements;
        for (int e = 0, count = 1 + static_cast<int>(rng() % 4); e < count; ++e) {
            int a = static_cast<int>(rng() % length), b = static_cast<int>(rng() % length);
            elements.push_back({names[rng() % 3], std::min(a, b), std::max(a, b)});
        }
        lay_elements(pool.get(), stream, elements);
        ASSERT_NO_FATAL_FAILURE(check_invariants(pool.get(), stream));

        for (int step = 0; step < 80; ++step) {
            toxtoken* head = stream[rng() % stream.size()];
            int n = QLTP_toxtoken_notags(head);
            toxtag* some = n ? QLTP_toxtoken_tagidx(head, static_cast<int>(rng() % n)) : nullptr;
            switch (rng() % 9) {
                case 0:
                case 1: {
                    toxtoken* last = chain_end(head);
                    last->next = QLTP_toxtoken_split(pool.get(), last);
                    ASSERT_NE(last->next, nullptr);
                    break;
                }
                case 2: {
                    // Splitting and folding back gives every element tag its
                    // old type and brings the closed tags home.
                    QLTP_toxtoken_truncate(head);
                    std::map<const toxtag*, int> types;
                    int closed = 0;
                    for (int i = 0; i < QLTP_toxtoken_notags(head); ++i) {
                        const toxtag* t = QLTP_toxtoken_tagidx(head, i);
                        if (t->type == QLTP_TAG_CLOSED) ++closed;
                        else types[t] = t->type;
                    }
                    for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
                        toxtoken* last = chain_end(head);
                        last->next = QLTP_toxtoken_split(pool.get(), last);
                    }
                    ASSERT_NO_FATAL_FAILURE(check_invariants(pool.get(), stream));
                    QLTP_toxtoken_truncate(head);
                    ASSERT_EQ(QLTP_toxtoken_notags(head), static_cast<int>(types.size()) + closed);
                    for (auto [tag, type] : types) {
                        EXPECT_EQ(tag->parent, head);
                        EXPECT_EQ(tag->type, type) << QLTP_toxtag_name(tag);
                    }
                    break;
                }
                case 3:
                    if (some) QLTP_toxtoken_move_tag(head, some, static_cast<int>(rng() % (n + 1)) - 1);
                    break;
                case 4:
                    if (some) {
                        EXPECT_EQ(QLTP_toxtoken_removetag(head, some), 1);
                    }
                    break;
                case 5:
                    if (some) {
                        EXPECT_GE(QLTP_toxtoken_removetag_named(head, QLTP_toxtag_name(some)), 1);
                    }
                    break;
                case 6: {
                    toxtag* mark = new_tag(pool.get(), head, "mark", QLTP_TAG_CLOSED);
                    QLTP_toxtag_set_attrib(mark, "name", -1, "qltk_1_1_1_1", -1);
                    break;
                }
                case 7: {
                    // A stage is done with a token and takes a fresh one.
                    size_t i = rng() % stream.size();
                    QLTP_toxtoken_clear(stream[i]);
                    stream[i] = QLTP_toxpool_token(pool.get());
                    QLTP_toxtoken_setparent(stream[i], &owner);
                    break;
                }
                case 8: {
                    size_t i = rng() % stream.size();
                    QLTP_toxtoken_link(i ? stream[i - 1] : nullptr, stream[i]);
                    break;
                }
            }
            ASSERT_NO_FATAL_FAILURE(check_invariants(pool.get(), stream)) << "round " << round << " step " << step;
        }
        for (toxtoken* t : stream) QLTP_toxtoken_clear(t);
        EXPECT_EQ(owned(pool->tags), 0);
        EXPECT_EQ(owned(pool->tokens), 0);
    }
}

TEST(ToxTagTest, AttributesReplaceOnlyTheirOwnName) {
    toxtag* tag = QLTP_toxtag_new();
    QLTP_toxtag_init(tag, nullptr, "lex", -1, QLTP_TAG_CLOSED);
    QLTP_toxtag_set_attrib(tag, "ltsname", -1, "en", -1);
    QLTP_toxtag_set_attrib(tag, "lts", -1, "1", -1);
    QLTP_toxtag_set_attrib(tag, "timeout", -1, "5", -1);
    QLTP_toxtag_set_attrib(tag, "time", -1, "7", -1);
    QLTP_toxtag_add_attrib(tag, "lts", 3, "2", 1);
    EXPECT_STREQ(QLTP_toxtag_val(tag, "ltsname"), "en");
    EXPECT_STREQ(QLTP_toxtag_val(tag, "lts"), "2");
    EXPECT_STREQ(QLTP_toxtag_val(tag, "timeout"), "5");
    EXPECT_STREQ(QLTP_toxtag_val(tag, "time"), "7");
    EXPECT_EQ(QLTP_toxtag_val(tag, "tim"), nullptr);
    EXPECT_EQ(QLTP_toxtag_no_attribs(tag), 8);
    EXPECT_EQ(print(tag), "lex closed {'ltsname': 'en','lts': '2','timeout': '5','time': '7'}");
    QLTP_toxtag_clear_attribs(tag);
    EXPECT_EQ(print(tag), "lex closed {}");
    QLTP_toxtag_set_name(tag, "PROSODY", -1);
    EXPECT_EQ(tag->copy_in_expansion, 1);
    QLTP_toxtag_init(tag, nullptr, "s", -1, QLTP_TAG_START);
    EXPECT_EQ(tag->copy_in_expansion, 0);
    QLTP_toxtag_delete(tag);
}

TEST(ToxTagTest, NumbersAsAttributeText) {
    struct Case {
        int value, ndec;
        const char* text;
    } cases[] = {
        {1500, 3, "1.500"}, {1050, 3, "1.050"}, {2000, 3, "2"},       {7, 3, "0.007"},
        {0, 3, "0"},        {-1500, 3, "-1.500"}, {-7, 3, "-0.007"},  {-2000, 3, "-2"},
        {42, 0, "42"},      {-42, -1, "-42"},   {INT_MIN, 3, "-2147483.648"}, {INT_MAX, 12, "0.002147483647"},
    };
    toxtag* tag = QLTP_toxtag_new();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QLTP_toxtag_set_attrib_fixedpoint(tag, "v", -1, c.value, c.ndec);
        EXPECT_STREQ(QLTP_toxtag_val(tag, "v"), c.text);
    }
    QLTP_toxtag_set_attrib_float(tag, "f", -1, 1.25f);
    EXPECT_STREQ(QLTP_toxtag_val(tag, "f"), "1.250");
    toxtoken* owner = QLTP_toxtoken_new();
    EXPECT_EQ(QLTP_toxtag_newbreak(tag, owner, 2, 250), tag);
    EXPECT_EQ(print(tag), "break closed {'type': '2','time': '0.250'}");
    EXPECT_EQ(tag->parent, owner);
    tag->parent = nullptr;
    QLTP_toxtoken_delete(owner);
    QLTP_toxtag_delete(tag);
}

TEST(ToxTagTest, SplitByType) {
    Pool pool(QLTP_toxpool_new(0, 0, 1));
    toxtoken* token = QLTP_toxtoken_new();
    struct Case {
        int type, given_after, copy_type;
        bool copy_has_fellow;
    } cases[] = {
        {QLTP_TAG_START, QLTP_TAG_START, QLTP_TAG_MID, true},
        {QLTP_TAG_END, QLTP_TAG_MID, QLTP_TAG_END, true},
        {QLTP_TAG_MID, QLTP_TAG_MID, QLTP_TAG_MID, true},
        {QLTP_TAG_STARTEND, QLTP_TAG_START, QLTP_TAG_END, true},
        {QLTP_TAG_CLOSED, QLTP_TAG_CLOSED, QLTP_TAG_CLOSED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QLTP_toxtag_typename(c.type));
        toxtag* tag = new_tag(pool.get(), token, "x", c.type);
        token->tagmark = 1;
        toxtag* copy = QLTP_toxtag_split(pool.get(), tag);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(tag->type, c.given_after);
        EXPECT_EQ(copy->type, c.copy_type);
        EXPECT_EQ(copy->fellow, c.copy_has_fellow ? tag : nullptr);
        EXPECT_EQ(copy->parent, nullptr);
        EXPECT_STREQ(QLTP_toxtag_name(copy), "x");
        EXPECT_EQ(QLTP_toxtoken_notags(token), c.type == QLTP_TAG_CLOSED ? 0 : 1);
        EXPECT_EQ(token->tagmark, c.type == QLTP_TAG_CLOSED ? 0 : 1);
        QLTP_toxtoken_clear(token);
    }
    toxtag odd{};
    odd.type = 5;
    EXPECT_EQ(QLTP_toxtag_split(pool.get(), &odd), nullptr);
    QLTP_toxtoken_delete(token);
}

TEST(ToxTokenTest, PrintsOneLinePerTokenAndChainLink) {
    Pool pool(QLTP_toxpool_new(0, 2, 2));
    int owner = 0;
    toxtoken* t = QLTP_toxpool_token(pool.get());
    QLTP_toxtoken_setparent(t, &owner);
    QLTP_toxtoken_set(t, "Hello", -1);
    QLTP_toxtoken_setid(t, 3);
    QLTP_toxtoken_set_norm(t, "hello", -1);
    QLTP_toxtoken_setprepunc(t, "(", -1);
    QLTP_toxtoken_setpstpunc(t, "),", -1);
    QLTP_toxtoken_setpos(t, "NN", -1, "SG", -1);
    QLTP_toxtoken_setfeat(t, QLTP_FEAT_DOWNCASED, 1);
    QLTP_toxtoken_setfeat(t, QLTP_FEAT_CAPITALISED, 1);
    toxtag* s = new_tag(pool.get(), t, "s", QLTP_TAG_START);
    QLTP_toxtag_set_attrib(s, "id", -1, "1", -1);
    new_tag(pool.get(), t, "mark", QLTP_TAG_CLOSED);
    EXPECT_EQ(print(t), "Hello 3 {[hello] -1  [(][),][TFFFT]} pNN_SG s start {'id': '1'},mark closed {}\n");
    t->next = QLTP_toxtoken_split(pool.get(), t);
    t->next->next = QLTP_toxtoken_split(pool.get(), t->next);
    EXPECT_EQ(print(t),
              "Hello 3 {[hello] -1  [(][][TFFFT]} pNN_SG s start {'id': '1'}\n"
              " |-> -1 {[] -1  [][][FFFFF]} p s mid {'id': '1'}\n"
              "   |-> -1 {[] -1  [][),][FFFFF]} p s mid {'id': '1'},mark closed {}\n");
    QLTP_toxtoken_setpos(t, "VB_X", -1, "SG", -1);
    EXPECT_STREQ(QLTP_toxtoken_getpos(t), "VB_X");
    EXPECT_EQ(QLTP_toxtoken_get(nullptr), nullptr);
    EXPECT_EQ(QLTP_toxtoken_set(nullptr, "x", 1), 0);
}

TEST(ToxTokenTest, TagQueries) {
    toxtoken* t = QLTP_toxtoken_new();
    toxtag* tags[4];
    for (toxtag*& tag : tags) tag = QLTP_toxtag_new();
    QLTP_toxtag_init(tags[0], nullptr, "lex", -1, QLTP_TAG_CLOSED);
    QLTP_toxtag_set_attrib(tags[0], "spron", -1, "a|b|c", -1);
    QLTP_toxtag_set_attrib(tags[0], "pos", -1, "NN", -1);
    QLTP_toxtag_init(tags[1], nullptr, "lex", -1, QLTP_TAG_CLOSED);
    QLTP_toxtag_set_attrib(tags[1], "spron", -1, "", -1);
    QLTP_toxtag_init(tags[2], nullptr, "mark", -1, QLTP_TAG_CLOSED);
    QLTP_toxtag_set_attrib(tags[2], "name", -1, "qltk_7_7_5_5", -1);
    QLTP_toxtag_init(tags[3], nullptr, "s", -1, QLTP_TAG_START);
    for (toxtag* tag : tags) QLTP_toxtoken_addtag(t, tag);

    EXPECT_EQ(QLTP_toxtoken_gettag(t, "lex"), tags[1]);
    EXPECT_EQ(QLTP_toxtoken_gettag(t, nullptr), tags[3]);
    EXPECT_EQ(QLTP_toxtoken_gettag(t, "le"), nullptr);
    EXPECT_STREQ(QLTP_toxtoken_tagval(t, "lex", "pos"), "NN");
    EXPECT_STREQ(QLTP_toxtoken_tagval(t, "lex", "spron"), "");
    EXPECT_STREQ(QLTP_toxtoken_tagval(t, "s", nullptr), "s");
    EXPECT_EQ(QLTP_toxtoken_tagval(t, "p", nullptr), nullptr);
    EXPECT_EQ(QLTP_toxtoken_gettag_attrib(t, "lex", "spron", "a|b|c"), tags[0]);
    EXPECT_EQ(QLTP_toxtoken_gettag_attrib(t, nullptr, nullptr, "NN"), tags[0]);
    EXPECT_EQ(QLTP_toxtoken_gettag_attrib(t, "lex", "spron", nullptr), tags[1]);
    toxtag* probe = QLTP_toxtag_new();
    QLTP_toxtag_set_name(probe, "lex", -1);
    QLTP_toxtag_set_attrib(probe, "pos", -1, "NN", -1);
    EXPECT_EQ(QLTP_toxtoken_gettag_match(t, probe), tags[0]);
    QLTP_toxtag_set_attrib(probe, "pos", -1, "VB", -1);
    EXPECT_EQ(QLTP_toxtoken_gettag_match(t, probe), nullptr);
    EXPECT_EQ(QLTP_toxtoken_setdefault_tagval(t, "lex", "pos", "VB"), 1);
    EXPECT_STREQ(QLTP_toxtag_val(tags[1], "pos"), "VB");
    EXPECT_STREQ(QLTP_toxtag_val(tags[0], "pos"), "NN");
    // The last lex tag decides, even with an empty pronunciation.
    EXPECT_EQ(QLTP_toxtoken_issilent(t), 1);
    EXPECT_EQ(QLTP_toxtoken_nsyl(t), 1);
    QLTP_toxtag_set_attrib(tags[1], "spron", -1, "ab|cd|ef|g", -1);
    EXPECT_EQ(QLTP_toxtoken_issilent(t), 0);
    EXPECT_EQ(QLTP_toxtoken_nsyl(t), 3);
    EXPECT_EQ(QLTP_toxtoken_issilent(nullptr), 1);
    int a, b, c, d;
    EXPECT_EQ(QLTP_toxtoken_getcharpos(t, &a, &b, &c, &d), 1);
    EXPECT_EQ(std::vector<int>({a, b, c, d}), std::vector<int>({7, 7, 5, 5}));

    t->tagmark = 3;
    QLTP_toxtoken_move_tag(t, tags[3], 0);
    EXPECT_EQ(QLTP_toxtoken_tagidx(t, 0), tags[3]);
    EXPECT_EQ(t->tagmark, 4);
    EXPECT_EQ(QLTP_toxtoken_removetag_named(t, "lex"), 2);
    EXPECT_EQ(t->tagmark, 2);
    EXPECT_EQ(QLTP_toxtoken_notags(t), 2);
    EXPECT_EQ(tags[0]->parent, nullptr);
    EXPECT_STREQ(QLTP_toxtag_name(tags[0]), "");
    QLTP_toxtoken_clear(t);
    for (toxtag* tag : tags) QLTP_toxtag_delete(tag);
    QLTP_toxtag_delete(probe);
    QLTP_toxtoken_delete(t);
}

TEST(ToxTokenTest, CharacterPositionNeedsFourNumbers) {
    struct Case {
        const char* name;
        int ok, a, b, c, d;
    } cases[] = {
        {"2_2_2_2", 1, 2, 2, 2, 2},        {"qltk_7_7_5_5", 1, 7, 7, 5, 5},  {"qltk_0_0_6_6", 1, 0, 0, 6, 6},
        {"8_10_5_7", 1, 8, 10, 5, 7},      {"1_2_3", 0, -1, -1, -1, -1},     {"1_2_3_", 0, -1, -1, -1, -1},
        {"1_2_3_4_5", 0, -1, -1, -1, -1},  {"a_b_c_d", 0, -1, -1, -1, -1},   {"", 0, -1, -1, -1, -1},
        {"qltk_", 0, -1, -1, -1, -1},      {"-1_2_3_4", 0, -1, -1, -1, -1},  {"99999999999_1_1_1", 0, -1, -1, -1, -1},
        {"1__2_3", 0, -1, -1, -1, -1},     {"qltk_qltk_1_2_3_4", 0, -1, -1, -1, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        toxtoken* t = QLTP_toxtoken_new();
        toxtag* mark = QLTP_toxtag_new();
        QLTP_toxtag_init(mark, nullptr, "mark", -1, QLTP_TAG_CLOSED);
        QLTP_toxtag_set_attrib(mark, "name", -1, k.name, -1);
        QLTP_toxtoken_addtag(t, mark);
        int v[4] = {9, 9, 9, 9};
        EXPECT_EQ(QLTP_toxtoken_getcharpos(t, &v[0], &v[1], &v[2], &v[3]), k.ok);
        EXPECT_EQ(std::vector<int>(v, v + 4), std::vector<int>({k.a, k.b, k.c, k.d}));
        QLTP_toxtoken_delete(t);
        QLTP_toxtag_delete(mark);
    }
}

// The end-of-text mark after a token's own mark does not hide it.
TEST(ToxTokenTest, CharacterPositionPassesOverOtherMarks) {
    toxtoken* t = QLTP_toxtoken_new();
    std::vector<toxtag*> marks;
    for (const char* name : {"qltk_4_5_6_7", "qrln_final"}) {
        marks.push_back(QLTP_toxtag_new());
        QLTP_toxtag_init(marks.back(), nullptr, "mark", -1, QLTP_TAG_CLOSED);
        QLTP_toxtag_set_attrib(marks.back(), "name", -1, name, -1);
        QLTP_toxtoken_addtag(t, marks.back());
    }
    int v[4] = {0, 0, 0, 0};
    EXPECT_EQ(QLTP_toxtoken_getcharpos(t, &v[0], &v[1], &v[2], &v[3]), 1);
    EXPECT_EQ(std::vector<int>(v, v + 4), std::vector<int>({4, 5, 6, 7}));
    QLTP_toxtoken_delete(t);
    for (toxtag* m : marks) QLTP_toxtag_delete(m);
}

TEST(ToxPoolTest, HandOutFollowsTheCursorAndGrows) {
    int owner = 0;
    Pool pool(QLTP_toxpool_new(0, 2, 0));
    auto token = [&](int i) { return static_cast<toxtoken*>(QLTP_voidparray_idx(pool->tokens.objects, i)); };
    auto take = [&] {
        toxtoken* t = QLTP_toxpool_token(pool.get());
        QLTP_toxtoken_setparent(t, &owner);
        return t;
    };
    EXPECT_EQ(take(), token(0));
    EXPECT_EQ(pool->tokens.cursor, 1);
    EXPECT_EQ(take(), token(1));
    EXPECT_EQ(QLTP_voidparray_sz(pool->tokens.objects), 3);
    EXPECT_EQ(pool->tokens.cursor, 2);
    QLTP_toxtoken_clear(token(0));
    EXPECT_EQ(take(), token(2));
    EXPECT_EQ(pool->tokens.cursor, 0);
    EXPECT_EQ(take(), token(0));
    EXPECT_EQ(QLTP_voidparray_sz(pool->tokens.objects), 4);
    EXPECT_EQ(QLTP_toxpool_tag(pool.get()), nullptr);
    EXPECT_EQ(QLTP_toxpool_spurt(pool.get()), nullptr);

    // An owned object at the cursor is reported and passed over.
    Pool small(QLTP_toxpool_new(1, 2, 2));
    toxtag* first = static_cast<toxtag*>(QLTP_voidparray_idx(small->tags.objects, 0));
    toxtoken* holder = QLTP_toxpool_token(small.get());
    QLTP_toxtoken_setparent(holder, &owner);
    QLTP_toxtoken_addtag(holder, first);
    testing::internal::CaptureStderr();
    toxtag* got = QLTP_toxpool_tag(small.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CRITICAL: pool returns a tag already in use.\n");
    EXPECT_NE(got, first);
    EXPECT_EQ(first->parent, holder);

    // What comes out is cleared, whatever removal left on it.
    QLTP_toxtag_init(got, holder, "emph", -1, QLTP_TAG_MID);
    QLTP_toxtoken_addtag(holder, got);
    got->fellow = first;
    QLTP_toxtag_set_attrib(got, "level", -1, "strong", -1);
    QLTP_toxtoken_removetag(holder, got);
    small->tags.cursor = 1;
    toxtag* again = QLTP_toxpool_tag(small.get());
    EXPECT_EQ(again, got);
    EXPECT_EQ(print(again), " start {}");
    EXPECT_EQ(again->fellow, nullptr);

    QLTP_toxtoken_set(holder, "held", -1);
    QLTP_toxpool_clear(small.get());
    EXPECT_EQ(owned(small->tags) + owned(small->tokens) + owned(small->spurts), 0);
    // After a clear every object comes out as new, whatever it held before.
    for (int i = 0; i < 3; ++i) {
        toxtoken* t = QLTP_toxpool_token(small.get());
        EXPECT_EQ(print(t), " -1 {[] -1  [][][FFFFF]} p \n");
        QLTP_toxtoken_setparent(t, &owner);
        toxtag* tag = QLTP_toxpool_tag(small.get());
        EXPECT_EQ(print(tag), " start {}");
        EXPECT_EQ(tag->fellow, nullptr);
        QLTP_toxtoken_addtag(t, tag);
    }
}

// Token text, tag names and attributes written on recycled objects must give
// the very bytes the string array's own operations give, for every length
// (empty, growing, shrinking, past one record byte, with a NUL inside the
// given length), and read back as written.
TEST(ToxPoolTest, RecycledObjectsStoreTheSameBytesAsTheStringArray) {
    std::mt19937 rng(1405);
    int owner = 0;
    Pool pool(QLTP_toxpool_new(0, 3, 5));
    auto bytes = [](const array* a) { return std::string(reinterpret_cast<const char*>(a->storage), a->count); };
    auto text = [&] {
        static const int kLengths[] = {0, 1, 2, 3, 7, 30, 199, 200, 201, 252, 253, 300};
        std::string t(static_cast<size_t>(kLengths[rng() % 12]), 'x');
        for (char& c : t) c = static_cast<char>('a' + rng() % 26);
        if (!t.empty() && rng() % 6 == 0) t[rng() % t.size()] = '\0';
        return t;
    };
    dystrarray* ref = QLTP_dystrarray_new(0);
    for (int round = 0; round < 300; ++round) {
        if (round % 20 == 0) QLTP_toxpool_clear(pool.get());
        toxtoken* token = QLTP_toxpool_token(pool.get());
        QLTP_toxtoken_setparent(token, &owner);
        for (int k = 0; k < 3; ++k) {
            std::string t = text();
            int len = rng() % 5 == 0 ? -1 : static_cast<int>(t.size());
            QLTP_dystrarray_copy(token->strings, ref);
            QLTP_dystrarray_replace(ref, 0, t.c_str(), len);
            ASSERT_EQ(QLTP_toxtoken_set(token, t.c_str(), len), 1);
            ASSERT_EQ(bytes(token->strings), bytes(ref)) << "length " << t.size();
            ASSERT_EQ(QLTP_toxtoken_get(token), std::string(t.c_str()));
            if (rng() % 2) QLTP_toxtoken_setpstpunc(token, t.c_str(), len);
        }
        toxtag* tag = QLTP_toxpool_tag(pool.get());
        std::string name = text();
        // A tag holding only its name record gets the record written afresh.
        QLTP_dystrarray_clear(ref, 0);
        QLTP_dystrarray_add(ref, name.c_str(), static_cast<int>(name.size()));
        QLTP_toxtag_init(tag, token, name.c_str(), static_cast<int>(name.size()), QLTP_TAG_CLOSED);
        QLTP_toxtoken_addtag(token, tag);
        ASSERT_EQ(bytes(tag->strings), bytes(ref));
        std::map<std::string, std::string> model;
        for (int k = 0; k < 4; ++k) {
            std::string a = rng() % 3 == 0 && !model.empty() ? model.begin()->first : text().substr(0, rng() % 9);
            a = a.c_str();
            std::string v = text();
            QLTP_dystrarray_copy(tag->strings, ref);
            int slot = -1;
            for (int i = 1; QLTP_dystrarray_idx(ref, i) && QLTP_dystrarray_idx(ref, i + 1); i += 2)
                if (a == QLTP_dystrarray_idx(ref, i)) slot = i + 1;
            if (slot > 0) {
                QLTP_dystrarray_replace(ref, slot, v.c_str(), static_cast<int>(v.size()));
            } else {
                QLTP_dystrarray_add(ref, a.c_str(), static_cast<int>(a.size()));
                QLTP_dystrarray_add(ref, v.c_str(), static_cast<int>(v.size()));
            }
            ASSERT_EQ(QLTP_toxtag_set_attrib(tag, a.c_str(), -1, v.c_str(), static_cast<int>(v.size())), 1);
            ASSERT_EQ(bytes(tag->strings), bytes(ref)) << "attribute " << a << " of length " << v.size();
            model[a] = v.c_str();
        }
        for (const auto& [a, v] : model) ASSERT_STREQ(QLTP_toxtag_val(tag, a.c_str()), v.c_str());
        ASSERT_EQ(QLTP_toxtag_name(tag), std::string(name.c_str()));
    }
    QLTP_dystrarray_delete(ref);
    QLTP_toxpool_clear(pool.get());
    EXPECT_EQ(owned(pool->tags) + owned(pool->tokens), 0);
}

// Every hand-out is the first free object after the one before it (wrapping),
// else a new one, however takes, releases and clears interleave; a model of
// which slots are owned predicts each object handed out.
TEST(ToxPoolTest, HandOutIsTheFirstFreeObjectAfterTheLast) {
    std::mt19937 rng(2207);
    int owner = 0;
    Pool pool(QLTP_toxpool_new(0, 4, 0));
    auto token = [&](int i) { return static_cast<toxtoken*>(QLTP_voidparray_idx(pool->tokens.objects, i)); };
    std::vector<bool> busy(4, false);
    int cursor = 0;
    for (int step = 0; step < 20000; ++step) {
        int r = static_cast<int>(rng() % 100);
        if (r < 55) {
            toxtoken* t = QLTP_toxpool_token(pool.get());
            ASSERT_EQ(t, token(cursor)) << "step " << step;
            QLTP_toxtoken_setparent(t, &owner);
            busy[cursor] = true;
            int n = static_cast<int>(busy.size()), next = -1;
            for (int k = 1; k < n && next < 0; ++k)
                if (!busy[(cursor + k) % n]) next = (cursor + k) % n;
            if (next < 0) busy.push_back(false), next = n;
            cursor = next;
            ASSERT_EQ(QLTP_voidparray_sz(pool->tokens.objects), static_cast<int>(busy.size()));
        } else if (r == 98) {
            // A whole phrase's worth at once.
            for (size_t i = rng() % 2; i < busy.size(); i += 2)
                if (busy[i]) QLTP_toxtoken_setparent(token(static_cast<int>(i)), nullptr), busy[i] = false;
        } else if (r < 98) {
            int i = static_cast<int>(rng() % busy.size());
            if (!busy[i]) continue;
            if (rng() % 2) QLTP_toxtoken_clear(token(i));
            else QLTP_toxtoken_setparent(token(i), nullptr);
            busy[i] = false;
            // Some are owned again at once, as a closing element's tag is.
            if (rng() % 3 == 0) QLTP_toxtoken_setparent(token(i), &owner), busy[i] = true;
        } else {
            QLTP_toxpool_clear(pool.get());
            std::fill(busy.begin(), busy.end(), false);
            cursor = 0;
        }
    }
}

// A pool that keeps growing while objects are released and owned again
// between hand-outs (the markup parser's elements, a phrase's tags) takes
// time in proportion to its hand-outs, not to their square.
TEST(ToxPoolTest, GrowingPoolWithReleasesHandsOutInLinearTime) {
    int owner = 0;
    auto run = [&](int n, double budget) {
        std::mt19937 rng(31);
        Pool pool(QLTP_toxpool_new(0, 1, 0));
        std::vector<toxtoken*> taken;
        const double start = orvelle_test::ThreadCpuSeconds();
        auto seconds = [&] { return orvelle_test::ThreadCpuSeconds() - start; };
        for (int i = 0; i < n; ++i) {
            toxtoken* t = QLTP_toxpool_token(pool.get());
            QLTP_toxtoken_setparent(t, &owner);
            taken.push_back(t);
            toxtoken* again = taken[rng() % taken.size()];
            QLTP_toxtoken_setparent(again, nullptr);
            QLTP_toxtoken_setparent(again, &owner);
            if (i % 1024 == 0 && seconds() > budget) break;
        }
        return seconds();
    };
    constexpr int kSmall = 40000;
    double small = 1e9, large = 1e9;
    for (int round = 0; round < 3; ++round) small = std::min(small, run(kSmall, 1e9));
    for (int round = 0; round < 3 && large >= 8 * small; ++round) large = std::min(large, run(4 * kSmall, 8 * small));
    EXPECT_LT(large, 8 * small) << "hand-outs: " << small << " s for " << kSmall << ", " << large << " s for four times as many";
}

TEST(ToxPoolTest, ReplacingTheTagListReleasesTheTagsLeftOut) {
    int owner = 0;
    Pool pool(QLTP_toxpool_new(0, 1, 3));
    toxtoken* t = QLTP_toxpool_token(pool.get());
    QLTP_toxtoken_setparent(t, &owner);
    toxtag* a = new_tag(pool.get(), t, "a", QLTP_TAG_CLOSED);
    new_tag(pool.get(), t, "b", QLTP_TAG_CLOSED);
    toxtag* c = new_tag(pool.get(), t, "c", QLTP_TAG_CLOSED);
    t->tagmark = 3;
    voidparray* list = QLTP_voidparray_new();
    QLTP_voidparray_add(list, c);
    QLTP_voidparray_add(list, nullptr);
    QLTP_voidparray_add(list, a);
    EXPECT_EQ(QLTP_toxtoken_replace_tags(t, list), 3);
    EXPECT_EQ(QLTP_toxtoken_notags(t), 2);
    EXPECT_EQ(QLTP_toxtoken_tagidx(t, 0), c);
    EXPECT_EQ(owned(pool->tags), 2);
    EXPECT_LE(t->tagmark, 2);
    QLTP_voidparray_delete(list);
}

TEST(ToxStreamTest, RealTokensAndSpurtPrinting) {
    int owner = 0;
    Pool pool(QLTP_toxpool_new(2, 4, 0));
    voidparray* stream = QLTP_voidparray_new();
    const char* norms[] = {"pause", "", "a", ""};  // one character is text too
    for (const char* norm : norms) {
        toxtoken* t = QLTP_toxpool_token(pool.get());
        QLTP_toxtoken_setparent(t, &owner);
        QLTP_toxtoken_set_norm(t, norm, -1);
        QLTP_voidparray_add(stream, t);
    }
    EXPECT_EQ(QLTP_toxstream_last_realtk(stream), 2);
    EXPECT_EQ(QLTP_toxstream_next_realtkidx(stream, 1), 2);
    EXPECT_EQ(QLTP_toxstream_next_realtkidx(stream, 3), -1);
    EXPECT_EQ(QLTP_toxstream_next_realtk(stream, 0), QLTP_voidparray_idx(stream, 0));
    EXPECT_EQ(QLTP_toxstream_prev_realtk(stream, 1), QLTP_voidparray_idx(stream, 0));
    EXPECT_EQ(QLTP_toxstream_prev_realtk(stream, 9), QLTP_voidparray_idx(stream, 2));
    QLTP_toxtoken_set_norm(static_cast<toxtoken*>(QLTP_voidparray_idx(stream, 2)), "", 0);
    EXPECT_EQ(QLTP_toxstream_last_realtk(stream), 0);

    voidparray* spurts = QLTP_voidparray_new();
    for (int k = 0; k < 2; ++k) {
        toxspurt* s = QLTP_toxpool_spurt(pool.get());
        QLTP_toxspurt_setparent(s, &owner);
        QLTP_toxspurt_add(s, static_cast<toxtoken*>(QLTP_voidparray_idx(stream, k)));
        QLTP_voidparray_add(spurts, s);
    }
    static_cast<toxspurt*>(QLTP_voidparray_idx(spurts, 1))->phrases = 2;
    static_cast<toxspurt*>(QLTP_voidparray_idx(spurts, 1))->phrase = 1;
    Dystr out(QLTP_dystr_new("", 0));
    EXPECT_EQ(QLTP_toxspstream_print(spurts, out.get()), 2);
    EXPECT_EQ(std::string(QLTP_dystr_cstr(out.get())),
              " -1 {[pause] -1  [][][FFFFF]} p \nPHRASE\n -1 {[] -1  [][][FFFFF]} p \nPHRASE 1 of 2\n");
    EXPECT_EQ(QLTP_toxspstream_release_tox(spurts), 2);
    EXPECT_EQ(owned(pool->spurts), 0);
    EXPECT_EQ(owned(pool->tokens), 2);
    EXPECT_EQ(QLTP_toxstream_release_tox(stream), 4);
    EXPECT_EQ(owned(pool->tokens), 0);
    QLTP_voidparray_delete(spurts);
    QLTP_voidparray_delete(stream);
}

}  // namespace
