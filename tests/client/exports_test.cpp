// The shared library's dynamic symbol table holds the C interface and
// nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// The exported functions, from the one list the build's linker scripts are
// made of.
std::set<std::string> Interface() {
  std::set<std::string> names;
  std::istringstream list(ORVELLE_EXPORTED_FUNCTIONS);
  for (std::string name; std::getline(list, name, ',');) names.insert(name);
  return names;
}

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
  const std::set<std::string> interface = Interface();
  EXPECT_EQ(interface.size(), 28u);
  std::string error;
  std::set<std::string> names = DefinedSymbols(&error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_EQ(names, interface);
}
