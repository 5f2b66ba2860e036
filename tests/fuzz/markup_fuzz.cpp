// The markup scanner and the configuration loader on any text. Byte 0 cuts
// the pieces; byte 1 bit 0 makes the configuration root "dbconfig" instead
// of "tpconfig".
// Scanner: what it reports, written back as markup, is valid UTF-8 and
// scans to the very same markup, and feeding the text in pieces reports the
// same as one call.
// Configuration: the text loads to the same settings whole, line by line
// and from a file; the settings written as a document load to the same
// lookups and write the same document again.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/xmlscan.h"
#include "fuzz/fuzz.h"

using namespace orvelle_fuzz;

namespace {

std::string Quoted(const std::string& value) {
  const char q = value.find('"') == std::string::npos ? '"' : '\'';
  return q + value + q;
}

// Everything the scanner reports, written back as markup.
struct Markup {
  std::string out;
  bool in_cdata = false;
  static Markup& Of(void* u) { return *static_cast<Markup*>(u); }
  static void Start(void* u, const char* name, const char** attributes) {
    std::string& o = Of(u).out;
    o += std::string("<") + name;
    for (const char** a = attributes; a && a[0] && a[1]; a += 2) o += std::string(" ") + a[0] + "=" + Quoted(a[1]);
    o += ">";
  }
  static void End(void* u, const char* name) { Of(u).out += std::string("</") + name + ">"; }
  static void Data(void* u, const char* text, int len) {
    Markup& m = Of(u);
    for (const char* p = text; p < text + len; ++p) {
      if (m.in_cdata) m.out += *p;
      else if (*p == '&') m.out += "&amp;";
      else if (*p == '<') m.out += "&lt;";
      else if (*p == '>') m.out += "&gt;";
      else m.out += *p;
    }
  }
  static void Entity(void* u, const char* text, int len) { Of(u).out.append(text, static_cast<size_t>(len)); }
  static void CdataStart(void* u) { Of(u).out += "<![CDATA["; Of(u).in_cdata = true; }
  static void CdataEnd(void* u) { Of(u).out += "]]>"; Of(u).in_cdata = false; }
};

std::string Scan(const std::vector<std::string_view>& pieces) {
  // One scanner for every scan (making one compiles its patterns); a final
  // call leaves it ready for the next text.
  static QLTP_tpxml* const x = [] {
    QLTP_tpxml* s = QLTP_tpxml_new();
    QLTP_tpxml_set_element_handler(s, Markup::Start, Markup::End);
    QLTP_tpxml_set_character_data_handler(s, Markup::Data);
    QLTP_tpxml_set_entity_handler(s, Markup::Entity);
    QLTP_tpxml_set_cdata_section_handler(s, Markup::CdataStart, Markup::CdataEnd);
    return s;
  }();
  Markup m;
  QLTP_tpxml_reset(x);
  QLTP_tpxml_set_userdata(x, &m);
  for (std::string_view p : pieces) Check(QLTP_tpxml_parse(x, p.data(), static_cast<int>(p.size()), 0) == 1, "a piece scans");
  Check(QLTP_tpxml_parse(x, "", 0, 1) == 1, "the final call scans");
  return m.out;
}

// The settings as key = value lines, in order.
std::string Settings(const config* c) {
  std::string s;
  const str2str* d = QLTP_config_dict(c);
  for (int k = 0; k < QLTP_str2str_nrkeys(d); ++k) s += std::string(QLTP_str2str_key(d, k)) + " = " + QLTP_str2str_val(d, k) + "\n";
  return s;
}

// The settings as a document: every occurrence of every section with the
// values its lookups give.
std::string Document(const config* c, const std::string& root) {
  const str2str* d = QLTP_config_dict(c);
  const int n = QLTP_str2str_nrkeys(d);
  std::string doc = "<" + root + ">";
  for (int k = 0; k < n; ++k) {
    const std::string counter = QLTP_str2str_key(d, k);
    if (counter.find('|') != counter.size() - 1) continue;
    const std::string section = counter.substr(0, counter.size() - 1);
    const int count = QLTP_config_lookup_n(c, section.data(), static_cast<int>(section.size()));
    for (int i = 0; i < count; ++i) {
      const std::string prefix = section + (i ? std::to_string(i) : "") + "|";
      doc += "<" + section;
      std::set<std::string> seen;
      for (int j = 0; j < n; ++j) {
        const std::string key = QLTP_str2str_key(d, j);
        if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string attribute = key.substr(prefix.size());
        if (!seen.insert(attribute).second) continue;
        doc += " " + attribute + "=" + Quoted(QLTP_config_lookup_idx(c, section.data(), -1, attribute.data(), -1, i));
      }
      doc += "/>";
    }
  }
  return doc + "</" + root + ">";
}

// Whether one section's name is another's followed by decimal digits.
bool SectionsShareKeys(const config* c) {
  const str2str* d = QLTP_config_dict(c);
  std::set<std::string> sections;
  for (int k = 0; k < QLTP_str2str_nrkeys(d); ++k) {
    const std::string counter = QLTP_str2str_key(d, k);
    if (counter.find('|') == counter.size() - 1) sections.insert(counter.substr(0, counter.size() - 1));
  }
  for (const std::string& name : sections) {
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (digits < name.size() && sections.count(name.substr(0, digits))) return true;
  }
  return false;
}

config* Load(const std::string& root, const std::string& text) {
  config* c = QLTP_config_new(root.c_str(), -1);
  Check(QLTP_config_load(c, text.data(), static_cast<int>(text.size())) == 1, "a configuration text loads");
  return c;
}

void CheckConfiguration(const std::string& root, const std::string& text, uint32_t seed) {
  static const std::string path = TempPath("config.xml");
  config* whole = Load(root, text);
  const std::string settings = Settings(whole);

  std::vector<std::string> lines;
  for (std::string_view p : Pieces(text, seed, 40)) lines.emplace_back(p);
  std::vector<const char*> pointers;
  for (const std::string& l : lines) pointers.push_back(l.c_str());
  pointers.push_back("");
  config* by_lines = QLTP_config_new(root.c_str(), -1);
  Check(QLTP_config_loads(by_lines, pointers.data()) == 1, "configuration lines load");
  Check(Settings(by_lines) == settings, "lines load the settings of the whole text", Settings(by_lines));
  WriteFile(path, text);
  config* from_file = QLTP_config_new(root.c_str(), -1);
  Check(QLTP_config_loadf(from_file, path.c_str()) == 1, "a configuration file loads");
  Check(Settings(from_file) == settings, "a file loads the settings of its text", Settings(from_file));

  // A further occurrence of E and an element named E1 share their keys
  // (E1|A): such settings cannot be told apart, so they make no document.
  const std::string doc = SectionsShareKeys(whole) ? std::string() : Document(whole, root);
  if (doc.empty()) {
    for (config* c : {whole, by_lines, from_file}) QLTP_config_delete(c);
    return;
  }
  config* again = Load(root, doc);
  const str2str* d = QLTP_config_dict(whole);
  const str2str* d2 = QLTP_config_dict(again);
  for (int k = 0; k < QLTP_str2str_nrkeys(d); ++k) {
    const char* key = QLTP_str2str_key(d, k);
    const char* v2 = QLTP_str2str_lookup(d2, key, -1);
    Check(v2 && std::string(v2) == QLTP_str2str_lookup(d, key, -1), "a written document keeps every setting", doc);
  }
  Check(QLTP_str2str_nrkeys(d2) <= QLTP_str2str_nrkeys(d), "a written document adds no setting", doc + "\n" + Settings(whole) + "---\n" + Settings(again));
  Check(Document(again, root) == doc, "a written document writes itself again", doc);
  for (config* c : {whole, by_lines, from_file, again}) QLTP_config_delete(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input in{data, size};
  const std::string text = in.Payload(2);

  const std::string markup = Scan({text});
  Check(ValidUtf8(markup), "the scanner reports valid UTF-8", markup);
  Check(Scan({markup}) == markup, "reported markup scans to itself", markup);
  Check(Scan(Pieces(text, in.Byte(0), 16)) == markup, "pieces report what the whole does", markup);

  // Configuration texts end at a NUL.
  CheckConfiguration(in.Byte(1) & 1 ? "dbconfig" : "tpconfig", text.substr(0, text.find('\0')), in.Byte(0));
  return 0;
}
