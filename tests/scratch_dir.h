// A folder of the running test's own for the files it writes, removed with
// everything in it when the object goes: at the end of the test, and also
// when a failed assertion ends the test early. It is made afresh in the
// temporary directory (TEST_TMPDIR, else TMPDIR, else /tmp), so the test
// programs that CTest runs side by side, one per test case, never share one;
// its name tells which test made it.
//
// A child process or thread that writes into the folder must have ended
// before the object goes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

namespace orvelle_test {

class ScratchDir {
 public:
  ScratchDir() {
    std::string name = "orvelle";
    const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
    if (const ::testing::TestInfo* test = unit->current_test_info())
      name = name + "_" + test->test_suite_name() + "_" + test->name();
    else if (const ::testing::TestSuite* suite = unit->current_test_suite())
      name = name + "_" + suite->name();
    if (name.size() > 120) name.resize(120);
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    std::string pattern = ::testing::TempDir() + name + "_XXXXXX";
    made_ = ::mkdtemp(pattern.data()) != nullptr;
    if (!made_) ADD_FAILURE() << "cannot make the folder " << pattern;
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (made_) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder, and the path of a file called name in it.
  const std::filesystem::path& path() const { return path_; }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
  bool made_ = false;
};

}  // namespace orvelle_test
