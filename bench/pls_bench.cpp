// Loading the CMU dictionary from one IPA pronunciation lexicon document
// (about 8 MB) into a lexicon, against libxml2 parsing the same bytes into a
// tree.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <string>

#include "linguistics/lexicon.h"
#include "linguistics/phoneset.h"
#include "linguistics/pls.h"
#include "tests/linguistics/cmudict.h"

namespace {

const std::string& Document() {
  static const std::string doc = orvelle_test::CmuPlsDocument(orvelle_test::ReadCmuDict());
  return doc;
}

void BM_PlsReader(benchmark::State& state) {
  const std::string& doc = Document();
  pls* reader = QLTP_pls_new();
  phoneset* ipa = QLTP_phoneset_new();
  QLTP_phoneset_load_file(ipa, orvelle_test::EnglishIpaPhoneSet().c_str());
  QLTP_pls_addphoneset(reader, ipa, 1);
  for (auto _ : state) {
    lexhash* lex = QLTP_pls_load_pls(reader, doc.c_str());
    benchmark::DoNotOptimize(lex);
    QLTP_lexhash_delete(lex);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
  QLTP_pls_delete(reader);
}
BENCHMARK(BM_PlsReader)->Unit(benchmark::kMillisecond);

void BM_Libxml2ReadMemory(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    xmlDocPtr tree = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "pls.xml", nullptr, 0);
    benchmark::DoNotOptimize(tree);
    xmlFreeDoc(tree);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_Libxml2ReadMemory)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
