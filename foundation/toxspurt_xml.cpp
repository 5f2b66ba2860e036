// Spurt XML: the layout (tabs, line feeds, attribute order, quoting) is what
// readers of the spurt and build channel output parse, so it is fixed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dystrarray.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/utf8.h"

namespace {

bool named(const toxtag* tag, const char* name) { return std::strcmp(QLTP_toxtag_name(tag), name) == 0; }

int tag_count(const toxtoken* t) { return t ? QLTP_voidparray_sz(t->tags) : 0; }
toxtag* tag_at(const toxtoken* t, int i) { return QLTP_toxtag_cast(QLTP_voidparray_idx(t->tags, i)); }

// A lex element whose word got no pronunciation is kept, commented out.
bool commented_lex(const toxtag* tag) { return named(tag, "lex") && !QLTP_toxtag_val(tag, "spron"); }

// Names are checked where tags are made; one that could not be written as
// markup is never written.
bool writable(const char* name) { return QLTP_xml_name(name, -1) != 0; }

class SpurtWriter {
public:
    explicit SpurtWriter(dystr* out) : out_(out) {}

    void spurt(const toxspurt* s) {
        put("<spurt spurt_id='");
        if (s->jobid) {
            escaped(s->jobid, true);
            put("_");
        }
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", s->id);
        put(digits);
        if (s->phrases) {
            const std::pair<const char*, int> fields[] = {
                {"' phrases='", s->phrases},     {"' phrase='", s->phrase},       {"' utt_words='", s->utt_words},
                {"' utt_syls='", s->utt_syls},   {"' pre_words='", s->pre_words}, {"' pre_syls='", s->pre_syls},
                {"' pst_words='", s->pst_words}, {"' pst_syls='", s->pst_syls}};
            for (const auto& [key, value] : fields) {
                put(key);
                QLTP_dystr_appendint(out_, value);
            }
        }
        put("'>\n");
        int n = QLTP_voidparray_sz(s->tokens);
        auto token = [&](int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(s->tokens, i)); };
        if (n == 1) {
            empty_spurt(token(0));
            return;
        }
        pause(token(0), true);
        put("\t<speech>\n");
        for (int i = 1; i < n; ++i) this->token(token(i));
        close_all();
        put("\t</speech>\n");
        pause(token(n - 1), false);
        put("\n</spurt>\n");
    }

private:
    void put(std::string_view s) { QLTP_dystr_append(out_, s.data(), static_cast<int>(s.size())); }
    void tabs(int n) {
        for (int i = 0; i < n; ++i) put("\t");
    }

    // '&', '<' and '>' always; "'" only inside attribute values. Characters
    // a document may not hold and bytes that are not UTF-8 are written as
    // "_", as the tokeniser writes them in its input.
    void escaped(std::string_view s, bool attribute) {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        size_t from = 0;
        for (size_t i = 0; i < s.size();) {
            const char* entity = nullptr;
            size_t skip = 1;
            const unsigned char c = p[i];
            if (c == '&') {
                entity = "&amp;";
            } else if (c == '<') {
                entity = "&lt;";
            } else if (c == '>') {
                entity = "&gt;";
            } else if (c == '\'') {
                entity = attribute ? "&apos;" : nullptr;
            } else if (c < 0x20) {
                entity = c == '\t' || c == '\n' || c == '\r' ? nullptr : "_";
            } else if (c >= 0x80) {
                const int n = QLTP_utf8_sequence(p + i, s.size() - i);
                if (n <= 0) {
                    entity = "_";
                    skip = static_cast<size_t>(QLTP_utf8_bad_length(p + i, s.size() - i));
                } else {
                    skip = static_cast<size_t>(n);
                    // U+FFFE and U+FFFF are not characters of a document.
                    if (n == 3 && c == 0xEF && p[i + 1] == 0xBF && p[i + 2] >= 0xBE) entity = "_";
                }
            }
            if (entity) {
                put(s.substr(from, i - from));
                put(entity);
                from = i + skip;
            }
            i += skip;
        }
        put(s.substr(from));
    }

    // Pauses hold only empty elements, whatever the type of the tag.
    void start_tag(const toxtag* tag, const char* pos, bool empty = false) {
        put("<");
        put(QLTP_toxtag_name(tag));
        const char* spron = nullptr;
        if (named(tag, "lex")) {
            spron = QLTP_toxtag_val(tag, "spron");
            if (pos && *pos) {
                put(" pos='");
                escaped(pos, true);
                put("'");
            }
        }
        int count = QLTP_dystrarray_sz(tag->strings);
        for (int i = 1; i + 1 < count; i += 2) {
            std::string_view name = QLTP_dystrarray_idx(tag->strings, i);
            const char* value = QLTP_dystrarray_idx(tag->strings, i + 1);
            if (name == "spron" || name == "pos" || !writable(name.data())) continue;
            if (name == "phonemes" && spron) {
                std::string phonemes;
                for (const char* p = spron; *p; ++p) {
                    if (*p == '+' || *p == '_') phonemes += ' ';
                    else if (*p == '|') phonemes += " . ";
                    else phonemes += *p;
                }
                put(" phonemes='");
                escaped(phonemes, true);
                put("'");
                continue;
            }
            put(" ");
            put(name);
            put("='");
            escaped(value, true);
            put("'");
        }
        put(tag->type == QLTP_TAG_CLOSED || empty ? "/>" : ">");
    }

    void pause(const toxtoken* t, bool first) {
        put("\t<pause>\n\t\t");
        bool broken = false;
        for (int i = 0, n = tag_count(t); i < n; ++i) {
            const toxtag* tag = tag_at(t, i);
            if (tag->type == QLTP_TAG_CLOSED && named(tag, "mark")) {
                if (first || broken) {
                    put("\n\t\t");
                    start_tag(tag, nullptr, true);
                }
            } else if (named(tag, "break")) {
                start_tag(tag, nullptr, true);
                broken = true;
            } else if (named(tag, "nzaudio")) {
                start_tag(tag, nullptr, true);
            }
        }
        put("\n\t</pause>\n");
    }

    // Seconds with up to three decimals as thousandths; 0 when unreadable.
    // The seconds saturate at 15 digits.
    static int64_t thousandths(const char* time) {
        if (!time) return 0;
        constexpr int64_t kMaxWhole = 999999999999999;
        int64_t whole = 0;
        const char* p = time;
        if (*p < '0' || *p > '9') return 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            whole = whole > kMaxWhole / 10 ? kMaxWhole : std::min(kMaxWhole, whole * 10 + (*p - '0'));
        int64_t frac = 0, scale = 100;
        if (*p == '.') {
            for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10) frac += scale * (*p - '0');
        }
        return whole * 1000 + frac;
    }

    // A pause-only spurt: the (last) break is split in halves around an empty
    // speech element, so that the pause keeps its length.
    void empty_spurt(toxtoken* t) {
        put("\t<pause>\n\t\t");
        int breaks = 0;
        for (int i = 0, n = tag_count(t); i < n; ++i) breaks += named(tag_at(t, i), "break");
        for (int i = 0, n = tag_count(t); i < n; ++i) {
            toxtag* tag = tag_at(t, i);
            if (named(tag, "mark") || named(tag, "nzaudio")) {
                start_tag(tag, nullptr, true);
            } else if (named(tag, "break") && --breaks > 0) {
                start_tag(tag, nullptr, true);
            } else if (named(tag, "break")) {
                const char* time = QLTP_toxtag_val(tag, "time");
                std::string full = time ? time : "";
                bool had_time = time != nullptr;
                QLTP_toxtag_set_attrib_fixedpoint(tag, "time", 4, thousandths(time) / 2, 3);
                start_tag(tag, nullptr, true);
                put("\n\t</pause>\n\t<speech>\n\t</speech>\n\t<pause>\n\t\t");
                start_tag(tag, nullptr, true);
                if (had_time) QLTP_toxtag_set_attrib(tag, "time", 4, full.data(), static_cast<int>(full.size()));
            }
        }
        put("\n\t</pause>\n</spurt>\n");
    }

    void begin_comment() {
        put("<!--");
        comment_from_ = QLTP_dystr_sz(out_);
    }

    // "--" may not appear inside a comment, nor may it end in '-'.
    void end_comment() {
        std::string body(QLTP_dystr_cstr(out_) + comment_from_);
        std::string fixed;
        for (char c : body) {
            if (c == '-' && !fixed.empty() && fixed.back() == '-') fixed += ' ';
            fixed += c;
        }
        if (!fixed.empty() && fixed.back() == '-') fixed += ' ';
        if (fixed.size() != body.size()) {
            QLTP_dystr_truncate(out_, comment_from_);
            put(fixed);
        }
        put("-->");
    }

    void open_comment() {
        if (comments_++ == 0) begin_comment();
    }
    void close_comment() {
        if (comments_ > 0 && --comments_ == 0) end_comment();
    }

    // Another element's tag is never written inside a commented-out lex
    // element, so that its start and end tags both stay in the document: the
    // comment is closed before it and opened again after it.
    template <typename Write>
    void outside_comment(Write write) {
        const bool inside = comments_ > 0;
        if (inside) end_comment();
        write();
        if (inside) begin_comment();
    }

    // Elements are written properly nested whatever the tags say: an end tag
    // closes the innermost open element of its name, closing and reopening
    // the ones inside it; an end tag whose start was never written is left
    // out, and what is still open when the speech ends is closed there.
    struct Open {
        const toxtag* tag;
        const char* pos;
    };

    void write_end(const toxtag* tag) {
        --depth_;
        tabs(depth_);
        outside_comment([&] {
            put("</");
            put(QLTP_toxtag_name(tag));
            put(">");
        });
        put("\n");
    }

    void write_start(const toxtag* tag, const char* pos) {
        tabs(depth_);
        outside_comment([&] { start_tag(tag, pos); });
        ++depth_;
        put("\n");
    }

    void close_element(const toxtag* tag) {
        const char* name = QLTP_toxtag_name(tag);
        size_t k = open_.size();
        while (k > 0 && std::strcmp(QLTP_toxtag_name(open_[k - 1].tag), name) != 0) --k;
        if (k == 0) return;
        const std::vector<Open> inside(open_.begin() + static_cast<std::ptrdiff_t>(k), open_.end());
        for (size_t j = inside.size(); j > 0; --j) write_end(inside[j - 1].tag);
        write_end(tag);
        open_.resize(k - 1);
        for (const Open& o : inside) {
            write_start(o.tag, o.pos);
            open_.push_back(o);
        }
    }

    void close_all() {
        if (comments_ > 0) {
            comments_ = 1;
            close_comment();
        }
        while (!open_.empty()) {
            write_end(open_.back().tag);
            open_.pop_back();
        }
    }

    void token(toxtoken* t) {
        const char* pos = QLTP_toxtoken_getpos(t);
        int n = tag_count(t);
        for (int i = 0; i < n; ++i) {
            toxtag* tag = tag_at(t, i);
            if (named(tag, "break")) continue;
            if (!*QLTP_toxtag_name(tag)) {
                QLTP_toxtag_set_name(tag, "xmlfixemptyopen", -1);
                QLTP_toxtag_settype(tag, QLTP_TAG_STARTEND);
            }
            if (tag->type != QLTP_TAG_START && tag->type != QLTP_TAG_STARTEND) continue;
            if (!writable(QLTP_toxtag_name(tag))) continue;
            if (commented_lex(tag)) {
                tabs(depth_);
                open_comment();
                start_tag(tag, pos);
                ++depth_;
                put("\n");
            } else {
                write_start(tag, pos);
                open_.push_back({tag, pos});
            }
        }
        const char* norm = QLTP_toxtoken_getnorm(t);
        if (norm && *norm) {
            tabs(depth_);
            escaped(norm, false);
            put("\n");
        }
        for (int i = n - 1; i >= 0; --i) {
            toxtag* tag = tag_at(t, i);
            if (named(tag, "break")) continue;
            if (tag->type != QLTP_TAG_END && tag->type != QLTP_TAG_STARTEND) continue;
            if (!*QLTP_toxtag_name(tag)) {
                QLTP_toxtag_set_name(tag, "xmlfixemptyclose", -1);
                QLTP_toxtag_settype(tag, QLTP_TAG_STARTEND);
            }
            if (!writable(QLTP_toxtag_name(tag))) continue;
            if (commented_lex(tag) && comments_ > 0) {
                --depth_;
                tabs(depth_);
                put("</lex>");
                close_comment();
                put("\n");
            } else {
                close_element(tag);
            }
        }
        for (int i = 0; i < n; ++i) {
            const toxtag* tag = tag_at(t, i);
            if (named(tag, "break")) break;
            if (tag->type != QLTP_TAG_CLOSED || !writable(QLTP_toxtag_name(tag))) continue;
            tabs(depth_);
            outside_comment([&] { start_tag(tag, nullptr); });
            put("\n");
        }
    }

    dystr* out_;
    int depth_ = 2;
    int comments_ = 0;       // commented-out lex elements open
    int comment_from_ = 0;   // where the outermost comment's body begins
    std::vector<Open> open_; // elements written and not yet closed, outermost first
};

}  // namespace

int QLTP_toxspurt_xml(toxspurt* spurt, dystr* out) {
    if (!out) return 0;
    QLTP_dystr_clear(out);
    if (!spurt || QLTP_voidparray_sz(spurt->tokens) == 0) return 1;
    SpurtWriter(out).spurt(spurt);
    return 1;
}
