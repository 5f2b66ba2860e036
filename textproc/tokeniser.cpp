#include "foundation/utf8.h"
#include "textproc/tokeniser.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "foundation/regex.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "textproc/channel.h"
#include "textproc/encoding.h"
#include "textproc/unorm.h"
#include "foundation/xmlscan.h"

const char* const QLTP_PROCESSING_MODE_NAMES[4] = {"strict_utf8_xml", "strict_xml", "lax", "lax_iso"};
const char* const QLTP_APPLICATION_TAGS[4] = {"voice", "metadata", "audio", ""};
const char* const QLTP_APPLICATION_TAGS_SERVER[3] = {"lexicon", "audio", ""};

namespace {

constexpr int kDefaultContext = 4096;
// Open elements carried into the piece after an application tag, at most;
// deeper ones are dropped from later pieces, as the pipeline drops elements
// nested deeper than this, so that a piece never costs more than this many
// start and end tags.
constexpr size_t kMaxCarried = 256;
constexpr int kSlots = QLTP_XMLTOKEN_SLOTS;
constexpr int kEntitySlot = QLTP_XMLENTITY;

// Control characters and the two non-characters U+FFFE and U+FFFF. Surrogate
// code points never reach it: the input is valid UTF-8 before it is scanned.
constexpr char kBadXMLChar[] = "[\\x00-\\x08\\x0b-\\x0c\\x0e-\\x1f\\x{fffe}-\\x{ffff}]";

// The patterns, compiled once per process and shared read-only by every
// tokeniser (matching keeps its state per thread).
struct Patterns {
    QLTP_regex* token[kSlots] = {};
    QLTP_regex* bad = nullptr;
};

const Patterns& SharedPatterns() {
    static Patterns patterns;
    static std::once_flag once;
    std::call_once(once, [] {
        // Anchored patterns tried at every token: no search ahead for the
        // ">" or ";" a match needs, which a lone "<" or "&" would pay for
        // with the rest of the buffer.
        for (int i = 0; i < kSlots; ++i)
            patterns.token[i] = QLTP_regex_compile(
                QLTP_XMLTOKEN_PATTERNS[i], -1,
                QLTP_REGEX_NO_START_SCAN | (i == QLTP_XMLDOCTYPE ? QLTP_REGEX_DOTALL : 0));
        patterns.bad = QLTP_regex_compile(kBadXMLChar, -1, 0);
    });
    return patterns;
}

struct Run {
    bool open = false;
    int64_t c0 = 0;     // character and byte totals when the run began
    int64_t b0 = 0;
    int64_t nc = 0;     // characters and bytes of the run in the input
    int64_t nb = 0;
    size_t out_start = 0;  // where the run's output begins
    int pos0 = 0;          // where the run begins in the input buffer
};


bool IsWspace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
// Blanks inside markup also take form feed and vertical tab.
bool IsMarkupBlank(char c) { return IsWspace(c) || c == '\v' || c == '\f'; }

// Size of a bad sequence: the lead byte and the continuation bytes that could
// still have belonged to it (so that a good byte after it is never lost).
// A NUL is never a character of the output.
int SequenceLength(const unsigned char* p, size_t n) {
    return p[0] == 0 ? 0 : QLTP_utf8_sequence(p, n);
}

// Name of a start or empty tag: the bytes after "<" up to the first control
// character, blank or the final ">", so that a repaired close tag carries the
// element name only. An empty tag without a blank keeps its "/": "<voice/>"
// is named "voice/".
std::string_view TagName(std::string_view tag) {
    if (tag.size() < 2) return std::string_view();
    size_t w = 1;
    while (w < tag.size() && static_cast<unsigned char>(tag[w]) > 0x20 && !(tag[w] == '>' && w + 1 == tag.size())) ++w;
    return tag.substr(1, w - 1);
}

// Name of a close tag: after "</" up to the first whitespace or ">".
std::string_view CloseName(std::string_view tag) {
    size_t i = 2;
    while (i < tag.size() && !IsMarkupBlank(tag[i]) && tag[i] != '>') ++i;
    return tag.size() >= 2 ? tag.substr(2, i - 2) : std::string_view();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A character reference that XML accepts: "#" decimal digits or "#x" hex
// digits naming a character allowed in a document.
bool ValidCharRef(std::string_view ref) {
    if (ref.size() < 2 || ref[0] != '#') return false;
    uint32_t cp = 0;
    bool hex = ref[1] == 'x';
    size_t i = hex ? 2 : 1;
    if (i >= ref.size()) return false;
    for (; i < ref.size(); ++i) {
        char c = ref[i];
        if (hex ? !IsHex(c) : !IsDigit(c)) return false;
        uint32_t d = IsDigit(c) ? static_cast<uint32_t>(c - '0')
                                : static_cast<uint32_t>((c | 0x20) - 'a' + 10);
        cp = cp * (hex ? 16 : 10) + d;
        if (cp > 0x10FFFF) return false;
    }
    if (cp == 0x9 || cp == 0xA || cp == 0xD) return true;
    if (cp < 0x20) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF;
}

// A name XML allows, for an entity reference (ASCII and UTF-8 alike).
bool ValidNameRef(std::string_view ref) {
    size_t i = 0;
    bool first = true;
    while (i < ref.size()) {
        uint32_t cp = static_cast<unsigned char>(ref[i]);
        int n = 1;
        if (cp >= 0x80) {
            n = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(ref.data() + i), ref.size() - i);
            if (n <= 0 || QLTP_utf82unicode(&cp, ref.data() + i) <= 0) return false;
        }
        bool start = (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || cp == '_' || cp == ':' ||
                     (cp >= 0xC0 && cp <= 0xD6) || (cp >= 0xD8 && cp <= 0xF6) || (cp >= 0xF8 && cp <= 0x2FF) ||
                     (cp >= 0x370 && cp <= 0x37D) || (cp >= 0x37F && cp <= 0x1FFF) ||
                     (cp >= 0x200C && cp <= 0x200D) || (cp >= 0x2070 && cp <= 0x218F) ||
                     (cp >= 0x2C00 && cp <= 0x2FEF) || (cp >= 0x3001 && cp <= 0xD7FF) ||
                     (cp >= 0xF900 && cp <= 0xFDCF) || (cp >= 0xFDF0 && cp <= 0xFFFD) ||
                     (cp >= 0x10000 && cp <= 0xEFFFF);
        bool other = IsDigit(static_cast<char>(cp < 0x80 ? cp : 0)) || cp == '-' || cp == '.' || cp == 0xB7 ||
                     (cp >= 0x300 && cp <= 0x36F) || (cp >= 0x203F && cp <= 0x2040);
        if (!(start || (!first && other))) return false;
        first = false;
        i += static_cast<size_t>(n);
    }
    return !first;
}

// A reference XML keeps: a character reference to an allowed character, or
// a name. Anything else is text.
bool ValidRef(std::string_view ref) {
    return !ref.empty() && (ref[0] == '#' ? ValidCharRef(ref) : ValidNameRef(ref));
}

}  // namespace

struct tokenise {
    const char* name = "tokenise";
    int xml_input = 0;
    int stream_start = 1;
    int convert = 1;
    int lax = 0;
    int iso = 0;
    int context_size = kDefaultContext;
    int mode = QLTP_PROCESSING_STRICT_XML;
    channel* ch = nullptr;
    int64_t char_total = 0;
    int64_t byte_total = 0;
    std::vector<std::string> stack;  // full text of each open start tag, outermost first
    dystr* input = nullptr;
    dystr* output = nullptr;
    std::string scratch;
    dystr* conversion = nullptr;
    dystr* composition = nullptr;
    dystr* escape = nullptr;
    const Patterns* patterns = nullptr;
    void* rules = nullptr;  // the database's rule set, borrowed; not read here
    int in_comment = 0;
    int in_cdata = 0;
    int marks_on = 1;
    int has_content = 0;
    QLTP_encoding_state encoding{};
    int pending = 0;
    // After an application tag the elements open around it are reopened in
    // the next call's output. Their start tags are written only when that
    // output is handed on, so that a run of tags without text between them
    // costs nothing per open element: reopen counts the open elements, from
    // the outermost, whose start tags this call's output still lacks.
    size_t reopen = 0;
    // The pending application start tag waits at the front of the input and
    // is passed through by the next scan.
    bool resume_app = false;
    // Server mode writes no repairs, but text outside every element is still
    // put in a "parent" element, as in the other modes, so that later stages
    // see it inside one.
    bool server = false;
    bool implicit_parent = false;
    std::string app_tag;
    const char* const* app_tags = QLTP_APPLICATION_TAGS;
    // Bytes at the front of the input buffer known to be well-formed UTF-8
    // without NUL, and where the bytes the scanner may see end.
    int valid = 0;
    int visible = 0;
    // Bytes at the front of the input buffer already consumed; they are
    // dropped in one go now and then rather than after every pass.
    int head = 0;
    std::string tag_text;  // scratch for repaired tags
    std::string out;       // this call's output, copied to output at its end
    // Stack entries from kMaxCarried up to here were open at an application
    // tag: they stay on the stack, so that their end tags are known, but they
    // and their end tags are written no more.
    size_t dropped_end = 0;
    // A text run at the front of the input that waits for the next call (see
    // Scan): how much of it was scanned and what it wrote, so that the next
    // call goes on from there rather than scanning it again.
    struct {
        bool active = false;
        int bytes = 0;
        int64_t chars = 0;
        std::string out;
    } held;
};

namespace {

char* InputData(tokenise* tk) { return QLTP_dystr_cstr(tk->input) + tk->head; }
int InputSize(const tokenise* tk) { return QLTP_dystr_sz(tk->input) - tk->head; }

void DropConsumed(tokenise* tk) {
    if (tk->head > 0) QLTP_dystr_delete_upto(tk->input, tk->head);
    tk->head = 0;
}

void Write(tokenise* tk, std::string_view s) {
    tk->out.append(s);
}

bool IsApplicationTag(const tokenise* tk, std::string_view name) {
    for (const char* const* t = tk->app_tags; *t != nullptr && **t != '\0'; ++t)
        if (name == *t) return true;
    return false;
}

// The bad-character pattern decides for the few characters that can match
// it; every other character is allowed without a match.
bool IsBadChar(const tokenise* tk, const unsigned char* p, int len) {
    bool candidate = (p[0] < 0x20 && p[0] != '\t' && p[0] != '\n' && p[0] != '\r') ||
                     (len == 3 && p[0] == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF));
    if (!candidate) return false;
    if (tk->patterns->bad == nullptr) return true;
    return QLTP_regex_exec(tk->patterns->bad, reinterpret_cast<const char*>(p), len, 0, nullptr,
                           QLTP_REGEX_VALID_UTF8) > 0;
}

// Escapes text into the escape buffer: "<" and ">" become references, "&"
// stays only where a well-formed reference begins the text, characters not
// allowed in a document and bytes that are not UTF-8 become "_".
void Escape(tokenise* tk, const char* text, int len, bool markup) {
    dystr* out = tk->escape;
    QLTP_dystr_clear(out);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    int i = 0;
    int plain = 0;  // start of the run of bytes copied as they are
    auto flush = [&](int upto) {
        if (upto > plain) QLTP_dystr_append(out, text + plain, upto - plain);
    };
    while (i < len && p[i] != 0) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x80) {
            if (markup && (c == '<' || c == '>' || c == '&')) {
                flush(i);
                if (c == '<') {
                    QLTP_dystr_append(out, "&lt;", 4);
                } else if (c == '>') {
                    QLTP_dystr_append(out, "&gt;", 4);
                } else {
                    bool keep = false;
                    if (i == 0 && tk->patterns->token[kEntitySlot] != nullptr) {
                        // A reference is ASCII: the pattern sees only the
                        // ASCII bytes at the start.
                        int ascii = 0;
                        while (ascii < len && p[ascii] != 0 && p[ascii] < 0x80) ++ascii;
                        int ov[QLTP_REGEX_OVECSIZE];
                        if (QLTP_regex_exec(tk->patterns->token[kEntitySlot], text, ascii, 0, ov,
                                            QLTP_REGEX_VALID_UTF8) > 1) {
                            std::string_view ref(text + ov[2], static_cast<size_t>(ov[3] - ov[2]));
                            keep = ValidRef(ref);
                        }
                    }
                    QLTP_dystr_append(out, keep ? "&" : "&amp;", keep ? 1 : 5);
                }
                plain = i + 1;
            }
            ++i;
            continue;
        }
        int n = SequenceLength(p + i, static_cast<size_t>(len - i));
        if (n <= 0 || IsBadChar(tk, p + i, n)) {
            flush(i);
            QLTP_dystr_append(out, "_", 1);
            i += n <= 0 ? QLTP_utf8_bad_length(p + i, static_cast<size_t>(len - i)) : n;
            plain = i;
            continue;
        }
        i += n;
    }
    flush(i);
}

// Writes text escaped and composed to NFC.
void WriteEscaped(tokenise* tk, const char* text, int len) {
    // Printable ASCII without markup characters stays as it is.
    bool plain = true;
    for (int i = 0; i < len && plain; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        plain = c >= 0x20 && c < 0x80 && c != '<' && c != '>' && c != '&';
    }
    if (plain) {
        Write(tk, std::string_view(text, static_cast<size_t>(len)));
        return;
    }
    Escape(tk, text, len, true);
    const char* e = QLTP_dystr_cstr(tk->escape);
    int elen = QLTP_dystr_sz(tk->escape);
    bool ascii = true;
    for (int i = 0; i < elen && ascii; ++i) ascii = static_cast<unsigned char>(e[i]) < 0x80;
    if (ascii) {
        Write(tk, std::string_view(e, static_cast<size_t>(elen)));
        return;
    }
    int consumed = elen;
    QLTP_utf8_normalise_composed(e, tk->composition, &consumed, 0, 1);
    Write(tk, std::string_view(QLTP_dystr_cstr(tk->composition),
                               static_cast<size_t>(QLTP_dystr_sz(tk->composition))));
}

// Markup written as it is, except in lax modes, where characters a document
// cannot hold become "_" and a tag's attribute values get their "<" and
// stray "&" escaped and repeated attributes dropped, so that the output stays
// well-formed.
void WriteMarkup(tokenise* tk, std::string_view s, bool tag) {
    if (!tk->lax) {
        Write(tk, s);
        return;
    }
    if (!tag) {
        Escape(tk, s.data(), static_cast<int>(s.size()), false);
        Write(tk, std::string_view(QLTP_dystr_cstr(tk->escape), static_cast<size_t>(QLTP_dystr_sz(tk->escape))));
        return;
    }
    std::string& out = tk->tag_text;
    out.clear();
    std::vector<std::string_view> seen;
    size_t i = s.size() > 1 && s[1] == '/' ? 2 : 1;  // after "<" or "</"
    while (i < s.size() && !IsMarkupBlank(s[i]) && s[i] != '/' && s[i] != '>') ++i;
    out.append(s.substr(0, i));
    while (i < s.size()) {
        size_t ws = i;
        while (i < s.size() && IsMarkupBlank(s[i])) ++i;
        if (i >= s.size() || s[i] == '/' || s[i] == '>') {
            // An empty tag ends "/>" with no blank between.
            out.append(s.substr(ws, i - ws));
            out.append(i < s.size() && s[i] == '/' ? "/>" : s.substr(i));
            break;
        }
        size_t name = i;
        while (i < s.size() && s[i] != '=' && !IsMarkupBlank(s[i])) ++i;
        std::string_view attr = s.substr(name, i - name);
        while (i < s.size() && s[i] != '"' && s[i] != '\'') ++i;
        if (i >= s.size()) {
            out.append(s.substr(ws));
            break;
        }
        char q = s[i];
        size_t vstart = i + 1;
        size_t vend = s.find(q, vstart);
        if (vend == std::string_view::npos) {
            out.append(s.substr(ws));
            break;
        }
        bool repeated = false;
        for (std::string_view a : seen) repeated = repeated || a == attr;
        if (!repeated) {
            seen.push_back(attr);
            out.append(s.substr(ws, vstart - ws));
            for (size_t k = vstart; k < vend; ++k) {
                if (s[k] == '<') {
                    out += "&lt;";
                } else if (s[k] == '&') {
                    size_t semi = s.find(';', k);
                    bool ref = false;
                    if (semi != std::string_view::npos && semi < vend && semi > k + 1) {
                        std::string_view r = s.substr(k + 1, semi - k - 1);
                        ref = ValidRef(r);
                    }
                    out += ref ? "&" : "&amp;";
                } else {
                    out += s[k];
                }
            }
            out += q;
        }
        i = vend + 1;
    }
    // Form feed and vertical tab cannot stand in a document: blanks.
    for (char& c : out)
        if (c == '\v' || c == '\f') c = ' ';
    Escape(tk, out.data(), static_cast<int>(out.size()), false);
    Write(tk, std::string_view(QLTP_dystr_cstr(tk->escape), static_cast<size_t>(QLTP_dystr_sz(tk->escape))));
}

// Appends v in decimal (v >= 0).
char* PutNumber(char* p, int64_t v) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// Inserts the run's token mark before its output and closes it.
void CloseRun(tokenise* tk, Run& run) {
    if (!run.open) return;
    run.open = false;
    if (!tk->marks_on) return;
    static constexpr char kHead[] = "<mark name=\"qltk_";
    char mark[160];
    char* p = mark;
    std::memcpy(p, kHead, sizeof kHead - 1);
    p += sizeof kHead - 1;
    p = PutNumber(p, run.c0);
    *p++ = '_';
    p = PutNumber(p, run.b0);
    *p++ = '_';
    p = PutNumber(p, run.nc);
    *p++ = '_';
    p = PutNumber(p, run.nb);
    std::memcpy(p, "\"/>", 3);
    p += 3;
    tk->out.insert(run.out_start, mark, static_cast<size_t>(p - mark));
}

// Classifies the token at p (n > 0 bytes, well-formed UTF-8): sets its kind
// and returns its byte length. Only the patterns whose first character can
// be p[0] are tried, in slot order.
int Classify(const tokenise* tk, const char* p, int n, int* kind) {
    // After "<" the second character narrows the tag patterns down: "!"
    // comment, CDATA, doctype; "?" header; "/" close tag; else a name.
    static const int kLtBang[] = {QLTP_XMLCOMMENTSTART, QLTP_XMLCDATASTART, QLTP_XMLDOCTYPE, QLTP_XMLCHAR, -1};
    static const int kLtQuestion[] = {QLTP_XMLHEADER, QLTP_XMLCHAR, -1};
    static const int kLtSlash[] = {QLTP_XMLCLOSE, QLTP_XMLCHAR, -1};
    static const int kLtName[] = {QLTP_XMLEMPTY, QLTP_XMLOPEN, QLTP_HTMLOPEN, QLTP_XMLCHAR, -1};
    static const int kWhitespace[] = {QLTP_WHITESPACE, -1};
    static const int kText[] = {QLTP_TEXT, -1};
    static const int kDash[] = {QLTP_XMLCOMMENTEND, QLTP_XMLCHAR, -1};
    static const int kBracket[] = {QLTP_XMLCDATAEND, QLTP_XMLCHAR, -1};
    static const int kAmp[] = {QLTP_XMLENTITY, QLTP_XMLCHAR, -1};
    static const int kChar[] = {QLTP_XMLCHAR, -1};
    static const int kOther[] = {QLTP_WHITESPACE, QLTP_TEXT, -1};
    static const int kCommentLt[] = {QLTP_XMLCHAR, -1};
    static const int kCommentDash[] = {QLTP_XMLCOMMENTEND, QLTP_XMLCHAR, -1};
    static const int kCdataBracket[] = {QLTP_XMLCDATAEND, QLTP_XMLCHAR, -1};
    const int* slots;
    char c = p[0];
    bool inside = tk->in_comment || tk->in_cdata;
    switch (c) {
        case '<': {
            char d = n > 1 ? p[1] : '\0';
            slots = inside ? kCommentLt : d == '!' ? kLtBang : d == '?' ? kLtQuestion : d == '/' ? kLtSlash : kLtName;
            break;
        }
        case '-':
            slots = tk->in_cdata ? kChar : inside ? kCommentDash : kDash;
            break;
        case ']':
            slots = tk->in_comment ? kChar : inside ? kCdataBracket : kBracket;
            break;
        case '&':
            slots = inside ? kChar : kAmp;
            break;
        case '>':
            slots = kChar;
            break;
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            slots = kWhitespace;
            break;
        default:
            // Other ASCII is never white space; beyond ASCII both are tried.
            slots = static_cast<unsigned char>(c) < 0x80 ? kText : kOther;
    }
    int ov[QLTP_REGEX_OVECSIZE];
    for (; *slots >= 0; ++slots) {
        const QLTP_regex* re = tk->patterns->token[*slots];
        if (re == nullptr) continue;
        if (QLTP_regex_exec(re, p, n, 0, ov, QLTP_REGEX_VALID_UTF8) > 0 && ov[1] > 0) {
            *kind = *slots;
            return ov[1];
        }
    }
    // Unreachable with the built-in patterns (every character is Whitespace,
    // Text or XMLChar); one character keeps the stream moving regardless.
    *kind = QLTP_TEXT;
    int len = SequenceLength(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(n));
    return len > 0 ? len : 1;
}

bool IsRunKind(int kind) { return kind == QLTP_XMLENTITY || kind == QLTP_TEXT || kind == QLTP_XMLCHAR; }

bool IsDropped(const tokenise* tk, size_t i) { return i >= kMaxCarried && i < tk->dropped_end; }

void ShrinkStack(tokenise* tk, size_t n) {
    tk->stack.resize(n);
    tk->dropped_end = std::min(tk->dropped_end, n);
}

// Close tags for every open element still written, innermost first.
void AppendCloses(const tokenise* tk, std::string& out) {
    for (size_t i = tk->stack.size(); i > 0;) {
        --i;
        if (IsDropped(tk, i)) {
            i = kMaxCarried;
            continue;
        }
        out += "</";
        out += TagName(tk->stack[i]);
        out += '>';
    }
}

// After an application tag: the outermost open elements are reopened in the
// next piece, the ones deeper than kMaxCarried are dropped.
void CarryOpenElements(tokenise* tk) {
    tk->reopen = std::min(tk->stack.size(), kMaxCarried);
    if (tk->stack.size() <= kMaxCarried) return;
    if (tk->dropped_end <= kMaxCarried) {
        std::string name(TagName(tk->stack[kMaxCarried]));
        QLTP_logger_set_error(QLTP_tpc_get_logger(tk->ch), QLTP_MESSAGE_WARN,
                              "Markup nested too deeply, element dropped", name.c_str());
    }
    tk->dropped_end = tk->stack.size();
}

// Writes the start tags of the reopened elements in front of this call's
// output.
void Materialize(tokenise* tk) {
    if (tk->reopen == 0) return;
    std::string after;
    after.swap(tk->out);
    for (size_t i = 0; i < tk->reopen && i < tk->stack.size(); ++i) WriteMarkup(tk, tk->stack[i], true);
    tk->reopen = 0;
    tk->out += after;
}

// Output of a call that ends at an application tag is handed on only when it
// has content; without, it is dropped here and the open elements need no
// close tags. With content, the reopened start tags are written and marker
// and the close tags of every open element follow.
void CloseAllForApplicationTag(tokenise* tk, std::string_view marker, std::string& into) {
    if (!tk->has_content) {
        tk->out.clear();
        tk->reopen = 0;
        return;
    }
    Materialize(tk);
    into += marker;
    AppendCloses(tk, into);
}

// The element on top of the stack (and depth - 1 more below it, closed with
// it) ends at an application close tag, written or repaired: every open
// element is closed, the ones below it are reopened in the next call.
void EndApplicationElement(tokenise* tk, std::string_view marker, size_t depth) {
    std::string name(TagName(tk->stack[tk->stack.size() - depth]));
    CloseAllForApplicationTag(tk, marker, tk->scratch);
    ShrinkStack(tk, tk->stack.size() - depth);
    CarryOpenElements(tk);
    tk->pending = 1;
    tk->app_tag = "</" + name + ">";
}

// Stops the pass at an application start tag: closes every open element; the
// next call reopens them and passes the tag through.
void StopAtApplicationTag(tokenise* tk, std::string_view tag) {
    std::string closes;
    CloseAllForApplicationTag(tk, "", closes);
    WriteMarkup(tk, closes, false);
    tk->app_tag.assign(tag.data(), tag.size());
    CarryOpenElements(tk);
    tk->resume_app = true;
    tk->pending = 1;
}

// Ensures the input holds only well-formed UTF-8 without NUL up to the end the
// scanner may see; bad sequences become "_". A sequence cut by the end of a
// non-final call waits for the rest.
void Validate(tokenise* tk, int end, bool final) {
    if (tk->valid > end) tk->valid = end;
    char* buf = InputData(tk);
    const auto* p = reinterpret_cast<const unsigned char*>(buf);
    int i = tk->valid;
    std::string fixed;
    bool rewriting = false;
    int copied = i;  // bytes before this are in place (or in fixed)
    while (i < end) {
        if (p[i] >= 0x01 && p[i] < 0x80) {
            ++i;
            continue;
        }
        int n = SequenceLength(p + i, static_cast<size_t>(end - i));
        if (n > 0) {
            i += n;
            continue;
        }
        if (n < 0 && !final) break;
        if (!rewriting) {
            rewriting = true;
            fixed.reserve(static_cast<size_t>(end - tk->valid));
            copied = tk->valid;
        }
        fixed.append(buf + copied, static_cast<size_t>(i - copied));
        fixed += '_';
        i += n < 0 ? end - i : QLTP_utf8_bad_length(p + i, static_cast<size_t>(end - i));
        copied = i;
    }
    if (rewriting) {
        fixed.append(buf + copied, static_cast<size_t>(i - copied));
        int old = i - tk->valid;
        QLTP_dystr_delete_range(tk->input, tk->head + tk->valid, old);
        QLTP_dystr_insert_range(tk->input, fixed.data(), static_cast<int>(fixed.size()), tk->head + tk->valid);
        i = tk->valid + static_cast<int>(fixed.size());
    }
    tk->valid = i;
    tk->visible = i;
}

// Close-tag check for the close tag at offset (len bytes) of the input; see
// QLTP_tokenise_check_closetags. Returns 1 when the tag ends an application
// element (the pass ends there), 2 when the element it forgot to close is
// one (that one ends alone and the tag is left for the next call), else 0.
int CheckCloseTag(tokenise* tk, int offset, int len, int* write_raw) {
    *write_raw = 1;
    std::string_view tag(InputData(tk) + offset, static_cast<size_t>(len));
    std::string name(CloseName(tag));
    auto& stack = tk->stack;
    auto close = [&](std::string_view n) {
        tk->scratch += "</";
        tk->scratch += n;
        tk->scratch += '>';
    };
    auto app = [&](size_t from_top) { return IsApplicationTag(tk, TagName(stack[stack.size() - 1 - from_top])); };
    if (!stack.empty() && name == TagName(stack.back())) {
        if (app(0)) {
            EndApplicationElement(tk, "", 1);
            *write_raw = 0;
            return 1;
        }
        tk->pending = 0;
        tk->app_tag.clear();
        // Closing a reopened element needs its start tag written first.
        if (stack.size() <= tk->reopen) Materialize(tk);
        if (IsDropped(tk, stack.size() - 1)) *write_raw = 0;
        ShrinkStack(tk, stack.size() - 1);
        return 0;
    }
    if (!tk->lax) return 0;
    if (stack.size() >= 2 && name == TagName(stack[stack.size() - 2])) {
        if (app(0)) {
            // The forgotten element is an application element: it ends
            // alone, and the tag closes the next one in the next call.
            EndApplicationElement(tk, "<xmlfixforgotclose/>", 1);
            *write_raw = 0;
            return 2;
        }
        if (app(1)) {
            EndApplicationElement(tk, "<xmlfixforgotclose/>", 2);
            *write_raw = 0;
            return 1;
        }
        if (stack.size() - 1 <= tk->reopen) Materialize(tk);
        tk->scratch += "<xmlfixforgotclose/>";
        if (!IsDropped(tk, stack.size() - 1)) close(TagName(stack.back()));
        if (IsDropped(tk, stack.size() - 2)) *write_raw = 0;
        ShrinkStack(tk, stack.size() - 2);
    } else if (stack.size() >= 2) {
        *write_raw = 0;
        if (app(0)) {
            EndApplicationElement(tk, "<xmlfixcloselastopen/>", 1);
            return 1;
        }
        if (stack.size() <= tk->reopen) Materialize(tk);
        tk->scratch += "<xmlfixcloselastopen/>";
        if (!IsDropped(tk, stack.size() - 1)) close(TagName(stack.back()));
        ShrinkStack(tk, stack.size() - 1);
    } else if (stack.size() == 1) {
        tk->scratch += "<xmlfixbadclose/>";
        *write_raw = 0;
    } else {
        tk->scratch += "<xmlfixnoopen/>";
        *write_raw = 0;
    }
    return 0;
}

enum class AtLimit { kGoesOn, kEnds, kWaits };

// A run open at pos, past the scan limit: whether it goes on with the token
// at pos (classified into cached), ends at pos, or waits for the next call.
AtLimit RunAtLimit(tokenise* tk, Run& run, int pos, int* cached_kind, int* cached_len) {
    // A run that goes on past the limit is finished here, so that how the
    // input was cut into calls does not change where runs end. Only tokens
    // that cannot grow with more input qualify.
    if (!run.open) return AtLimit::kEnds;
    const int end = tk->visible;
    int next_kind = -1;
    int next_len = Classify(tk, InputData(tk) + pos, end - pos, &next_kind);
    // As in the scan: a section end outside its section is text.
    if (next_kind == QLTP_XMLCOMMENTEND && !tk->in_comment) next_kind = QLTP_TEXT;
    if (next_kind == QLTP_XMLCDATAEND && !tk->in_cdata) next_kind = QLTP_TEXT;
    // A lone "<" or "&" may be a tag or reference cut by the end of what is
    // visible: it goes on only when a whole context is visible behind it, as
    // it would before the limit.
    char c = InputData(tk)[pos];
    bool cut = next_kind == QLTP_XMLCHAR && (c == '<' || c == '&') && end - pos < tk->context_size;
    bool whole = pos + next_len < end && IsRunKind(next_kind) && !cut;
    if (whole) {
        *cached_kind = next_kind;
        *cached_len = next_len;
        return AtLimit::kGoesOn;
    }
    if (!cut || pos - run.pos0 > tk->context_size) return AtLimit::kEnds;
    // The run waits for the next call, which sees whether the "<" or "&"
    // begins markup, so that it comes out as it would from one call. A run
    // longer than the context is cut here instead, so the input held stays
    // bounded. What was scanned of it is kept, and the next call goes on
    // from there: text fed in small calls is not scanned again at each.
    tk->held.active = true;
    tk->held.bytes = pos - run.pos0;
    tk->held.chars = run.nc;
    tk->held.out.assign(tk->out, run.out_start, std::string::npos);
    tk->out.resize(run.out_start);
    tk->char_total = run.c0;
    tk->byte_total = run.b0;
    run.open = false;
    return AtLimit::kWaits;
}

// One pass over the visible input with a byte limit (0: none). Returns the
// bytes consumed.
int Scan(tokenise* tk, int limit) {
    Run run;
    int pos = 0;
    // A cached classification of the token at pos, made while deciding
    // whether a run may continue past the limit.
    int cached_kind = -1;
    int cached_len = 0;
    // A run held by the last call, at the front of the input, goes on where
    // that call left it.
    if (tk->held.active) {
        tk->held.active = false;
        if (tk->held.bytes > 0 && tk->held.bytes < tk->visible) {
            run.open = true;
            run.c0 = tk->char_total;
            run.b0 = tk->byte_total;
            run.nc = tk->held.chars;
            run.nb = tk->held.bytes;
            run.pos0 = 0;
            run.out_start = tk->out.size();
            tk->out += tk->held.out;
            tk->char_total += tk->held.chars;
            tk->byte_total += tk->held.bytes;
            pos = tk->held.bytes;
            if (limit >= 1 && pos >= limit) {
                const AtLimit next = RunAtLimit(tk, run, pos, &cached_kind, &cached_len);
                if (next == AtLimit::kWaits) return run.pos0;
                if (next == AtLimit::kEnds) {
                    CloseRun(tk, run);
                    return pos;
                }
            }
        }
    }
    for (;;) {
        tk->scratch.clear();
        const char* buf = InputData(tk);
        int end = tk->visible;
        int kind = -1;
        int len = 0;
        if (pos < end) {
            if (cached_kind >= 0) {
                kind = cached_kind;
                len = cached_len;
            } else {
                len = Classify(tk, buf + pos, end - pos, &kind);
            }
        }
        cached_kind = -1;
        const bool resuming = tk->resume_app && pos == 0;
        tk->resume_app = false;
        if (len == 0) {
            CloseRun(tk, run);
            break;
        }
        if (kind == QLTP_XMLCOMMENTEND && !tk->in_comment) kind = QLTP_TEXT;
        if (kind == QLTP_XMLCDATAEND && !tk->in_cdata) kind = QLTP_TEXT;
        bool inside = tk->in_comment || tk->in_cdata;
        if (inside || !IsRunKind(kind)) CloseRun(tk, run);
        std::string_view tok(buf + pos, static_cast<size_t>(len));
        int64_t chars = QLTP_u8_count(tok.data(), tok.size());
        bool end_pass = false;

        if (tk->in_comment) {
            if (kind == QLTP_XMLCOMMENTEND) tk->in_comment = 0;
        } else if (tk->in_cdata) {
            if (kind == QLTP_XMLCDATAEND) tk->in_cdata = 0;
            if (tk->xml_input) {
                WriteMarkup(tk, tok, false);
            } else {
                WriteEscaped(tk, tok.data(), len);
            }
        } else if (!tk->xml_input && (kind == QLTP_XMLCOMMENTSTART || kind == QLTP_XMLHEADER ||
                                      kind == QLTP_XMLDOCTYPE || kind == QLTP_HTMLOPEN)) {
            // Plain text holds no markup: what looks like a comment,
            // declaration or tag is the user's text, written as start tags
            // are.
            WriteEscaped(tk, tok.data(), len);
        } else {
            switch (kind) {
                case QLTP_XMLENTITY:
                case QLTP_TEXT:
                case QLTP_XMLCHAR:
                    if (!run.open) {
                        run.open = true;
                        run.c0 = tk->char_total;
                        run.b0 = tk->byte_total;
                        run.nc = run.nb = 0;
                        if (tk->xml_input && tk->lax && tk->stack.empty()) {
                            tk->stack.emplace_back("<parent>");
                            Write(tk, "<parent><xmlfixopen/>");
                        } else if (tk->xml_input && tk->server && tk->stack.empty()) {
                            tk->stack.emplace_back("<parent>");
                            tk->implicit_parent = true;
                            Write(tk, "<parent>");
                        }
                        run.out_start = tk->out.size();
                        run.pos0 = pos;
                    }
                    tk->has_content = 1;
                    if (tk->xml_input && !tk->lax) {
                        Write(tk, tok);
                    } else {
                        WriteEscaped(tk, tok.data(), len);
                    }
                    run.nb += len;
                    run.nc += chars;
                    break;
                case QLTP_WHITESPACE:
                    if (tk->xml_input) {
                        WriteMarkup(tk, tok, false);
                    } else {
                        WriteEscaped(tk, tok.data(), len);
                    }
                    break;
                case QLTP_XMLCOMMENTSTART:
                    tk->in_comment = 1;
                    break;
                case QLTP_XMLHEADER:
                case QLTP_XMLDOCTYPE:
                case QLTP_HTMLOPEN:
                    break;
                case QLTP_XMLCDATASTART:
                    tk->in_cdata = 1;
                    tk->has_content = 1;
                    if (tk->xml_input) {
                        WriteMarkup(tk, tok, false);
                    } else {
                        WriteEscaped(tk, tok.data(), len);
                    }
                    break;
                case QLTP_XMLOPEN:
                case QLTP_XMLEMPTY: {
                    if (!tk->xml_input) {
                        WriteEscaped(tk, tok.data(), len);
                        break;
                    }
                    std::string_view name = TagName(tok);
                    if (IsApplicationTag(tk, name)) {
                        if (!resuming || tk->app_tag != tok) {
                            StopAtApplicationTag(tk, tok);
                            return pos;
                        }
                        tk->app_tag.clear();
                        tk->pending = 0;
                    }
                    if (kind == QLTP_XMLOPEN) {
                        tk->stack.emplace_back(tok);
                    } else {
                        tk->has_content = 1;
                    }
                    WriteMarkup(tk, tok, true);
                    break;
                }
                case QLTP_XMLCLOSE: {
                    if (!tk->xml_input) {
                        WriteEscaped(tk, tok.data(), len);
                        break;
                    }
                    int write_raw = 1;
                    int ended = CheckCloseTag(tk, pos, len, &write_raw);
                    WriteMarkup(tk, tk->scratch, false);
                    if (write_raw) WriteMarkup(tk, tok, true);
                    if (ended == 2) return pos;
                    end_pass = ended != 0;
                    break;
                }
                default:
                    break;
            }
        }

        tk->char_total += chars;
        tk->byte_total += len;
        pos += len;
        end = tk->visible;
        if (pos >= end) {
            CloseRun(tk, run);
            break;
        }
        if (end_pass) break;
        if (limit >= 1 && pos >= limit) {
            const AtLimit next = RunAtLimit(tk, run, pos, &cached_kind, &cached_len);
            if (next == AtLimit::kGoesOn) continue;
            if (next == AtLimit::kWaits) return run.pos0;
            CloseRun(tk, run);
            break;
        }
    }
    return pos;
}

void CloseSections(tokenise* tk) {
    if (tk->in_cdata) Write(tk, "]]><xmlfixclosecdata/>");
    // The comment's start was never written, so only the marker is.
    if (tk->in_comment) Write(tk, "<xmlfixclosecomment/>");
    tk->in_cdata = 0;
    tk->in_comment = 0;
}

void CloseOffTags(tokenise* tk) {
    Materialize(tk);
    CloseSections(tk);
    if (!tk->stack.empty()) {
        std::string closes = "<xmlfixcloseoffopen/>";
        AppendCloses(tk, closes);
        WriteMarkup(tk, closes, false);
    }
    ShrinkStack(tk, 0);
}

void Consume(tokenise* tk, int n) {
    if (n <= 0) return;
    tk->head += n;
    tk->valid -= n;
    tk->visible -= n;
    if (tk->valid < 0) tk->valid = 0;
    if (tk->visible < 0) tk->visible = 0;
    if (tk->head >= InputSize(tk)) DropConsumed(tk);
}

// An application element left open at the end of the stream ends there as if
// its close tag had been written: every open element is closed, the ones below
// it are reopened for the next call, which ends the stream. Returns false when
// no application element is open.
bool EndOpenApplicationElement(tokenise* tk) {
    size_t at = tk->stack.size();
    while (at > 0 && !IsApplicationTag(tk, TagName(tk->stack[at - 1]))) --at;
    if (at == 0) return false;
    CloseSections(tk);
    std::string name(TagName(tk->stack[at - 1]));
    std::string closes;
    CloseAllForApplicationTag(tk, "<xmlfixcloseoffopen/>", closes);
    WriteMarkup(tk, closes, false);
    ShrinkStack(tk, at - 1);
    CarryOpenElements(tk);
    tk->pending = 1;
    tk->app_tag = "</" + name + ">";
    return true;
}

dystr* Process(tokenise* tk, const char* text, int len, int final) {
    tk->out.clear();
    if (tk->pending) tk->has_content = 0;
    tk->pending = 0;
    int started = tk->stream_start;
    if (!tk->xml_input && tk->stream_start) Write(tk, "<parent>");
    if (text == nullptr) len = 0;
    if (len < 0) len = static_cast<int>(std::strlen(text));
    // Conversion sees the whole buffer; without new text it has nothing to do
    // unless bytes wait for conversion.
    const bool convert = tk->convert && (len > 0 || tk->encoding.unconverted > 0);
    if (len > 0 || convert) DropConsumed(tk);
    if (len > 0) QLTP_dystr_append(tk->input, text, len);
    int size = InputSize(tk);
    int unconverted = 0;
    if (convert) {
        QLTP_tokenise_convert_input(&tk->encoding, tk->input, tk->conversion, len, tk->iso, final != 0);
        size = InputSize(tk);
        unconverted = final ? 0 : tk->encoding.unconverted;
        if (unconverted < 0 || unconverted > size) unconverted = 0;
    }
    if (tk->valid > size) tk->valid = size;
    Validate(tk, size - unconverted, final != 0);

    bool is_final = final != 0;
    if (is_final) {
        int consumed = Scan(tk, 0);
        Consume(tk, consumed);
        if (InputSize(tk) == 0 && !tk->pending && tk->xml_input && tk->lax && EndOpenApplicationElement(tk)) {
            is_final = false;
        } else if (InputSize(tk) == 0 && !tk->pending) {
            Materialize(tk);
            // An open CDATA section or comment is closed before the final
            // mark, which must stay markup.
            if (tk->xml_input && tk->lax) CloseSections(tk);
            if (tk->marks_on) Write(tk, QLTP_FINAL_MARK);
            if (tk->xml_input && tk->lax) {
                CloseOffTags(tk);
            } else if (!tk->xml_input) {
                Write(tk, "</parent>");
            } else if (tk->implicit_parent && !tk->stack.empty() && tk->stack[0] == "<parent>") {
                std::string closes;
                AppendCloses(tk, closes);
                WriteMarkup(tk, closes, false);
                ShrinkStack(tk, 0);
            }
        } else {
            is_final = false;
        }
    } else {
        int limit = tk->visible - tk->context_size;
        if (limit > 0) Consume(tk, Scan(tk, limit));
    }
    // Output handed on since the last application tag counts as content, so
    // that the close tags written when the next one stops the stream are
    // handed on too.
    if (!tk->pending && !tk->out.empty()) {
        Materialize(tk);
        tk->has_content = 1;
    }
    QLTP_dystr_replace(tk->output, tk->out.data(), static_cast<int>(tk->out.size()));
    logger* lg = QLTP_tpc_get_logger(tk->ch);
    const char* out = QLTP_dystr_cstr(tk->output);
    QLTP_logger_logmodule(lg, tk->ch ? tk->ch->jobid : "", tk->name, started, out);
    tk->stream_start = is_final ? final : 0;
    QLTP_logger_log(lg, QLTP_LOGGER_INFO, "TOKENISE", "tokeniser process finished", "", out);
    return tk->output;
}

void ResetState(tokenise* tk) {
    tk->stream_start = 1;
    QLTP_dystr_clear(tk->input);
    tk->stack.clear();
    tk->dropped_end = 0;
    tk->held.active = false;
    tk->held.out.clear();
    tk->char_total = 0;
    tk->byte_total = 0;
    tk->in_comment = 0;
    tk->in_cdata = 0;
    tk->has_content = 0;
    QLTP_encoding_reset(&tk->encoding);
    tk->reopen = 0;
    tk->resume_app = false;
    tk->implicit_parent = false;
    tk->valid = 0;
    tk->visible = 0;
    tk->head = 0;
    tk->xml_input = tk->ch ? tk->ch->xml_input : 0;
}

void* FetchRules(channel* ch) {
    if (ch == nullptr || ch->db == nullptr) return nullptr;
    return QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT");
}

void FreeBuffers(tokenise* tk) {
    QLTP_dystr_delete(tk->input);
    QLTP_dystr_delete(tk->output);
    QLTP_dystr_delete(tk->conversion);
    QLTP_dystr_delete(tk->composition);
    QLTP_dystr_delete(tk->escape);
}

}  // namespace

tokenise* QLTP_tokenise_new(channel* ch) {
    tokenise* tk = nullptr;
    try {
        tk = new tokenise();
        tk->ch = ch;
        const configsettings* settings = ch ? ch->settings : nullptr;
        const char* mode = QLTP_configsettings_lookup(settings, "tokenise", 8, "processing_mode", -1);
        tk->mode = QLTP_PROCESSING_STRICT_XML;
        if (mode != nullptr)
            for (int i = 0; i < 4; ++i)
                if (std::strcmp(mode, QLTP_PROCESSING_MODE_NAMES[i]) == 0) tk->mode = i;
        tk->convert = tk->mode != QLTP_PROCESSING_STRICT_UTF8_XML;
        tk->lax = tk->mode >= QLTP_PROCESSING_LAX;
        tk->iso = tk->mode == QLTP_PROCESSING_LAX_ISO;
        const char* size = QLTP_configsettings_lookup(settings, "tokenise", 8, "context_size", -1);
        int64_t context = size ? QLTP_atol(size, -1) : kDefaultContext;
        tk->context_size = context >= 1 && context <= kDefaultContext ? static_cast<int>(context) : kDefaultContext;
        auto c = static_cast<uint32_t>(tk->context_size);
        tk->input = QLTP_dystr_newcustom(nullptr, 4 * tk->context_size, 512, 4 * c);
        tk->output = QLTP_dystr_newcustom(nullptr, 8 * tk->context_size, 512, 8 * c);
        tk->conversion = QLTP_dystr_newcustom(nullptr, 4 * tk->context_size, 512, 4 * c);
        tk->composition = QLTP_dystr_newcustom(nullptr, 4 * tk->context_size, 512, 4 * c);
        tk->escape = QLTP_dystr_newcustom(nullptr, 4 * tk->context_size, 512, 4 * c);
        if (!tk->input || !tk->output || !tk->conversion || !tk->composition || !tk->escape) {
            FreeBuffers(tk);
            delete tk;
            return nullptr;
        }
        ResetState(tk);
        tk->rules = FetchRules(ch);
        QLTP_tokenise_setup_regex_fromnrules(tk, ch ? ch->type : QLTP_TPC_TK);
        return tk;
    } catch (...) {
        if (tk != nullptr) {
            FreeBuffers(tk);
            delete tk;
        }
        return nullptr;
    }
}

void QLTP_tokenise_set_server_mode(tokenise* tk) {
    if (tk == nullptr) return;
    tk->lax = 0;
    tk->marks_on = 0;
    tk->server = true;
    tk->app_tags = QLTP_APPLICATION_TAGS_SERVER;
}

void QLTP_tokenise_reset(tokenise* tk, channel* ch) {
    if (tk == nullptr) return;
    if (ch != nullptr) tk->ch = ch;
    if (tk->stream_start == 0)
        QLTP_logger_set_error(QLTP_tpc_get_logger(tk->ch), QLTP_ERROR_RESET_DATA_LOSS, "Tokenise context lost", "");
    try {
        ResetState(tk);
    } catch (...) {
    }
}

void QLTP_tokenise_reset_tpdb(tokenise* tk, channel* ch) {
    if (tk == nullptr) return;
    if (ch != nullptr) tk->ch = ch;
    tk->rules = FetchRules(tk->ch);
    QLTP_tokenise_setup_regex_fromnrules(tk, tk->ch ? tk->ch->type : QLTP_TPC_TK);
}

void QLTP_tokenise_delete(tokenise* tk) {
    if (tk == nullptr) return;
    FreeBuffers(tk);
    delete tk;
}

dystr* QLTP_tokenise_process(tokenise* tk, const char* text, int len, int final) {
    if (tk == nullptr) return nullptr;
    try {
        return Process(tk, text, len, final);
    } catch (...) {
        QLTP_logger_set_error(QLTP_tpc_get_logger(tk->ch), QLTP_MESSAGE_CRITICAL, "Tokenise out of memory", "");
        return tk->output;
    }
}

const char* QLTP_tokenise_application_tag(const tokenise* tk, int* len, int* pending, int* has_content) {
    if (tk == nullptr) {
        if (len) *len = 0;
        if (pending) *pending = 0;
        if (has_content) *has_content = 0;
        return "";
    }
    if (len) *len = static_cast<int>(tk->app_tag.size());
    if (pending) *pending = tk->pending;
    if (has_content) *has_content = tk->has_content;
    return tk->app_tag.c_str();
}

int QLTP_tokenise_setup_regex_fromnrules(tokenise* tk, int /*channel_type*/) {
    if (tk == nullptr) return 0;
    // Every channel type compiles the same patterns at run time; no compiled
    // images are read from storage.
    tk->patterns = &SharedPatterns();
    logger* lg = QLTP_tpc_get_logger(tk->ch);
    int ok = 1;
    for (int i = 0; i < 14; ++i) {
        if (tk->patterns->token[i] == nullptr) {
            QLTP_logger_set_error(lg, QLTP_MESSAGE_CRITICAL, "Missing XML regex", QLTP_XMLTOKEN_NAMES[i]);
            ok = 0;
        }
    }
    if (tk->patterns->token[kEntitySlot] == nullptr) {
        QLTP_logger_set_error(lg, QLTP_MESSAGE_CRITICAL, "Missing XML regex", "Entity");
        ok = 0;
    }
    if (tk->patterns->bad == nullptr) {
        QLTP_logger_set_error(lg, QLTP_MESSAGE_CRITICAL, "Missing XML regex", "BadXMLChar");
        ok = 0;
    }
    return ok;
}

void QLTP_tokenise_delete_regex(tokenise* tk, int /*channel_type*/) {
    // The patterns are shared by every tokeniser of the process and live as
    // long as it does; a tokeniser only lets go of them.
    if (tk != nullptr) tk->patterns = &SharedPatterns();
}

const char* QLTP_tokenise_escaped_xml(tokenise* tk, const char* text, int len, int* outlen) {
    if (outlen) *outlen = 0;
    if (tk == nullptr || text == nullptr) return "";
    try {
        if (len < 0) len = static_cast<int>(std::strlen(text));
        Escape(tk, text, len, true);
        if (outlen) *outlen = QLTP_dystr_sz(tk->escape);
        return QLTP_dystr_cstr(tk->escape);
    } catch (...) {
        return "";
    }
}

int QLTP_tokenise_check_closetags(tokenise* tk, int offset, int len, int* write_raw) {
    int raw = 1;
    int result = 0;
    if (tk != nullptr && offset >= 0 && len >= 2 && offset + len <= InputSize(tk)) {
        try {
            result = CheckCloseTag(tk, offset, len, &raw);
        } catch (...) {
        }
    }
    if (write_raw) *write_raw = raw;
    return result;
}

void QLTP_tokenise_close_off_tags(tokenise* tk) {
    if (tk == nullptr) return;
    try {
        CloseOffTags(tk);
    } catch (...) {
    }
}

const char* QLTP_tokenise_opentagname(const char* tag, int len, int* namelen) {
    if (namelen) *namelen = 0;
    if (tag == nullptr) return "";
    if (len < 0) len = static_cast<int>(std::strlen(tag));
    std::string_view name = TagName(std::string_view(tag, static_cast<size_t>(len)));
    if (namelen) *namelen = static_cast<int>(name.size());
    return len >= 1 ? tag + 1 : tag;
}

const char* QLTP_tokenise_opentagattr(const char* tag, int len, int* attrlen) {
    if (attrlen) *attrlen = 0;
    if (tag == nullptr) return "";
    if (len < 0) len = static_cast<int>(std::strlen(tag));
    int w = 0;
    while (w < len && !IsWspace(tag[w])) ++w;
    if (w >= len) return "";
    while (w < len && IsWspace(tag[w])) ++w;
    int n = len - w;
    if (n > 0 && tag[len - 1] == '>') --n;
    if (attrlen) *attrlen = n;
    return tag + w;
}

int QLTP_tokenise_processing_mode(const tokenise* tk) { return tk ? tk->mode : 0; }
int QLTP_tokenise_context_size(const tokenise* tk) { return tk ? tk->context_size : 0; }
int QLTP_tokenise_encoding(const tokenise* tk) { return tk ? tk->encoding.encoding : 0; }
int QLTP_tokenise_stream_start(const tokenise* tk) { return tk ? tk->stream_start : 0; }
