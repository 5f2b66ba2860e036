#include "textproc/encoding.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/utf8.h"
#include "textproc/unorm.h"

namespace {

struct Dystr {
    dystr* d = QLTP_dystr_new(nullptr, 0);
    ~Dystr() { QLTP_dystr_delete(d); }
    std::string str() const { return std::string(QLTP_dystr_cstr(d), static_cast<size_t>(QLTP_dystr_sz(d))); }
};

// The C library's converter, as the reference.
std::string iconv_utf8(const char* from, const std::string& in) {
    iconv_t cd = iconv_open("UTF-8", from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << from;
    if (cd == reinterpret_cast<iconv_t>(-1)) return "";
    std::string out(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = out.data();
    size_t dst_left = out.size();
    size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    EXPECT_NE(rc, static_cast<size_t>(-1)) << from;
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

bool valid_utf8(const std::string& s) {
    int n = 0;
    return s.empty() || QLTP_check_utf8(s.data(), static_cast<int>(s.size()), &n) == -1;
}

// Feeds bytes in pieces as the tokeniser does: append, convert, then consume
// all but `keep` bytes (never the unconverted ones, never inside a character).
struct Converted {
    std::string text;
    int encoding = 0;
};

Converted convert(const std::string& bytes, const std::vector<size_t>& cuts, int iso = 0, int keep = 64) {
    QLTP_encoding_state st;
    QLTP_encoding_reset(&st);
    Dystr input, conversion;
    Converted run;
    size_t from = 0;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        size_t to = k < cuts.size() ? cuts[k] : bytes.size();
        int final = k == cuts.size() ? 1 : 0;
        QLTP_dystr_append(input.d, bytes.data() + from, static_cast<int>(to - from));
        QLTP_tokenise_convert_input(&st, input.d, conversion.d, static_cast<int>(to - from), iso, final);
        from = to;
        std::string buf = input.str();
        EXPECT_GE(st.unconverted, 0);
        EXPECT_LE(st.unconverted, static_cast<int>(buf.size()));
        if (final) {
            EXPECT_EQ(st.unconverted, 0);
            EXPECT_TRUE(valid_utf8(buf));
            run.text += buf;
            QLTP_dystr_clear(input.d);
            break;
        }
        std::string done = buf.substr(0, buf.size() - static_cast<size_t>(st.unconverted));
        EXPECT_TRUE(valid_utf8(done)) << "piece " << k;
        int consume = static_cast<int>(buf.size()) - std::max(keep, st.unconverted);
        while (consume > 0 && (static_cast<unsigned char>(buf[static_cast<size_t>(consume)]) & 0xC0) == 0x80)
            --consume;
        if (consume > 0) {
            run.text += buf.substr(0, static_cast<size_t>(consume));
            QLTP_dystr_delete_upto(input.d, consume);
        }
    }
    run.encoding = st.encoding;
    return run;
}

Converted convert_whole(const std::string& bytes, int iso = 0) { return convert(bytes, {}, iso); }

std::vector<size_t> random_cuts(std::mt19937& rng, size_t size, size_t max_piece) {
    std::vector<size_t> cuts;
    for (size_t at = 1 + rng() % max_piece; at < size; at += 1 + rng() % max_piece) cuts.push_back(at);
    return cuts;
}

std::string utf16(const std::u16string& s, bool big, bool bom) {
    std::string out;
    auto put = [&](char16_t u) {
        char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        if (big) {
            out += hi;
            out += lo;
        } else {
            out += lo;
            out += hi;
        }
    };
    if (bom) put(0xFEFF);
    for (char16_t u : s) put(u);
    return out;
}

// Mostly Latin text with some CJK and a character outside the BMP.
std::u16string sample_utf16(int repeat) {
    std::u16string unit = u"Hello, world! Grüße aus Köln. \u4E2D\u6587\u5B57 \U0001F600 <tag a=\"1\">x</tag>\n";
    std::u16string s;
    for (int i = 0; i < repeat; ++i) s += unit;
    return s;
}

TEST(EncodingTest, DocumentedDetectionCases) {
    std::string text(300, 'a');
    text[150] = static_cast<char>(0xA0);
    Converted r = convert_whole(text);
    EXPECT_EQ(r.encoding, QLTP_ENCODING_ISO88591);
    EXPECT_EQ(r.text, std::string(150, 'a') + "\xC2\xA0" + std::string(149, 'a'));

    // Too short for statistics and too near the end: wait, then "_".
    QLTP_encoding_state st;
    QLTP_encoding_reset(&st);
    Dystr input, conversion;
    std::string small(100, 'b');
    small[95] = static_cast<char>(0xA0);
    QLTP_dystr_append(input.d, small.data(), 100);
    EXPECT_EQ(QLTP_tokenise_convert_input(&st, input.d, conversion.d, 100, 0, 0), 0);
    EXPECT_EQ(input.str(), small);
    EXPECT_EQ(QLTP_tokenise_convert_input(&st, input.d, conversion.d, 0, 0, 1), 1);
    EXPECT_EQ(input.str(), std::string(95, 'b') + "_" + std::string(4, 'b'));
    EXPECT_EQ(st.encoding, QLTP_ENCODING_UTF8);

    r = convert_whole(std::string("\xFF\xFEH\0i\0", 6));
    EXPECT_EQ(r.text, "Hi");
    EXPECT_EQ(r.encoding, QLTP_ENCODING_UTF16LE);
    r = convert_whole(std::string("\xFE\xFF\0H\0i", 6));
    EXPECT_EQ(r.text, "Hi");
    EXPECT_EQ(r.encoding, QLTP_ENCODING_UTF16BE);

    // UTF-16 without a mark: the zero bytes give the byte order.
    std::string le;
    for (int i = 0; i < 300; ++i) le += std::string(i % 2 ? "i\0" : "H\0", 2);
    r = convert_whole(le);
    EXPECT_EQ(r.encoding, QLTP_ENCODING_UTF16LE);
    std::string hi;
    for (int i = 0; i < 150; ++i) hi += "Hi";
    EXPECT_EQ(r.text, hi);
}

TEST(EncodingTest, BadUtf8NeverSwallowsTheByteAfterIt) {
    EXPECT_EQ(convert_whole("caf\xE9" "A").text, "caf_A");
    EXPECT_EQ(convert_whole("x\xF0\x9F" "y\xC3").text, "x_y_");
    EXPECT_EQ(convert_whole(std::string("a\0b", 3)).text, "a_b");
    // A sequence cut between pieces is joined, not repaired.
    std::string word = std::string(300, 'w') + "caf\xC3\xA9 ok";
    EXPECT_EQ(convert(word, {303}).text, word);
}

TEST(EncodingTest, IsoLatin1MatchesIconv) {
    std::mt19937 rng(11);
    // Sparse accented letters: detected from the statistics.
    std::string sparse;
    while (sparse.size() < 5000) {
        sparse += "Der Fluss fliesst durch die Stadt ";
        sparse += static_cast<char>(0xC0 + rng() % 64);
        sparse += "nd weiter. ";
    }
    std::string want = iconv_utf8("ISO-8859-1", sparse);
    Converted r = convert_whole(sparse);
    EXPECT_EQ(r.encoding, QLTP_ENCODING_ISO88591);
    EXPECT_EQ(r.text, want);
    for (int round = 0; round < 20; ++round)
        EXPECT_EQ(convert(sparse, random_cuts(rng, sparse.size(), 900)).text, want) << "round " << round;

    // Dense Latin-1 text, every byte from 0x01 to 0xFF, with the iso flag.
    std::string dense;
    for (int i = 0; i < 3000; ++i) dense += static_cast<char>(1 + rng() % 255);
    want = iconv_utf8("ISO-8859-1", dense);
    // Valid UTF-8 pairs in Latin-1 text cannot be told apart; compare
    // the text with those pairs broken up.
    for (size_t i = 0; i + 1 < dense.size(); ++i) {
        auto b = static_cast<unsigned char>(dense[i]);
        if (b >= 0xC0) dense[i + 1] = 'x';
    }
    want = iconv_utf8("ISO-8859-1", dense);
    EXPECT_EQ(convert_whole(dense, 1).text, want);
    for (int round = 0; round < 20; ++round)
        EXPECT_EQ(convert(dense, random_cuts(rng, dense.size(), 700), 1).text, want) << "round " << round;
}

TEST(EncodingTest, Utf16MatchesIconvWithAndWithoutMark) {
    std::mt19937 rng(5);
    std::u16string text = sample_utf16(40);
    struct Form {
        bool big, bom;
        const char* charset;
        int encoding;
    };
    const Form forms[] = {
        {false, true, "UTF-16", QLTP_ENCODING_UTF16LE},
        {true, true, "UTF-16", QLTP_ENCODING_UTF16BE},
        {false, false, "UTF-16LE", QLTP_ENCODING_UTF16LE},
        {true, false, "UTF-16BE", QLTP_ENCODING_UTF16BE},
    };
    for (const Form& f : forms) {
        std::string bytes = utf16(text, f.big, f.bom);
        std::string want = iconv_utf8(f.charset, bytes);
        ASSERT_FALSE(want.empty());
        Converted r = convert_whole(bytes);
        EXPECT_EQ(r.encoding, f.encoding) << f.charset << (f.big ? " big" : " little");
        EXPECT_EQ(r.text, want) << f.charset << (f.big ? " big" : " little");
        for (int round = 0; round < 30; ++round) {
            // Pieces of at least 300 bytes and any length, odd cuts included.
            std::vector<size_t> cuts;
            for (size_t at = 300 + rng() % 1500; at < bytes.size(); at += 300 + rng() % 1500) cuts.push_back(at);
            EXPECT_EQ(convert(bytes, cuts).text, want) << f.charset << " round " << round;
        }
        // Short pieces behind a full context.
        EXPECT_EQ(convert(bytes, random_cuts(rng, bytes.size(), 200), 0, 4096).text, want) << f.charset;
    }
}

TEST(EncodingTest, NoNulEntersTheBuffer) {
    std::u16string with_nul = sample_utf16(10);
    with_nul[5] = 0;
    with_nul.push_back(0);
    for (bool big : {false, true}) {
        Converted r = convert_whole(utf16(with_nul, big, false));
        EXPECT_EQ(r.text.find('\0'), std::string::npos);
        EXPECT_TRUE(valid_utf8(r.text));
    }
    // An odd byte at the very end, and lone surrogates.
    std::u16string lone = sample_utf16(10) + u"x";
    lone.push_back(0xDC00);
    lone.push_back('y');
    lone.push_back(0xD800);
    std::string bytes = utf16(lone, false, true) + std::string("\0", 1);
    Converted r = convert_whole(bytes);
    EXPECT_EQ(r.text, iconv_utf8("UTF-16", utf16(sample_utf16(10) + u"x", false, true)) + "_y_");
    std::string latin(400, 'l');
    latin[10] = static_cast<char>(0xE9);
    latin[20] = '\0';
    r = convert_whole(latin, 1);
    EXPECT_EQ(r.text.find('\0'), std::string::npos);
    EXPECT_EQ(r.text.size(), 400u);
}

TEST(EncodingTest, Utf16DecoderCombinesSurrogatePairs) {
    Dystr out;
    std::string bytes = utf16(u"A\U0001F600", true, false);
    EXPECT_EQ(QLTP_utf16_to_utf8(bytes.data(), static_cast<int>(bytes.size()) - 1, 1, 0, out.d), 2);
    EXPECT_EQ(out.str(), "A");
    QLTP_dystr_clear(out.d);
    EXPECT_EQ(QLTP_utf16_to_utf8(bytes.data(), static_cast<int>(bytes.size()), 1, 1, out.d), 6);
    EXPECT_EQ(out.str(), "A\xF0\x9F\x98\x80");
    EXPECT_EQ(QLTP_encoding_utf16_order(std::string("a\0b\0", 4).data(), 4), QLTP_ENCODING_UTF16LE);
    EXPECT_EQ(QLTP_encoding_utf16_order(std::string("\0a\0b", 4).data(), 4), QLTP_ENCODING_UTF16BE);
    EXPECT_EQ(QLTP_tokenise_convert_input(nullptr, out.d, nullptr, 1, 0, 1), 0);
}

TEST(EncodingTest, RandomInputBecomesValidUtf8) {
    std::mt19937 rng(99);
    Dystr nfc;
    for (int round = 0; round < 600; ++round) {
        std::string bytes;
        size_t size = rng() % 3000;
        int style = static_cast<int>(rng() % 4);
        while (bytes.size() < size) {
            switch (style == 3 ? rng() % 3 : static_cast<unsigned>(style)) {
            case 0:
                bytes += static_cast<char>(rng());
                break;
            case 1:
                bytes += std::string("\0", 1) + static_cast<char>(rng() % 128);
                break;
            default:
                bytes += rng() % 50 == 0 ? "\xFF\xFE" : "text \xC3\xA9 ";
                break;
            }
        }
        Converted r = convert(bytes, random_cuts(rng, bytes.size(), 1 + rng() % 1200), static_cast<int>(rng() % 2),
                        static_cast<int>(rng() % 300));
        ASSERT_TRUE(valid_utf8(r.text)) << "round " << round;
        ASSERT_EQ(r.text.find('\0'), std::string::npos);
        for (int compat = 0; compat < 2; ++compat) {
            int len = static_cast<int>(r.text.size());
            QLTP_utf8_normalise_composed(r.text.data(), nfc.d, &len, compat, 1);
            std::string out(QLTP_dystr_cstr(nfc.d), static_cast<size_t>(QLTP_dystr_sz(nfc.d)));
            ASSERT_TRUE(valid_utf8(out)) << "round " << round;
        }
    }
}

}  // namespace
