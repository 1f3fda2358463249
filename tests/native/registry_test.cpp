#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/reg_tree.h"
#include "test_home.h"
#include "winapi/advapi32.h"

using emu::registry::applyRegFile;
using emu::registry::Key;
using emu::registry::Tree;

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

std::string value(const Key *k, const std::string &name) {
  if (k == nullptr) return "<no key>";
  const auto it = k->values.find(emu::registry::lower(name));
  if (it == k->values.end()) return "<absent>";
  return std::string(it->second.data.begin(), it->second.data.end());
}

struct ParseCase {
  const char *what;
  const char *line;
  const char *name;
  const char *expected;  // stored bytes (REG_SZ includes its terminator), or "<absent>"
};

class RegParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RegParse, ValueLine) {
  const ParseCase &c = GetParam();
  Tree t;
  applyRegFile(
      t, std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n" + c.line + "\n\"After\"=\"ok\"\n");
  const Key *k = t.root.find("HKEY_LOCAL_MACHINE\\K");
  std::string expected = c.expected;
  if (expected != "<absent>") expected.push_back('\0');  // REG_SZ keeps its terminator
  EXPECT_EQ(value(k, c.name), expected) << c.what;
  // A malformed line never disturbs what follows it.
  EXPECT_EQ(value(k, "After"), std::string("ok\0", 3)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegParse,
    ::testing::Values(
        ParseCase{"plain text", R"("Name"="Microsoft Strong")", "Name", "Microsoft Strong"},
        ParseCase{"escaped backslash", R"("P"="C:\\Windows\\rsaenh.dll")", "P",
                  "C:\\Windows\\rsaenh.dll"},
        ParseCase{"escaped quote", R"("Q"="say \"hi\"")", "Q", "say \"hi\""},
        ParseCase{"empty text", R"("E"="")", "E", ""},
        ParseCase{"unterminated quote", R"("Bad"="open)", "Bad", "<absent>"},
        ParseCase{"unknown escape", R"("Bad"="a\qb")", "Bad", "<absent>"},
        ParseCase{"trailing junk", R"("Bad"="a" x)", "Bad", "<absent>"},
        ParseCase{"no equals", R"("Bad" "a")", "Bad", "<absent>"},
        ParseCase{"dword too long", R"("Bad"=dword:123456789)", "Bad", "<absent>"},
        ParseCase{"dword not hex", R"("Bad"=dword:12g4)", "Bad", "<absent>"},
        ParseCase{"hex values unsupported", R"("Bad"=hex:01,02)", "Bad", "<absent>"},
        ParseCase{"name case kept, lookup ignores case", R"("MiXeD"="v")", "mixed", "v"}),
    [](const auto &info) {
      std::string n = info.param.what;
      for (char &ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(RegFile, DwordIsLittleEndianAndSectionsNest) {
  Tree t;
  applyRegFile(t, std::string(kHeader) +
                      "[HKEY_LOCAL_MACHINE\\A\\B]\n\"Type\"=dword:0000000c\n"
                      "; a comment\n[HKEY_LOCAL_MACHINE\\A]\n@=\"default\"\n");
  const Key *b = t.root.find("hkey_local_machine\\a\\b");
  ASSERT_NE(b, nullptr);
  const auto &d = b->values.at("type");
  EXPECT_EQ(d.type, 4u);
  EXPECT_EQ(d.data, (std::vector<uint8_t>{0x0c, 0, 0, 0}));
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\A"), ""), std::string("default\0", 8));
}

TEST(RegFile, DeletionsAndBadInput) {
  Tree t;
  applyRegFile(
      t, std::string(kHeader) +
             "[HKEY_LOCAL_MACHINE\\A\\B]\n\"X\"=\"1\"\n\"Y\"=\"2\"\n[HKEY_LOCAL_MACHINE\\A\\C]\n");
  applyRegFile(t, std::string(kHeader) +
                      "[HKEY_LOCAL_MACHINE\\A\\B]\n\"X\"=-\n[-HKEY_LOCAL_MACHINE\\A\\C]\n");
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\A\\B"), "X"), "<absent>");
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\A\\B"), "Y"), std::string("2\0", 2));
  EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\A\\C"), nullptr);
  // Without the version line nothing is applied; broken sections define
  // nothing and values after them go nowhere.
  applyRegFile(t, "[HKEY_LOCAL_MACHINE\\Z]\n\"V\"=\"1\"\n");
  applyRegFile(t, std::string(kHeader) +
                      "[HKEY_LOCAL_MACHINE\\\\Y]\n\"V\"=\"1\"\n[unterminated\n\"W\"=\"1\"\n");
  EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\Z"), nullptr);
  EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\Y"), nullptr);
  // Arbitrary bytes never crash the parser.
  std::string noise(kHeader);
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<char>((i * 7919) % 251));
  applyRegFile(t, noise);
}

// ---- The registry API over files in the home ------------------------------

class RegistryApi : public HomeTest {};

TEST_F(RegistryApi, DefaultRegistrationIsWrittenAndRead) {
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001",
                          0, KEY_QUERY_VALUE, &k),
            ERROR_SUCCESS);
  char name[500];
  DWORD size = sizeof name, type = 0;
  ASSERT_EQ(RegQueryValueExA(k, "Name", nullptr, &type, reinterpret_cast<BYTE *>(name), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(name, "Microsoft Strong Cryptographic Provider");
  EXPECT_EQ(size, sizeof("Microsoft Strong Cryptographic Provider"));  // terminator included
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(home_ + "/registry/00-default.reg"));
}

TEST_F(RegistryApi, Results) {
  replaceRegistry(std::string(kHeader) +
                  "[HKEY_LOCAL_MACHINE\\Soft\\P]\n\"Type\"=dword:00000001\n\"Text\"=\"abcdef\"\n");
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Soft\\Missing", 0, KEY_QUERY_VALUE, &k),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFT\\p", 0, KEY_QUERY_VALUE, &k), ERROR_SUCCESS);
  DWORD type = 0, size = 4, dword = 0;
  EXPECT_EQ(RegQueryValueExA(k, "Type", nullptr, &type, reinterpret_cast<BYTE *>(&dword), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(dword, 1u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(RegQueryValueExA(k, "Nope", nullptr, nullptr, reinterpret_cast<BYTE *>(&dword), &size),
            ERROR_FILE_NOT_FOUND);
  char small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(k, "Text", nullptr, nullptr, reinterpret_cast<BYTE *>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);  // a closed handle is refused
}

TEST_F(RegistryApi, DeniedKeyEnumeratesButDoesNotOpen) {
  replaceRegistry(std::string(kHeader) +
                  "[HKEY_LOCAL_MACHINE\\P\\Locked]\n\"EmulationAccess\"=\"Denied\"\n");
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P\\Locked", 0, KEY_QUERY_VALUE, &k),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(k, nullptr);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", 0, KEY_ENUMERATE_SUB_KEYS, &k), ERROR_SUCCESS);
  char name[500];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Locked");
  RegCloseKey(k);
}

TEST_F(RegistryApi, EnumeratesCaseInsensitivelyInOrder) {
  replaceRegistry(std::string(kHeader) +
                  "[HKEY_LOCAL_MACHINE\\P\\beta]\n[HKEY_LOCAL_MACHINE\\P\\Alpha]\n"
                  "[HKEY_LOCAL_MACHINE\\P\\Gamma]\n[HKEY_LOCAL_MACHINE\\P\\aardvark]\n");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", 0, KEY_ENUMERATE_SUB_KEYS, &k), ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[500];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    FILETIME ft;
    const LONG rc = RegEnumKeyExA(k, i, name, &size, nullptr, nullptr, nullptr, &ft);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(size, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"aardvark", "Alpha", "beta", "Gamma"}));
  DWORD tiny = 3;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &tiny, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(k);
}

TEST_F(RegistryApi, LaterFilesOverrideAndChangesAreSeen) {
  replaceRegistry(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000001\n");
  auto read = [] {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return -1;
    DWORD v = 0, size = 4;
    const LONG rc = RegQueryValueExA(k, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size);
    RegCloseKey(k);
    return rc == ERROR_SUCCESS ? static_cast<int>(v) : -2;
  };
  EXPECT_EQ(read(), 1);
  writeReg("20-override.reg",
           std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000002\n");
  EXPECT_EQ(read(), 2);
  writeReg("30-remove.reg", std::string(kHeader) + "[-HKEY_LOCAL_MACHINE\\K]\n");
  EXPECT_EQ(read(), -1);
}

}  // namespace
