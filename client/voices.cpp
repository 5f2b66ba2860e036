#include "client/voices.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/orvelle.h"
#include "client/guard.h"
#include "client/registry.h"
#include "client/render.h"

namespace {

// The XML library keeps process-wide state: it is set up once and never torn
// down while another thread may be parsing.
void InitXml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// The temporary event receiver of an enumeration: collects the text of XML
// replies. A reply's text ends at its NUL, or at the end of the frame when
// the sender left the NUL out.
int xml_command_callback(void* user_data, int type, void* data, long length) {
  if (type != PACKET_XML || user_data == nullptr || data == nullptr || length <= 0) return OV_SUCCESS;
  auto* reply = static_cast<std::string*>(user_data);
  const char* text = static_cast<const char*>(data);
  reply->append(text, strnlen(text, static_cast<std::size_t>(length)));
  return OV_SUCCESS;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return std::string();
  std::string copy(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return copy;
}

std::unique_ptr<NamedVoiceInfo> ReadVoiceInfo(xmlNode* node) {
  auto info = std::make_unique<NamedVoiceInfo>();
  info->voice_id = Attribute(node, "VOICE_ID");
  info->sex = Attribute(node, "SEX");
  info->language = Attribute(node, "LANGUAGE");
  info->language_id = Attribute(node, "LANGUAGE_ID");
  info->country = Attribute(node, "COUNTRY");
  info->country_id = Attribute(node, "COUNTRY_ID");
  info->region = Attribute(node, "REGION");
  info->accent = Attribute(node, "ACCENT");
  info->accent_id = Attribute(node, "ACCENT_ID");
  info->voice_uuid = Attribute(node, "VOICE_UUID");
  info->sample_rate = ParseVoiceInteger(Attribute(node, "SAMPLE_RATE").c_str());
  info->sample_bits = ParseVoiceInteger(Attribute(node, "SAMPLE_BITS").c_str());
  info->encoding = Attribute(node, "ENCODING");
  info->language_code_iso = Attribute(node, "LANGUAGE_CODE_ISO");
  info->language_code_microsoft = Attribute(node, "LANGUAGE_CODE_MICROSOFT");
  info->country_code_iso = Attribute(node, "COUNTRY_CODE_ISO");
  return info;
}

// Collects every `voice` element from node and its following siblings, a
// voice before the voices nested in it. The parser bounds the nesting depth.
void _push_back_voices(xmlNode* node, NameEnumerator& enumerator) {
  for (; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), "voice") == 0)
      enumerator.PushBack(Attribute(node, "name"), ReadVoiceInfo(node));
    _push_back_voices(node->children, enumerator);
  }
}

// The voice-switch query; the name is escaped so that any name the server
// lists makes well-formed markup.
std::string SelectQuery(const char* voice) {
  std::string query = "<voice name='";
  for (const char* p = voice; *p != '\0'; ++p) {
    switch (*p) {
      case '&': query += "&amp;"; break;
      case '<': query += "&lt;"; break;
      case '\'': query += "&apos;"; break;
      default: query += *p;
    }
  }
  return query + "' select='1'/>";
}

}  // namespace

// ---- NamedVoiceInfo and the enumerators -------------------------------------

const std::string* NamedVoiceInfo::StringValue(int key) const {
  switch (key) {
    case OV_VOICE_ID: return &voice_id;
    case OV_SEX: return &sex;
    case OV_LANGUAGE: return &language;
    case OV_LANGUAGE_ID: return &language_id;
    case OV_COUNTRY: return &country;
    case OV_COUNTRY_ID: return &country_id;
    case OV_REGION: return &region;
    case OV_ACCENT: return &accent;
    case OV_ACCENT_ID: return &accent_id;
    case OV_VOICE_UUID: return &voice_uuid;
    case OV_ENCODING: return &encoding;
    case OV_LANGUAGE_CODE_ISO: return &language_code_iso;
    case OV_LANGUAGE_CODE_MICROSOFT: return &language_code_microsoft;
    case OV_COUNTRY_CODE_ISO: return &country_code_iso;
    default: return nullptr;
  }
}

int32_t ParseVoiceInteger(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) return 0;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return 0;
  return static_cast<int32_t>(value);
}

void Enumerator::rewind() {
  std::lock_guard<std::mutex> guard(lock_);
  position_ = 0;
}

NameEnumerator::NameEnumerator(std::string_view voice_list) {
  if (voice_list.empty() || voice_list.size() > static_cast<std::size_t>(INT_MAX)) return;
  InitXml();
  // The reply comes from the network: no network access, no loading of
  // external DTDs (both off by default), and the library's own error
  // printing silenced.
  xmlDoc* document = xmlReadMemory(voice_list.data(), static_cast<int>(voice_list.size()), "noname.xml",
                                   nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (document == nullptr) return;
  struct FreeDoc {
    xmlDoc* doc;
    ~FreeDoc() { xmlFreeDoc(doc); }
  } free_doc{document};
  _push_back_voices(xmlDocGetRootElement(document), *this);
}

void NameEnumerator::PushBack(std::string name, std::unique_ptr<NamedVoiceInfo> info) {
  std::lock_guard<std::mutex> guard(lock_);
  names_.push_back(std::move(name));
  infos_.push_back(std::move(info));
}

int32_t NameEnumerator::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int32_t>(names_.size());
}

const char* NameEnumerator::Next() {
  std::lock_guard<std::mutex> guard(lock_);
  if (position_ < 0 || static_cast<std::size_t>(position_) >= names_.size()) return nullptr;
  ++position_;
  return names_[static_cast<std::size_t>(position_ - 1)].c_str();
}

const NamedVoiceInfo* NameEnumerator::Current() const {
  if (position_ <= 0 || static_cast<std::size_t>(position_) > infos_.size()) return nullptr;
  return infos_[static_cast<std::size_t>(position_ - 1)].get();
}

const char* NameEnumerator::StringValue(int key) const {
  std::lock_guard<std::mutex> guard(lock_);
  const NamedVoiceInfo* info = Current();
  if (info == nullptr) return nullptr;
  const std::string* value = info->StringValue(key);
  return value == nullptr ? nullptr : value->c_str();
}

int NameEnumerator::IntegerValue(int key) const {
  std::lock_guard<std::mutex> guard(lock_);
  const NamedVoiceInfo* info = Current();
  if (info == nullptr) return OV_NO_VOICE;
  if (key == OV_SAMPLE_RATE) return info->sample_rate;
  if (key == OV_SAMPLE_BITS) return info->sample_bits;
  return OV_BAD_KEY;
}

// ---- Exported functions -----------------------------------------------------

extern "C" {

ENUMERATOR_HANDLE ovEnumerateConnectionVoices(CONNECTION_HANDLE handle) {
  return orvelle::Guarded(static_cast<ENUMERATOR_HANDLE>(OV_ERROR), [&]() -> ENUMERATOR_HANDLE {
    if (!connections().Find(handle)) return OV_BAD_HANDLE;
    // The replies go to a private receiver installed by the query under the
    // connection lock; the application's callback and user data are left
    // alone. A failed query simply leaves the reply empty.
    std::string reply;
    QueryServer(handle, voice_list_query, xml_command_callback, &reply);
    return enumerators().Register(std::make_shared<NameEnumerator>(reply));
  });
}

int ovNumVoices(ENUMERATOR_HANDLE enumerator) {
  return orvelle::Guarded(static_cast<int>(OV_ERROR), [&] {
    std::shared_ptr<NameEnumerator> e = enumerators().Find(enumerator);
    return e ? static_cast<int>(e->Count()) : static_cast<int>(OV_BAD_HANDLE);
  });
}

const char* ovNextVoice(ENUMERATOR_HANDLE enumerator) {
  return orvelle::Guarded(static_cast<const char*>(nullptr), [&]() -> const char* {
    std::shared_ptr<NameEnumerator> e = enumerators().Find(enumerator);
    return e ? e->Next() : nullptr;
  });
}

int ovRewindEnumerator(ENUMERATOR_HANDLE enumerator) {
  return orvelle::Guarded(static_cast<int>(OV_ERROR), [&] {
    std::shared_ptr<NameEnumerator> e = enumerators().Find(enumerator);
    if (!e) return static_cast<int>(OV_BAD_HANDLE);
    e->rewind();
    return static_cast<int>(OV_SUCCESS);
  });
}

const char* ovGetVoiceStringValue(ENUMERATOR_HANDLE enumerator, int key) {
  return orvelle::Guarded(static_cast<const char*>(nullptr), [&]() -> const char* {
    std::shared_ptr<NameEnumerator> e = enumerators().Find(enumerator);
    return e ? e->StringValue(key) : nullptr;
  });
}

int ovGetVoiceIntegerValue(ENUMERATOR_HANDLE enumerator, int key) {
  return orvelle::Guarded(static_cast<int>(OV_ERROR), [&] {
    std::shared_ptr<NameEnumerator> e = enumerators().Find(enumerator);
    return e ? e->IntegerValue(key) : static_cast<int>(OV_BAD_HANDLE);
  });
}

int ovCloseEnumerator(ENUMERATOR_HANDLE enumerator) {
  return orvelle::Guarded(static_cast<int>(OV_ERROR), [&] {
    // The enumerator goes when the last user lets it go, outside the
    // registry lock.
    std::shared_ptr<NameEnumerator> e = enumerators().Unregister(enumerator);
    e.reset();
    return static_cast<int>(OV_SUCCESS);
  });
}

int ovSetVoice(CONNECTION_HANDLE handle, const char* voice) {
  return orvelle::Guarded(static_cast<int>(OV_ERROR), [&] {
    ENUMERATOR_HANDLE e = voice == nullptr ? OV_ERROR : ovEnumerateConnectionVoices(handle);
    if (e == OV_ERROR || e == OV_BAD_HANDLE) {
      orvelle::PrintLine("WARNING: failed to set voice. Using default instead\n");
      return static_cast<int>(OV_ERROR);
    }
    while (const char* name = ovNextVoice(e)) {
      if (std::strcmp(name, voice) != 0) continue;
      int code = ovQueryServer(handle, SelectQuery(voice).c_str());
      if (code != OV_SUCCESS) orvelle::PrintLine("WARNING: Tervane query failed, the voice has not been switched\n");
      ovCloseEnumerator(e);
      return static_cast<int>(code == OV_SUCCESS ? OV_SUCCESS : OV_ERROR);
    }
    orvelle::PrintLine("WARNING: voice was not found. Using default instead\n");
    if (ovCloseEnumerator(e) != OV_SUCCESS) orvelle::PrintLine("WARNING: failed to close voice enumerator\n");
    return static_cast<int>(OV_ERROR);
  });
}

}  // extern "C"
