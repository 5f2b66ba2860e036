// Voice enumeration: a snapshot of the server's voice list.
//
// The server answers the query <voice name="all"/> with an XML document;
// every `voice` element in it, at any depth and in document order, becomes
// one voice: its "name" attribute and a NamedVoiceInfo of 16 attributes.
// A NameEnumerator is registered under an ENUMERATOR_HANDLE and walked with
// ovNextVoice; the voice last returned is the current voice. Strings it
// hands out stay valid until the enumerator is closed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The query that asks the server for its voice list.
inline constexpr const char* voice_list_query = "<voice name=\"all\"/>";

// The attributes of one voice; an attribute the element lacks is "" (or 0).
struct NamedVoiceInfo {
  std::string voice_id, sex, language, language_id, country, country_id, region, accent, accent_id,
      voice_uuid;
  int32_t sample_rate = 0;
  int32_t sample_bits = 0;
  std::string encoding, language_code_iso, language_code_microsoft, country_code_iso;

  // The string attribute of a VOICE_KEY (3 to 16), or NULL for any other key.
  const std::string* StringValue(int key) const;
};

// Position over a list: the number of items handed out so far (0 after
// creation and after rewind).
class Enumerator {
 public:
  virtual ~Enumerator() = default;
  virtual void rewind();

 protected:
  int32_t position_ = 0;
  mutable std::mutex lock_;
};

class NameEnumerator : public Enumerator {
 public:
  // Building: from the bytes of a voice-list reply (an unparsable or empty
  // reply gives no voices), or empty.
  NameEnumerator() = default;
  explicit NameEnumerator(std::string_view voice_list);
  void PushBack(std::string name, std::unique_ptr<NamedVoiceInfo> info);

  // Walking: Count is the number of voices; Next returns the next name and
  // makes it the current voice, or NULL past the end (the current voice then
  // stays the last one).
  int32_t Count() const;
  const char* Next();

  // The current voice's attributes: NULL, or OV_NO_VOICE / OV_BAD_KEY, as
  // ovGetVoiceStringValue and ovGetVoiceIntegerValue answer.
  const char* StringValue(int key) const;
  int IntegerValue(int key) const;

 private:
  const NamedVoiceInfo* Current() const;

  std::vector<std::string> names_;
  std::vector<std::unique_ptr<NamedVoiceInfo>> infos_;
};

// Decimal text as the C library's atoi reads it (leading white space,
// optional sign, digits, anything else ends the number), but a value outside
// 32 bits gives 0 instead of overflowing.
int32_t ParseVoiceInteger(const char* text);
