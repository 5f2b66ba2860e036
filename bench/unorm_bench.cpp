// NFC and NFKC throughput on mostly-ASCII text and on mixed European/CJK
// text. Built with ORVELLE_BENCH_ICU (and ICU's uc library linked) it also
// times ICU's unorm2_normalize on the same text, handed over as UTF-16.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "textproc/unorm.h"

#ifdef ORVELLE_BENCH_ICU
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#endif

namespace {

constexpr size_t TextBytes = 64 * 1024;

std::string repeat_to_size(const std::vector<std::string>& parts) {
    std::string text;
    for (size_t i = 0; text.size() < TextBytes; ++i) text += parts[i % parts.size()];
    return text;
}

const std::string& ascii_text() {
    static const std::string text = repeat_to_size({
        "The quick brown fox jumps over the lazy dog while the committee reviews the minutes. ",
        "Prices rose by 3.5% in the second quarter, according to the report published on Monday. ",
        "She ordered a caf\xC3\xA9 au lait and read the r\xC3\xA9sum\xC3\xA9 twice before the interview.\n",
        "Version 2.0 of the protocol adds streaming, compression and a smaller header format. ",
    });
    return text;
}

const std::string& mixed_text() {
    static const std::string text = repeat_to_size({
        "Der B\xC3\xA4" "cker verkauft fr\xC3\xBC" "h am Morgen gro\xC3\x9F" "e Br\xC3\xB6tchen. ",
        "\xC3\x80 la fen\xC3\xAAtre, l'\xC3\xA9t\xC3\xA9 arrive d\xC3\xA9j\xC3\xA0 \xC3\xA0 No\xC3\xABl. ",
        "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84. ",
        "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5. ",
        "\xE4\xBB\x8A\xE5\xA4\xA9\xE5\xA4\xA9\xE6\xB0\x94\xE5\xBE\x88\xE5\xA5\xBD\xEF\xBC\x8C"
        "\xE6\x88\x91\xE4\xBB\xAC\xE5\x8E\xBB\xE5\x85\xAC\xE5\x9B\xAD\xE6\x95\xA3\xE6\xAD\xA5\xE3\x80\x82",
        "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAF\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE\xE9\xA6\x96\xE9\x83\xBD"
        "\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\n",
    });
    return text;
}

void Normalise(benchmark::State& state, const std::string& text, int compat) {
    dystr* out = QLTP_dystr_newcustom(nullptr, 0, 4096, 1u << 20);
    for (auto _ : state) {
        int len = static_cast<int>(text.size());
        benchmark::DoNotOptimize(QLTP_utf8_normalise_composed(text.data(), out, &len, compat, 1));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    QLTP_dystr_delete(out);
}

void BM_NfcAscii(benchmark::State& s) { Normalise(s, ascii_text(), 0); }
void BM_NfkcAscii(benchmark::State& s) { Normalise(s, ascii_text(), 1); }
void BM_NfcMixed(benchmark::State& s) { Normalise(s, mixed_text(), 0); }
void BM_NfkcMixed(benchmark::State& s) { Normalise(s, mixed_text(), 1); }
BENCHMARK(BM_NfcAscii);
BENCHMARK(BM_NfkcAscii);
BENCHMARK(BM_NfcMixed);
BENCHMARK(BM_NfkcMixed);

#ifdef ORVELLE_BENCH_ICU
void Icu(benchmark::State& state, const std::string& text, bool compat) {
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* norm = compat ? unorm2_getNFKCInstance(&err) : unorm2_getNFCInstance(&err);
    std::vector<UChar> in(text.size() + 1), out(text.size() * 4 + 16);
    int32_t in_len = 0;
    u_strFromUTF8(in.data(), static_cast<int32_t>(in.size()), &in_len, text.data(),
                  static_cast<int32_t>(text.size()), &err);
    if (U_FAILURE(err)) {
        state.SkipWithError("ICU set-up failed");
        return;
    }
    for (auto _ : state) {
        UErrorCode e = U_ZERO_ERROR;
        benchmark::DoNotOptimize(
            unorm2_normalize(norm, in.data(), in_len, out.data(), static_cast<int32_t>(out.size()), &e));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_IcuNfcAscii(benchmark::State& s) { Icu(s, ascii_text(), false); }
void BM_IcuNfkcAscii(benchmark::State& s) { Icu(s, ascii_text(), true); }
void BM_IcuNfcMixed(benchmark::State& s) { Icu(s, mixed_text(), false); }
void BM_IcuNfkcMixed(benchmark::State& s) { Icu(s, mixed_text(), true); }
BENCHMARK(BM_IcuNfcAscii);
BENCHMARK(BM_IcuNfkcAscii);
BENCHMARK(BM_IcuNfcMixed);
BENCHMARK(BM_IcuNfkcMixed);
#endif

}  // namespace

BENCHMARK_MAIN();
