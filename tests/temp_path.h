// A path in the temporary directory that no other test process uses: CTest
// runs every test case as its own process, many at once.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace orvelle_test {

inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
}

}  // namespace orvelle_test
