#include "foundation/dict.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/hash.h"
#include "foundation/serial.h"

namespace {

struct DictDeleter {
    void operator()(dict* d) const { QLTP_dict_delete(d); }
};
using DictPtr = std::unique_ptr<dict, DictDeleter>;

struct CdictDeleter {
    void operator()(cdict* c) const { QLTP_cdict_delete(c); }
};
using CdictPtr = std::unique_ptr<cdict, CdictDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

using Bytes = std::vector<unsigned char>;

FilePtr file_holding(const Bytes& data) {
    FilePtr f(std::tmpfile());
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f.get());
    std::rewind(f.get());
    return f;
}

Bytes written(const dict* d, int swap) {
    int sz = QLTP_dict_write_sz(d);
    Bytes buf(static_cast<size_t>(sz));
    char* start = reinterpret_cast<char*>(buf.data());
    char* end = QLTP_dict_write(d, start, swap);
    EXPECT_EQ(end, start + sz);
    return buf;
}

DictPtr read_dict(const Bytes& data, int swap, int* got = nullptr) {
    FilePtr f = file_holding(data);
    dict* d = nullptr;
    int n = QLTP_dict_read(f.get(), &d, swap);
    if (got) *got = n;
    return DictPtr(d);
}

DictPtr dict_of(std::initializer_list<const char*> words, int hint = 0) {
    DictPtr d(QLTP_dict_new_empty(hint));
    for (const char* w : words) QLTP_dict_add_entry(d.get(), w, static_cast<int>(std::strlen(w)));
    return d;
}

void put32(Bytes& out, int32_t v, bool swap = false) {
    uint32_t u = static_cast<uint32_t>(v);
    if (swap) u = __builtin_bswap32(u);
    unsigned char b[4];
    std::memcpy(b, &u, 4);
    out.insert(out.end(), b, b + 4);
}

std::vector<std::string> system_words() {
    std::vector<std::string> words;
    std::ifstream in("/usr/share/dict/words");
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) words.push_back(line);
    return words;
}

std::string text(const dystr* s) { return std::string(QLTP_dystr_cstr(s), static_cast<size_t>(QLTP_dystr_sz(s))); }

}  // namespace

TEST(DictTest, AddGivesDenseIdsAndReturnsExistingOnes) {
    DictPtr d(QLTP_dict_new_empty(0));
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "x", 1), 1);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "y", 1), 2);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "x", 1), 1);
    EXPECT_EQ(QLTP_dict_size(d.get()), 2);
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 1), "x");
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 2), "y");
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 3), "");
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 0), "");
    EXPECT_STREQ(QLTP_dict_lookup_index(nullptr, 1), "");
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), "y", -1), 2);
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), "yy", 1), 2);
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), "z", -1), 0);
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), nullptr, 1), 0);
    EXPECT_EQ(QLTP_dict_lookup_word(nullptr, "x", 1), 0);
    EXPECT_EQ(QLTP_dict_size(nullptr), 0);
    EXPECT_EQ(QLTP_dict_delete(nullptr), 0);
}

TEST(DictTest, AddRefusesMissingEmptyAndNegativeLengths) {
    DictPtr d(QLTP_dict_new_empty(10));
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "word", 0), 0);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "word", -1), 0);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), nullptr, 3), 0);
    EXPECT_EQ(QLTP_dict_add_entry(nullptr, "word", 4), 0);
    EXPECT_EQ(QLTP_dict_size(d.get()), 0);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "wordy", 4), 1);  // the given length counts
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 1), "word");
}

TEST(DictTest, MultiplierAppliesToEveryIdHandedOutAndIsTakenOffAgain) {
    DictPtr d(QLTP_dict_new_empty(0));
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "a", 1), 1);
    EXPECT_EQ(QLTP_dict_set_loc(d.get(), 10), 1);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "b", 1), 20);
    EXPECT_EQ(QLTP_dict_add_entry(d.get(), "a", 1), 10);
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), "b", 1), 20);
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 20), "b");
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), QLTP_dict_lookup_word(d.get(), "a", 1)), "a");
    EXPECT_STREQ(QLTP_dict_lookup_index(d.get(), 15), "");
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), "c", 1), 0);
}

TEST(DictTest, ThreeOneByteWordsWriteTheExactFileForm) {
    DictPtr d = dict_of({"a", "b", "c"});
    // All three hash to bucket 51 of 128; ids and offsets take one byte each.
    // Bucket data: 51 empty buckets, bucket 51's entries and end byte, 76 empty buckets.
    Bytes body;
    body.insert(body.end(), {52, 56, 60});  // lookup: offsets of the words
    for (int b = 0; b < 128; ++b) body.push_back(static_cast<unsigned char>(b <= 51 ? b : b + 12));
    Bytes data(51, 0);
    data.insert(data.end(), {1, 'a', 0, 1, 1, 'b', 0, 2, 1, 'c', 0, 3, 0});
    data.insert(data.end(), 76, 0);
    ASSERT_EQ(data.size(), 140u);
    body.insert(body.end(), data.begin(), data.end());
    ASSERT_EQ(body.size(), 271u);

    for (bool swap : {false, true}) {
        Bytes expected;
        for (int32_t v : {3, 1, 1, 1, 128, 271}) put32(expected, v, swap);
        expected.insert(expected.end(), body.begin(), body.end());
        EXPECT_EQ(QLTP_dict_write_sz(d.get()), 295);
        EXPECT_EQ(written(d.get(), swap), expected) << "swap " << swap;
    }
    EXPECT_EQ(QLTP_hash_value("a", 1) & 127, 51u);
}

TEST(DictTest, WidthsFollowTheLargestIdAndOffset) {
    DictPtr d(QLTP_dict_new_empty(2));
    for (int i = 0; i < 300; ++i) {
        std::string w = "w" + std::to_string(i);
        ASSERT_EQ(QLTP_dict_add_entry(d.get(), w.data(), static_cast<int>(w.size())), i + 1);
    }
    Bytes out = written(d.get(), 0);
    int32_t head[6];
    std::memcpy(head, out.data(), sizeof head);
    EXPECT_EQ(head[0], 300);
    EXPECT_EQ(head[1], 2);  // ids above 255
    EXPECT_EQ(head[2], 2);  // bucket data over 255 bytes
    EXPECT_EQ(head[3], 2);
    EXPECT_EQ(head[4], 2);  // the creation bucket count, however the table grew
    // Word bytes: 10 of 2, 90 of 3, 200 of 4; each entry adds a length byte, a NUL and a 2-byte id.
    const int bucket_data = (10 * 2 + 90 * 3 + 200 * 4) + 300 * 4 + 2;
    EXPECT_EQ(head[5], 300 * 2 + 2 * 2 + bucket_data);
    EXPECT_EQ(static_cast<int>(out.size()), 24 + head[5]);
}

TEST(DictTest, SwappedAndUnswappedFilesReadBackToTheSameLookups) {
    DictPtr d = dict_of({"alpha", "beta", "gamma", "\xC3\xA9t\xC3\xA9", "delta"});
    for (int swap : {0, 1}) {
        int got = 0;
        DictPtr back = read_dict(written(d.get(), swap), swap, &got);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(got, 6 + QLTP_dict_write_sz(d.get()) - 24);
        EXPECT_EQ(QLTP_dict_size(back.get()), 5);
        for (int id = 1; id <= 5; ++id) {
            const char* w = QLTP_dict_lookup_index(d.get(), id);
            EXPECT_STREQ(QLTP_dict_lookup_index(back.get(), id), w);
            EXPECT_EQ(QLTP_dict_lookup_word(back.get(), w, -1), id);
        }
        EXPECT_EQ(QLTP_dict_lookup_word(back.get(), "omega", -1), 0);
        EXPECT_STREQ(QLTP_dict_lookup_index(back.get(), 6), "");
        // A dictionary read from a file is read-only.
        EXPECT_EQ(QLTP_dict_add_entry(back.get(), "omega", 5), 0);
        EXPECT_EQ(QLTP_dict_size(back.get()), 5);
    }
}

TEST(DictTest, ReadDictionaryWritesItsStoredForm) {
    DictPtr d = dict_of({"one", "two", "three"});
    Bytes plain = written(d.get(), 0);
    DictPtr back = read_dict(plain, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(QLTP_dict_write_sz(back.get()), static_cast<int>(plain.size()));
    EXPECT_EQ(written(back.get(), 0), plain);
    EXPECT_EQ(written(back.get(), 1), written(d.get(), 1));
}

TEST(DictTest, WordOver254BytesHasNoCompactFormAndIsNotWritten) {
    DictPtr d = dict_of({"fine"});
    std::string longword(255, 'x');
    ASSERT_EQ(QLTP_dict_add_entry(d.get(), longword.data(), 255), 2);
    EXPECT_EQ(QLTP_dict_lookup_word(d.get(), longword.data(), 255), 2);
    EXPECT_EQ(QLTP_cdict_new(d.get()), nullptr);
    EXPECT_EQ(QLTP_dict_write_sz(d.get()), 0);
    char buf[64] = {};
    EXPECT_EQ(QLTP_dict_write(d.get(), buf, 0), nullptr);
    EXPECT_EQ(QLTP_dict_write_sz(nullptr), 0);
    EXPECT_EQ(QLTP_dict_write(nullptr, buf, 0), nullptr);

    DictPtr edge = dict_of({"fine"});
    std::string w254(254, 'y');
    ASSERT_EQ(QLTP_dict_add_entry(edge.get(), w254.data(), 254), 2);
    DictPtr back = read_dict(written(edge.get(), 0), 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(QLTP_dict_lookup_word(back.get(), w254.data(), 254), 2);
}

TEST(DictTest, PrintFormsListEveryId) {
    DictPtr d = dict_of({"x", "yy"});
    dystr* s = QLTP_dystr_new(nullptr, 0);
    EXPECT_EQ(QLTP_dict_print(d.get(), s), 1);
    EXPECT_EQ(text(s), "\nx : 1\nyy : 2");
    QLTP_dystr_clear(s);
    EXPECT_EQ(QLTP_dict_printl(d.get(), s), 1);
    EXPECT_EQ(text(s), "{\"x\":1,\"yy\":2}");
    QLTP_dystr_clear(s);
    DictPtr empty(QLTP_dict_new_empty(0));
    EXPECT_EQ(QLTP_dict_printl(empty.get(), s), 1);
    EXPECT_EQ(text(s), "{}");
    QLTP_dystr_clear(s);
    DictPtr back = read_dict(written(d.get(), 0), 0);
    EXPECT_EQ(QLTP_dict_print(back.get(), s), 1);
    EXPECT_EQ(text(s), "\nx : 1\nyy : 2");
    QLTP_dystr_delete(s);

    testing::internal::CaptureStdout();
    QLTP_dict_printf(d.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nx : 1\nyy : 2\n");
}

TEST(DictTest, CompactFormAnswersLikeTheDictionary) {
    DictPtr d = dict_of({"a", "b", "c"});
    CdictPtr cd(QLTP_cdict_new(d.get()));
    ASSERT_NE(cd, nullptr);
    EXPECT_EQ(QLTP_cdict_sz(cd.get()), 3);
    EXPECT_STREQ(QLTP_cdict_idx(cd.get(), 2), "b");
    EXPECT_STREQ(QLTP_cdict_idx(cd.get(), 0), "");
    EXPECT_STREQ(QLTP_cdict_idx(cd.get(), 4), "");
    EXPECT_EQ(QLTP_cdict_word(cd.get(), "c", 1), 3);
    EXPECT_EQ(QLTP_cdict_word(cd.get(), "c", -1), 0);  // the length must be given
    EXPECT_EQ(QLTP_cdict_word(cd.get(), "d", 1), 0);
    EXPECT_EQ(QLTP_cdict_write_sz(cd.get()), 295);
    EXPECT_EQ(QLTP_cdict_sz(nullptr), 0);
    QLTP_cdict_delete(nullptr);

    testing::internal::CaptureStdout();
    TEMP_cdict_print(cd.get());
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dump.rfind("size: 3 bctsz: 128 datasz: 271\nbszlkp: 1 bszbct: 1 bszdat: 1\nLOOKUP\na 1\nb 2\nc 3\n"
                         "BUCKET OFFSETS\n0 0\n",
                         0),
              0u);
    EXPECT_NE(dump.find("\n52 64\n"), std::string::npos);
    EXPECT_NE(dump.find("BUCKET CONTENTS\nBUCKET 0\n"), std::string::npos);
    EXPECT_NE(dump.find("\nBUCKET 51 a:1 b:2 c:3\nBUCKET 52\n"), std::string::npos);
}

TEST(DictTest, PyWriterChecksTheBufferSize) {
    DictPtr d = dict_of({"a", "b", "c"});
    CdictPtr cd(QLTP_cdict_new(d.get()));
    EXPECT_EQ(QLTPPy_cdict_write(cd.get(), nullptr), 295);
    QLTP_fixedbuf* small = QLTP_fixedbuf_new(294);
    EXPECT_EQ(QLTPPy_cdict_write(cd.get(), small), -1);
    for (uint32_t i = 0; i < small->size; ++i) ASSERT_EQ(small->data[i], 0);
    QLTP_fixedbuf_delete(small);
    QLTP_fixedbuf* fit = QLTP_fixedbuf_new(295);
    EXPECT_EQ(QLTPPy_cdict_write(cd.get(), fit), 0);
    EXPECT_EQ(Bytes(fit->data, fit->data + 295), written(d.get(), 0));
    EXPECT_EQ(QLTPPy_cdict_write(nullptr, fit), -1);
    QLTP_fixedbuf_delete(fit);
}

TEST(DictTest, PyLoaderReadsAFileByPath) {
    DictPtr d = dict_of({"path", "load"});
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("dict_test_cdict.bin");
    Bytes data = written(d.get(), 0);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    CdictPtr cd(QLTPPy_cdict_load(path.c_str()));
    ASSERT_NE(cd, nullptr);
    EXPECT_EQ(QLTP_cdict_word(cd.get(), "load", 4), 2);
    std::remove(path.c_str());
    EXPECT_EQ(QLTPPy_cdict_load(path.c_str()), nullptr);
    EXPECT_EQ(QLTPPy_cdict_load(nullptr), nullptr);
}

TEST(DictTest, ReaderRefusesInconsistentHeadersAndBlocks) {
    DictPtr d = dict_of({"a", "b", "c"});
    const Bytes good = written(d.get(), 0);
    auto with_head = [&](int field, int32_t v) {
        Bytes b = good;
        std::memcpy(b.data() + 4 * field, &v, 4);
        return b;
    };
    auto with_byte = [&](size_t pos, unsigned char v) {
        Bytes b = good;
        b[24 + pos] = v;
        return b;
    };
    const Bytes bad[] = {
        Bytes(good.begin(), good.begin() + 20),   // short header
        Bytes(good.begin(), good.end() - 1),      // short block
        with_head(0, -1), with_head(0, 4),        // size
        with_head(1, 3), with_head(2, 0),         // widths
        with_head(3, 8), with_head(4, 100),       // bucket count not a power of two
        with_head(4, 0), with_head(5, 270),       // datasz
        with_head(5, 0x7FFFFFF0),                 // datasz far beyond the file
        with_byte(0, 200),                        // lookup offset
        with_byte(3 + 51, 50),                    // bucket offset
        with_byte(131 + 51, 0xFF),                // word length 255
        with_byte(131 + 53, 'x'),                 // word not NUL-terminated
        with_byte(131 + 54, 9),                   // id out of range
        with_byte(131 + 58, 1),                   // duplicate id
        with_byte(131 + 63, 7),                   // bucket not ended
        with_byte(131 + 56, 'a'),                 // the same word twice
    };
    int i = 0;
    for (const Bytes& data : bad) {
        int got = -1;
        DictPtr back = read_dict(data, 0, &got);
        EXPECT_EQ(back, nullptr) << "case " << i;
        EXPECT_EQ(got, 0) << "case " << i;
        ++i;
    }
    cdict* out = nullptr;
    EXPECT_EQ(QLTP_cdict_read(nullptr, &out, 0), 0);
    EXPECT_EQ(read_dict(good, 0) != nullptr, true);

    // A word moved out of its hash bucket (the letter changed in place).
    DictPtr two = dict_of({"a", "bc"});
    Bytes moved = written(two.get(), 0);
    const unsigned char bc[] = {2, 'b', 'c', 0};
    auto at = std::search(moved.begin(), moved.end(), bc, bc + 4) + 2;
    ASSERT_NE(at, moved.end() + 2);
    uint32_t home = QLTP_hash_value("bc", 2);
    char other[] = "bd";
    while ((QLTP_hash_value(other, 2) & 127) == (home & 127)) ++other[1];
    *at = static_cast<unsigned char>(other[1]);
    EXPECT_EQ(read_dict(moved, 0), nullptr);
}

TEST(DictTest, ReaderSurvivesRandomInput) {
    DictPtr d = dict_of({"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"}, 4);
    std::mt19937 rng(99);
    const Bytes bases[] = {written(d.get(), 0), written(d.get(), 1)};
    for (int round = 0; round < 3000; ++round) {
        int swap = round % 2;
        Bytes data = bases[swap];
        switch (round % 4) {
            case 0:
            case 1: {
                int flips = 1 + static_cast<int>(rng() % 3);
                for (int k = 0; k < flips; ++k) data[rng() % data.size()] = static_cast<unsigned char>(rng());
                break;
            }
            case 2:
                data.resize(rng() % data.size());
                break;
            default:
                data.resize(24 + rng() % 64);
                for (size_t k = 24; k < data.size(); ++k) data[k] = static_cast<unsigned char>(rng() % 8);
                break;
        }
        int got = -1;
        DictPtr back = read_dict(data, swap, &got);
        if (!back) {
            EXPECT_EQ(got, 0);
            continue;
        }
        int n = QLTP_dict_size(back.get());
        for (int id = 1; id <= n; ++id) {
            const char* w = QLTP_dict_lookup_index(back.get(), id);
            int len = static_cast<int>(std::strlen(w));
            QLTP_dict_lookup_word(back.get(), w, len);
        }
        for (const char* probe : {"alpha", "theta", "zz", "a"}) QLTP_dict_lookup_word(back.get(), probe, -1);
    }
}

TEST(DictTest, SystemWordListRoundTripsThroughTheCompactForm) {
    const std::vector<std::string> words = system_words();
    if (words.size() < 1000) GTEST_SKIP() << "no /usr/share/dict/words";
    // The default hint keeps 128 buckets in the file; a sized one gives a fast file.
    for (int hint : {0, static_cast<int>(words.size())}) {
        DictPtr d(QLTP_dict_new_empty(hint));
        for (size_t i = 0; i < words.size(); ++i)
            ASSERT_EQ(QLTP_dict_add_entry(d.get(), words[i].data(), static_cast<int>(words[i].size())),
                      static_cast<int>(i + 1));
        for (size_t i = 0; i < words.size(); i += 97)
            ASSERT_EQ(QLTP_dict_lookup_word(d.get(), words[i].c_str(), -1), static_cast<int>(i + 1));

        CdictPtr cd(QLTP_cdict_new(d.get()));
        ASSERT_NE(cd, nullptr);
        ASSERT_EQ(QLTP_cdict_sz(cd.get()), static_cast<int>(words.size()));
        if (hint == 0) {
            // Within each bucket the entries keep insertion order.
            testing::internal::CaptureStdout();
            TEMP_cdict_print(cd.get());
            std::istringstream dump(testing::internal::GetCapturedStdout());
            std::string line;
            int buckets = 0;
            while (std::getline(dump, line)) {
                if (line.rfind("BUCKET ", 0) != 0 || line == "BUCKET OFFSETS" || line == "BUCKET CONTENTS") continue;
                ++buckets;
                int last = 0;
                for (size_t colon = line.find(':'); colon != std::string::npos; colon = line.find(':', colon + 1)) {
                    int id = std::atoi(line.c_str() + colon + 1);
                    if (id <= 0) continue;  // a colon inside a word
                    ASSERT_GT(id, last) << line.substr(0, 80);
                    last = id;
                }
            }
            EXPECT_EQ(buckets, 128);
        }
        for (int swap : {0, 1}) {
            Bytes data = written(d.get(), swap);
            Bytes direct(static_cast<size_t>(QLTP_cdict_write_sz(cd.get())));
            QLTP_cdict_write(cd.get(), reinterpret_cast<char*>(direct.data()), swap);
            ASSERT_EQ(data, direct);
            DictPtr back = read_dict(data, swap);
            ASSERT_NE(back, nullptr);
            ASSERT_EQ(QLTP_dict_size(back.get()), static_cast<int>(words.size()));
            int step = hint == 0 ? 13 : 1;  // long chains make the 128-bucket file slow to probe
            for (size_t i = 0; i < words.size(); i += static_cast<size_t>(step)) {
                ASSERT_EQ(QLTP_dict_lookup_word(back.get(), words[i].data(), static_cast<int>(words[i].size())),
                          static_cast<int>(i + 1))
                    << words[i];
            }
            for (size_t i = 0; i < words.size(); ++i)
                ASSERT_EQ(words[i], QLTP_dict_lookup_index(back.get(), static_cast<int>(i + 1)));
            EXPECT_EQ(QLTP_dict_lookup_word(back.get(), "notawordatall", -1), 0);
            EXPECT_EQ(written(back.get(), swap), data);
        }
    }
}
