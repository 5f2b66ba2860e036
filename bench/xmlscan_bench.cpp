// Markup scanner throughput against libxml2's SAX parser on the same 1 MB
// document: events (start, end, character data, entity, CDATA) per second.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/xmlscan.h"

namespace {

// A deterministic document of about 1 MB: records with attributes, text with
// entities and non-ASCII words, comments and CDATA sections.
const std::string& Document() {
  static const std::string doc = [] {
    static const char* const words[] = {"speech", "voice",  "Straße", "naïve", "text",
                                        "token",  "server", "élan",   "markup", "phrase"};
    std::string d = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<corpus lang=\"en\">\n";
    uint32_t seed = 12345;
    int record = 0;
    while (d.size() < 1000000) {
      d += "  <record id=\"" + std::to_string(record++) + "\" kind='sample'>\n    <title>";
      for (int w = 0; w < 4; ++w) {
        seed = seed * 1103515245u + 12345u;
        d += words[(seed >> 16) % 10];
        d += w < 3 ? " " : "";
      }
      d += "</title>\n    <body>";
      for (int w = 0; w < 24; ++w) {
        seed = seed * 1103515245u + 12345u;
        d += words[(seed >> 16) % 10];
        d += (seed >> 8) % 7 == 0 ? " &amp; " : " ";
      }
      d += "<br/></body>\n";
      if (record % 10 == 0) d += "    <!-- checkpoint -->\n    <code><![CDATA[a < b && c]]></code>\n";
      d += "  </record>\n";
    }
    d += "</corpus>\n";
    return d;
  }();
  return doc;
}

struct Counter {
  int64_t events = 0;
};

void OnStart(void* u, const char*, const char**) { ++static_cast<Counter*>(u)->events; }
void OnEnd(void* u, const char*) { ++static_cast<Counter*>(u)->events; }
void OnData(void* u, const char*, int) { ++static_cast<Counter*>(u)->events; }
void OnCdata(void* u) { ++static_cast<Counter*>(u)->events; }

void BM_TpxmlScanner(benchmark::State& state) {
  const std::string& doc = Document();
  const int piece = static_cast<int>(state.range(0));
  QLTP_tpxml* x = QLTP_tpxml_new();
  Counter counter;
  QLTP_tpxml_set_userdata(x, &counter);
  QLTP_tpxml_set_element_handler(x, OnStart, OnEnd);
  QLTP_tpxml_set_character_data_handler(x, OnData);
  QLTP_tpxml_set_entity_handler(x, OnData);
  QLTP_tpxml_set_cdata_section_handler(x, OnCdata, OnCdata);
  int64_t events = 0;
  for (auto _ : state) {
    counter.events = 0;
    QLTP_tpxml_reset(x);
    if (piece <= 0) {
      QLTP_tpxml_parse(x, doc.data(), static_cast<int>(doc.size()), 1);
    } else {
      size_t at = 0;
      while (at < doc.size()) {
        size_t n = std::min(static_cast<size_t>(piece), doc.size() - at);
        QLTP_tpxml_parse(x, doc.data() + at, static_cast<int>(n), 0);
        at += n;
      }
      QLTP_tpxml_parse(x, nullptr, 0, 1);
    }
    events = counter.events;
  }
  QLTP_tpxml_delete(x);
  state.counters["events"] = static_cast<double>(events);
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_TpxmlScanner)->Arg(0)->Arg(4096)->Unit(benchmark::kMillisecond);

void SaxStart(void* u, const xmlChar*, const xmlChar**) { ++static_cast<Counter*>(u)->events; }
void SaxEnd(void* u, const xmlChar*) { ++static_cast<Counter*>(u)->events; }
void SaxChars(void* u, const xmlChar*, int) { ++static_cast<Counter*>(u)->events; }

void BM_Libxml2Sax(benchmark::State& state) {
  const std::string& doc = Document();
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.startElement = SaxStart;
  sax.endElement = SaxEnd;
  sax.characters = SaxChars;
  sax.cdataBlock = SaxChars;
  Counter counter;
  int64_t events = 0;
  for (auto _ : state) {
    counter.events = 0;
    xmlSAXUserParseMemory(&sax, &counter, doc.data(), static_cast<int>(doc.size()));
    events = counter.events;
  }
  state.counters["events"] = static_cast<double>(events);
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_Libxml2Sax)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
