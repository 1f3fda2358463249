// Every native test runs in its own temporary MSCAPI_HOME.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <stdlib.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
// On Windows the platform keeps its own state; there is no home to set.
class HomeTest : public ::testing::Test {};
#else
class HomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mscapi-gtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    setenv("MSCAPI_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("MSCAPI_HOME");
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }
  // Writes a registry file into the home's registry folder.
  void writeReg(const std::string &name, const std::string &text) {
    std::filesystem::create_directories(home_ + "/registry");
    std::ofstream(home_ + "/registry/" + name) << text;
  }
  // Replaces the whole registration with `text`.
  void replaceRegistry(const std::string &text) {
    std::filesystem::remove_all(home_ + "/registry");
    writeReg("10-test.reg", text);
  }
  std::string home_;
};
#endif
