// The shared library's dynamic symbol table holds the C interface and
// nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kInterface = {
    "ovCreateConnection",     "ovOpenConnection",       "ovCloseConnection",
    "ovDestroyConnection",    "ovSetCallBack",          "ovSetPascalCallBack",
    "ovSetUserData",          "ovRenderSpeech",         "ovRenderSpeechXML",
    "ovPushSpeechStream",     "ovPushSpeechStreamXML",  "ovFlushSpeechStream",
    "ovFlushSpeechStreamXML", "ovRenderSpeechAsync",    "ovRenderSpeechXMLAsync",
    "ovCancelRequest",        "ovQueryServer",          "ovSetVoiceFast",
    "ovSetVoice",             "ovEnumerateConnectionVoices", "ovNumVoices",
    "ovNextVoice",            "ovRewindEnumerator",     "ovGetVoiceStringValue",
    "ovGetVoiceIntegerValue", "ovCloseEnumerator",      "ovSampleToUlaw",
    "ovSampleToAlaw"};

const std::set<std::string> kVoiceFunctions = {
    "ovSetVoice",         "ovEnumerateConnectionVoices", "ovNumVoices",           "ovNextVoice",
    "ovRewindEnumerator", "ovGetVoiceStringValue",       "ovGetVoiceIntegerValue", "ovCloseEnumerator"};

// The voice functions live in their own module; once it is in the tree the
// whole interface must be there.
#if __has_include("client/voices.h")
constexpr bool kVoicesBuilt = true;
#else
constexpr bool kVoicesBuilt = false;
#endif

// Defined dynamic symbols: "name" for each line "<address> <kind> <name>".
std::set<std::string> DefinedSymbols(std::string* error) {
  std::string command = std::string("'") + ORVELLE_NM + "' -D --defined-only '" + ORVELLE_SHARED_LIBRARY + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::set<std::string> names;
  if (!pipe) {
    *error = "cannot run " + command;
    return names;
  }
  char line[1024];
  while (fgets(line, sizeof line, pipe)) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) names.insert(name);
  }
  if (pclose(pipe) != 0) *error = "nm failed: " + command;
  return names;
}

}  // namespace

TEST(ExportsTest, SharedLibraryExportsExactlyTheInterface) {
  std::string error;
  std::set<std::string> names = DefinedSymbols(&error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(kInterface.size(), 28u);
  for (const std::string& name : names) EXPECT_TRUE(kInterface.count(name)) << "leaked symbol: " << name;
  for (const std::string& name : kInterface) {
    if (kVoicesBuilt || !kVoiceFunctions.count(name)) {
      EXPECT_TRUE(names.count(name)) << "missing: " << name;
    }
  }
}
