#include "textproc/unorm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/utf8.h"

namespace {

struct Dystr {
    dystr* d = QLTP_dystr_new(nullptr, 0);
    ~Dystr() { QLTP_dystr_delete(d); }
    std::string str() const { return std::string(QLTP_dystr_cstr(d), static_cast<size_t>(QLTP_dystr_sz(d))); }
};

std::string utf8(const std::vector<uint32_t>& cps) {
    std::string s;
    char buf[5];
    for (uint32_t cp : cps) {
        QLTP_unicode2utf8(cp, buf);
        s += buf;
    }
    return s;
}

std::string nf(const std::string& in, bool compat) {
    Dystr out;
    int len = static_cast<int>(in.size());
    int written = QLTP_utf8_normalise_composed(in.data(), out.d, &len, compat ? 1 : 0, 1);
    EXPECT_EQ(len, static_cast<int>(in.size()));
    EXPECT_EQ(written, QLTP_dystr_sz(out.d));
    return out.str();
}

std::string nfc(const std::string& in) { return nf(in, false); }
std::string nfkc(const std::string& in) { return nf(in, true); }

// Normalises in pieces cut at the given offsets, handing back what a call
// did not consume together with the next piece.
std::string nf_streamed(const std::string& in, const std::vector<size_t>& cuts, bool compat) {
    std::string result, pending;
    size_t from = 0;
    Dystr out;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        size_t to = k < cuts.size() ? cuts[k] : in.size();
        bool final = k == cuts.size();
        pending += in.substr(from, to - from);
        from = to;
        int len = static_cast<int>(pending.size());
        QLTP_utf8_normalise_composed(pending.data(), out.d, &len, compat ? 1 : 0, final ? 1 : 0);
        result += out.str();
        pending.erase(0, static_cast<size_t>(len));
    }
    EXPECT_TRUE(pending.empty());
    return result;
}

bool valid_utf8(const std::string& s) {
    int n = 0;
    return s.empty() || QLTP_check_utf8(s.data(), static_cast<int>(s.size()), &n) == -1;
}

TEST(UnormTest, ComposesAndDecomposesTheDocumentedCases) {
    struct Case {
        std::vector<uint32_t> in, nfc, nfkc;
    };
    const Case cases[] = {
        {{'e', 0x301}, {0xE9}, {0xE9}},
        {{0xC5}, {0xC5}, {0xC5}},
        {{0x212B}, {0xC5}, {0xC5}},
        {{0xFB01}, {0xFB01}, {'f', 'i'}},
        {{0x1100, 0x1161, 0x11A8}, {0xAC01}, {0xAC01}},
        {{0xAC00, 0x11A8}, {0xAC01}, {0xAC01}},
        {{0xAC00}, {0xAC00}, {0xAC00}},
        // Marks out of canonical order are reordered, then composed.
        {{'a', 0x301, 0x316}, {0xE1, 0x316}, {0xE1, 0x316}},
        {{'a', 0x316, 0x301}, {0xE1, 0x316}, {0xE1, 0x316}},
        // A blocked mark stays; an unblocked one after it still composes.
        {{'a', 0x308, 0x301}, {0xE4, 0x301}, {0xE4, 0x301}},
        {{0x1E0B, 0x323}, {0x1E0D, 0x307}, {0x1E0D, 0x307}},
        {{0x0344}, {0x308, 0x301}, {0x308, 0x301}},
        {{0x00A0, 'x'}, {0x00A0, 'x'}, {' ', 'x'}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nfc(utf8(c.in)), utf8(c.nfc)) << "NFC of U+" << std::hex << c.in[0];
        EXPECT_EQ(nfkc(utf8(c.in)), utf8(c.nfkc)) << "NFKC of U+" << std::hex << c.in[0];
    }
}

TEST(UnormTest, AsciiIsCopiedByteForByte) {
    std::string text = "Pure ASCII text, with punctuation; and digits 0123456789.\n";
    for (int i = 0; i < 5; ++i) text += text;
    Dystr out;
    int len = static_cast<int>(text.size());
    EXPECT_EQ(QLTP_utf8_normalise_composed(text.data(), out.d, &len, 0, 1), static_cast<int>(text.size()));
    EXPECT_EQ(len, static_cast<int>(text.size()));
    EXPECT_EQ(out.str(), text);
    EXPECT_EQ(QLTP_utf8_normalise_decomposed(text.data(), out.d, &len, 1, 1), static_cast<int>(text.size()));
    EXPECT_EQ(out.str(), text);
}

TEST(UnormTest, NonFinalCallKeepsTheLastStarterPending) {
    Dystr out;
    std::string text = "cafe";
    int len = 4;
    EXPECT_EQ(QLTP_utf8_normalise_composed(text.data(), out.d, &len, 0, 0), 3);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(out.str(), "caf");
    std::string rest = "e\xCC\x81!";  // e, U+0301, "!"
    len = static_cast<int>(rest.size());
    QLTP_utf8_normalise_composed(rest.data(), out.d, &len, 0, 1);
    EXPECT_EQ(len, static_cast<int>(rest.size()));
    EXPECT_EQ(out.str(), "\xC3\xA9!");

    // A character cut by the end of a piece waits for the rest of its bytes.
    std::string cut = "ab\xC3";
    len = 3;
    QLTP_utf8_normalise_composed(cut.data(), out.d, &len, 0, 0);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(out.str(), "a");
}

TEST(UnormTest, LongSegmentsDoNotOverflow) {
    // "a" and 20 x U+0344: each mark decomposes to U+0308 U+0301.
    std::vector<uint32_t> in = {'a'}, want = {0xE4, 0x301};
    for (int i = 0; i < 20; ++i) in.push_back(0x344);
    for (int i = 0; i < 19; ++i) {
        want.push_back(0x308);
        want.push_back(0x301);
    }
    EXPECT_EQ(nfc(utf8(in)), utf8(want));
    EXPECT_EQ(nfkc(utf8(in)), utf8(want));

    // U+FDFA expands to 18 code points under NFKC and stays under NFC.
    std::vector<uint32_t> salla = {0x635, 0x644, 0x649, ' ', 0x627, 0x644, 0x644, 0x647, ' ',
                                   0x639, 0x644, 0x64A, 0x647, ' ', 0x648, 0x633, 0x644, 0x645};
    EXPECT_EQ(nfkc(utf8({0xFDFA})), utf8(salla));
    EXPECT_EQ(nfc(utf8({0xFDFA})), utf8({0xFDFA}));

    // 1,000 marks in reverse canonical order behind one starter.
    std::vector<uint32_t> marks = {'a'}, sorted = {0xE1};
    for (int i = 0; i < 500; ++i) {
        marks.push_back(0x301);
        marks.push_back(0x316);
    }
    for (int i = 0; i < 500; ++i) sorted.push_back(0x316);
    for (int i = 0; i < 499; ++i) sorted.push_back(0x301);
    EXPECT_EQ(nfc(utf8(marks)), utf8(sorted));

    // A long run of Hangul jamo composes pairwise.
    std::vector<uint32_t> jamo, syllables;
    for (int i = 0; i < 300; ++i) {
        jamo.push_back(0x1100);
        jamo.push_back(0x1161);
        syllables.push_back(0xAC00);
    }
    EXPECT_EQ(nfc(utf8(jamo)), utf8(syllables));
}

TEST(UnormTest, InvalidBytesPassUnchanged) {
    std::string text = "a\xFF\xCC\x81" "b\xE2\x82";
    EXPECT_EQ(nfc(text), text);
    Dystr out;
    int len = 3;
    EXPECT_EQ(QLTP_utf8_normalise_composed(nullptr, out.d, &len, 0, 1), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(QLTP_utf8_normalise_composed("x", nullptr, &len, 0, 1), 0);
    EXPECT_EQ(QLTP_unicode_getrecord(0x110000), nullptr);
    ASSERT_NE(QLTP_unicode_getrecord(0x301), nullptr);
    EXPECT_EQ(QLTP_unicode_getrecord(0x301)->combining, 230);
}

// Reads the conformance file of the Unicode Character Database, compressed
// or not.
std::string read_conformance_file() {
    const char* plain = "/usr/share/unicode/NormalizationTest.txt";
    const char* packed = "/usr/share/unicode/NormalizationTest.txt.bz2";
    std::string cmd;
    if (FILE* f = std::fopen(plain, "rb")) {
        std::fclose(f);
        cmd = std::string("cat ") + plain;
    } else if (FILE* g = std::fopen(packed, "rb")) {
        std::fclose(g);
        cmd = std::string("bzip2 -dc ") + packed;
    } else {
        return "";
    }
    std::string text;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    pclose(p);
    return text;
}

std::vector<uint32_t> parse_cps(const std::string& field) {
    std::vector<uint32_t> cps;
    std::istringstream in(field);
    std::string hex;
    while (in >> hex) cps.push_back(static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16)));
    return cps;
}

TEST(UnormTest, PassesEveryNfcAndNfkcConformanceLine) {
    std::string text = read_conformance_file();
    ASSERT_FALSE(text.empty()) << "NormalizationTest.txt of the unicode-data package is missing";
    std::istringstream lines(text);
    std::string line;
    int checked = 0, failed = 0;
    bool part1 = false;
    std::set<uint32_t> listed;
    while (std::getline(lines, line)) {
        if (line.rfind("@Part", 0) == 0) {
            part1 = line.rfind("@Part1", 0) == 0;
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string item;
        for (int k = 0; k < 5 && std::getline(fields, item, ';'); ++k) f.push_back(utf8(parse_cps(item)));
        ASSERT_EQ(f.size(), 5u) << line;
        if (part1) listed.insert(parse_cps(line.substr(0, line.find(';')))[0]);
        const std::string& c2 = f[1];
        const std::string& c4 = f[3];
        bool ok = nfc(f[0]) == c2 && nfc(c2) == c2 && nfc(f[2]) == c2 && nfc(c4) == c4 && nfc(f[4]) == c4;
        for (int k = 0; k < 5; ++k) ok = ok && nfkc(f[k]) == c4;
        if (!ok && ++failed <= 10) ADD_FAILURE() << "conformance line: " << line;
        ++checked;
    }
    EXPECT_GT(checked, 15000);
    EXPECT_EQ(failed, 0);
    // Every code point that the file does not list is left alone by both forms.
    int unchanged_failures = 0;
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
        if ((cp >= 0xD800 && cp <= 0xDFFF) || listed.count(cp)) continue;
        std::string s = utf8({cp});
        if ((nfc(s) != s || nfkc(s) != s) && ++unchanged_failures <= 10)
            ADD_FAILURE() << "U+" << std::hex << cp << " changed";
    }
    EXPECT_EQ(unchanged_failures, 0);
}

// Random text from the characters that need work: marks of several classes,
// jamo, composites, compatibility characters and plain letters.
std::string random_text(std::mt19937& rng, int chars) {
    static const uint32_t pool[] = {'a', 'e', 'o', ' ', 'A', 0xE9, 0xC5, 0x212B, 0x300, 0x301, 0x308, 0x316, 0x323,
                                    0x327, 0x344, 0x345, 0x1100, 0x1161, 0x11A8, 0xAC00, 0xAC01, 0xFB01, 0xFDFA,
                                    0x3099, 0x304B, 0x0B47, 0x0B3E, 0x1E0B, 0x2126, 0x4E2D, 0x1D15E, 0xFF21, 0x0F73};
    std::uniform_int_distribution<size_t> pick(0, sizeof pool / sizeof pool[0] - 1);
    std::vector<uint32_t> cps;
    for (int i = 0; i < chars; ++i) cps.push_back(pool[pick(rng)]);
    return utf8(cps);
}

TEST(UnormTest, RandomTextIsStableAcrossPiecesAndIdempotent) {
    std::mt19937 rng(20240601);
    for (int round = 0; round < 400; ++round) {
        std::string text = random_text(rng, 1 + static_cast<int>(rng() % 60));
        for (bool compat : {false, true}) {
            std::string whole = nf(text, compat);
            ASSERT_TRUE(valid_utf8(whole));
            EXPECT_EQ(nf(whole, compat), whole) << "round " << round;
            std::vector<size_t> cuts;
            for (size_t at = 1 + rng() % 7; at < text.size(); at += 1 + rng() % 9) cuts.push_back(at);
            EXPECT_EQ(nf_streamed(text, cuts, compat), whole) << "round " << round;
        }
    }
}

TEST(UnormTest, RandomBytesNeverBreakTheNormaliser) {
    std::mt19937 rng(7);
    Dystr out;
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(rng() % 200, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        for (int compat = 0; compat < 2; ++compat) {
            for (int final = 0; final < 2; ++final) {
                int len = static_cast<int>(bytes.size());
                int written = QLTP_utf8_normalise_composed(bytes.data(), out.d, &len, compat, final);
                ASSERT_GE(len, 0);
                ASSERT_LE(len, static_cast<int>(bytes.size()));
                if (final) {
                    ASSERT_EQ(len, static_cast<int>(bytes.size()));
                }
                ASSERT_EQ(written, QLTP_dystr_sz(out.d));
            }
        }
    }
}

}  // namespace
