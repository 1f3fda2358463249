// Every native test runs in its own temporary MSCAPI_HOME, with the default
// registration, except that the machine's trust anchors in "ROOT" come from
// HOME/trust-anchors (a folder not made: none) instead of the machine's, as
// in tests/tokens/token-home.sh.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include "common/home.h"
#include "registry/reg_tree.h"
#endif

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
    // As the emulation makes them (a private folder, private files), and
    // without using the emulation in this process, whose first use of the
    // home is what some tests watch.
    const std::string reg = home_ + "/registry";
    ASSERT_TRUE(emu::ensureDir(reg));
    ASSERT_TRUE(emu::writeFileAtomic(reg + "/00-default.reg", emu::registry::kDefaultRegistration));
    ASSERT_TRUE(emu::writeFileAtomic(reg + "/50-anchors.reg",
                                     anchorsRegistration(home_ + "/trust-anchors")));
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
  // A registry file that has the machine's trust anchors in "ROOT" come
  // from the p11-kit trust module's folder `dir`.
  static std::string anchorsRegistration(const std::string &dir) {
    return "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust "
           "Anchors]\n\"Init Args\"=\"paths=" +
           dir + "\"\n";
  }
  // Replaces the whole registration with `text`.
  void replaceRegistry(const std::string &text) {
    std::filesystem::remove_all(home_ + "/registry");
    writeReg("10-test.reg", text);
  }
  std::string home_;
};

// Runs the current test once more, in a new process of this program with
// MSCAPI_TRACE=<dir>/rerun.trace, and returns what that run traced: the
// trace is set up once per process, so a test reads its own trace only
// from a run that started with it. `status` is that run's exit status (0
// when it passed). The test tells the run it is by emu::trace::enabled().
inline std::string rerunTraced(const std::string &dir, int &status) {
  extern char **environ;
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string trace = dir + "/rerun.trace";
  std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::string self = "/proc/self/exe";
  std::vector<std::string> env = {"MSCAPI_TRACE=" + trace};
  for (char **e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "MSCAPI_TRACE=", 13) != 0) env.emplace_back(*e);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  char *argv[] = {&self[0], &filter[0], nullptr};
  pid_t pid = 0;
  status = -1;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return "";
  int raw = 0;
  if (waitpid(pid, &raw, 0) != pid) return "";
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  std::ifstream in(trace);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
#endif
