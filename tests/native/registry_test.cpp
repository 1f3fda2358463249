#include "registry/registry.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/ascii.h"
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
  const auto it = k->values.find(emu::ascii::lower(name));
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

// How a path names a key: parts compared without ASCII case (other bytes
// exactly), empty parts skipped, a missing part anywhere not found; from
// HKEY_LOCAL_MACHINE and relative to an open key alike.
TEST_F(RegistryApi, PathsNameTheirKeyWhateverTheCaseAndEmptyParts) {
  std::string text = std::string(kHeader) +
                     "[HKEY_LOCAL_MACHINE\\Soft\\P\\Q]\n\"Id\"=\"q\"\n"
                     "[HKEY_LOCAL_MACHINE\\Soft\\P]\n\"Id\"=\"p\"\n"
                     "[HKEY_LOCAL_MACHINE\\Soft\\\xC3\x84rger]\n\"Id\"=\"ae\"\n";
  for (int i = 0; i < 200; ++i)  // siblings enough for a deep index
    text += "[HKEY_LOCAL_MACHINE\\Soft\\Sibling " + std::to_string(i) + "]\n";
  replaceRegistry(text);
  const auto idOf = [](HKEY base, const char *path) -> std::string {
    HKEY k = nullptr;
    if (RegOpenKeyExA(base, path, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return "-";
    char id[16] = {};
    DWORD size = sizeof id;
    const LONG r = RegQueryValueExA(k, "Id", nullptr, nullptr, reinterpret_cast<BYTE *>(id), &size);
    RegCloseKey(k);
    return r == ERROR_SUCCESS ? id : "(none)";
  };
  HKEY soft = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "sOFT", 0, KEY_QUERY_VALUE, &soft), ERROR_SUCCESS);
  const struct {
    HKEY base;
    const char *path;
    const char *id;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, "Soft\\P", "p"},
      {HKEY_LOCAL_MACHINE, "SOFT\\p\\q", "q"},
      {HKEY_LOCAL_MACHINE, "Soft\\\\P\\\\Q\\", "q"},
      {HKEY_LOCAL_MACHINE, "Soft\\P\\", "p"},
      {HKEY_LOCAL_MACHINE, "Soft\\Sibling 199", "(none)"},
      {HKEY_LOCAL_MACHINE, "Soft\\\xC3\x84rger", "ae"},
      {HKEY_LOCAL_MACHINE, "Soft\\\xC3\xA4rger", "-"},  // not an ASCII letter: exact
      {HKEY_LOCAL_MACHINE, "Soft\\P\\Missing", "-"},
      {HKEY_LOCAL_MACHINE, "Soft\\Missing\\Q", "-"},
      {HKEY_LOCAL_MACHINE, "Soft\\PQ", "-"},
      {HKEY_LOCAL_MACHINE, "Soft\\Sibling 200", "-"},
      {soft, "p", "p"},
      {soft, "P\\Q", "q"},
      {soft, "P\\\\q\\", "q"},
      {soft, "Q", "-"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(idOf(c.base, c.path), c.id) << (c.base == soft ? "Soft\\ + " : "") << c.path;
  RegCloseKey(soft);
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

// ---- Depth: Windows' own limit of 512 levels, and no recursion on it ------

namespace {

// "HKEY_LOCAL_MACHINE\d\d...": a key path of `parts` parts in all.
std::string deepPath(size_t parts) {
  std::string p = "HKEY_LOCAL_MACHINE";
  for (size_t i = 1; i < parts; ++i) p += "\\d";
  return p;
}

// A tree far deeper than any file may make: destroying it, whole or a
// subtree at a time, must not recurse once per level.
TEST(RegTree, DeepTreesAreDestroyedWithoutRecursion) {
  constexpr int kLevels = 300000;
  const auto build = [](Key &top) {
    Key *k = &top;
    for (int i = 0; i < kLevels; ++i) k = &k->childOrCreate("Level");
    k->values["v"].name = "V";
    return k;
  };
  auto tree = std::make_unique<Tree>();
  Key *bottom = build(tree->root.childOrCreate("A"));
  std::string path = "a";
  for (int i = 0; i < kLevels; ++i) path += "\\level";
  EXPECT_EQ(tree->root.find(path), bottom);
  tree->root.subkeys.erase("a");  // as a [-...] section removes a subtree
  EXPECT_EQ(tree->root.child("A"), nullptr);
  build(tree->root.childOrCreate("B"));
  tree.reset();  // the whole tree
}

TEST(RegFile, FiftyThousandLevelsAreRefusedAndTheRestIsRead) {
  const std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Before]\n\"B\"=\"1\"\n[" +
                           deepPath(50000) + "]\n\"Deep\"=\"x\"\n[HKEY_LOCAL_MACHINE\\Shallow]\n" +
                           "\"V\"=\"2\"\n";
  ASSERT_GT(text.size(), 100000u);
  {
    Tree t;
    applyRegFile(t, text);
    EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\Shallow"), "V"), std::string("2\0", 2));
    EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\Before"), "B"), std::string("1\0", 2));
    EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\Before"), "Deep"), "<absent>");
    EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\d"), nullptr) << "no part of it is created";
  }  // and the tree goes away
}

struct DepthCase {
  size_t parts;  // the section's path, HKEY_LOCAL_MACHINE included
  bool accepted;
};

void PrintTo(const DepthCase &c, std::ostream *os) {
  *os << c.parts << " parts";
}

class RegDepth : public ::testing::TestWithParam<DepthCase> {};

TEST_P(RegDepth, SectionsDeeperThan512LevelsAreIgnored) {
  const DepthCase &c = GetParam();
  Tree t;
  applyRegFile(t, std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Before]\n\"B\"=\"1\"\n[" +
                      deepPath(c.parts) + "]\n\"V\"=\"in\"\n[HKEY_LOCAL_MACHINE\\After]\n" +
                      "\"A\"=\"2\"\n");
  const Key *k = t.root.find(deepPath(c.parts));
  if (c.accepted) {
    EXPECT_EQ(value(k, "V"), std::string("in\0", 3));
  } else {
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\d"), nullptr);
  }
  // A refused section's values land nowhere, and the next section is read.
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\Before"), "V"), "<absent>");
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\After"), "V"), "<absent>");
  EXPECT_EQ(value(t.root.find("HKEY_LOCAL_MACHINE\\After"), "A"), std::string("2\0", 2));
  // A removal follows the same limit: within it the key goes; beyond it the
  // section is ignored, even where such a key was made by other means.
  if (!c.accepted) {
    Key *m = &t.root.childOrCreate("HKEY_LOCAL_MACHINE");
    for (size_t i = 1; i < c.parts; ++i) m = &m->childOrCreate("d");
  }
  ASSERT_NE(t.root.find(deepPath(c.parts)), nullptr);
  applyRegFile(t, std::string(kHeader) + "[-" + deepPath(c.parts) + "]\n");
  EXPECT_EQ(t.root.find(deepPath(c.parts)) != nullptr, !c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Parts, RegDepth,
                         ::testing::Values(DepthCase{2, true}, DepthCase{511, true},
                                           DepthCase{512, true}, DepthCase{513, false},
                                           DepthCase{2000, false}),
                         [](const auto &info) { return std::to_string(info.param.parts); });

class RegistryDepth : public HomeTest {};

TEST_F(RegistryDepth, TheDeepestKeyOpensThroughTheApi) {
  replaceRegistry(std::string(kHeader) + "[" + deepPath(512) + "]\n\"V\"=dword:00000007\n[" +
                  deepPath(513) + "]\n\"W\"=dword:00000008\n");
  const std::string below = deepPath(512).substr(sizeof "HKEY_LOCAL_MACHINE");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, below.c_str(), 0,
                          KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &k),
            ERROR_SUCCESS);
  DWORD v = 0, size = sizeof v;
  EXPECT_EQ(RegQueryValueExA(k, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(RegQueryValueExA(k, "W", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size),
            ERROR_FILE_NOT_FOUND);
  char name[500];
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS)
      << "the 513th level does not exist";
  RegCloseKey(k);
}

}  // namespace

// ---- UTF-16LE files, as regedit exports them ------------------------------

namespace {

// The UTF-8 text in UTF-16LE with its byte-order mark, converted by iconv.
// The private-use character U+E000 stands for a lone high surrogate and
// U+E001 for a lone low one, which no converter would write.
std::string utf16le(const std::string &utf8) {
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(utf8.size() * 4 + 2, '\0');
  char *in = const_cast<char *>(utf8.data());
  size_t inLeft = utf8.size();
  char *o = &out[2];
  size_t outLeft = out.size() - 2;
  EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  out[0] = '\xFF';
  out[1] = '\xFE';
  for (size_t i = 2; i + 1 < out.size(); i += 2) {
    if (out[i + 1] != '\xE0' || (out[i] != '\x00' && out[i] != '\x01')) continue;
    out[i + 1] = out[i] == '\x00' ? '\xD8' : '\xDC';
    out[i] = '\x3D';
  }
  return out;
}

std::string crlf(const std::string &text) {
  std::string r;
  for (char c : text) {
    if (c == '\n') r.push_back('\r');
    r.push_back(c);
  }
  return r;
}

const char kHighAlone[] = "\xEE\x80\x80";  // U+E000, written as U+D83D alone
const char kLowAlone[] = "\xEE\x80\x81";   // U+E001, written as U+DC3D alone

struct Utf16Case {
  const char *what;
  std::string line;
  const char *name;
  std::string expected;  // UTF-8 text stored, or "<absent>"
  bool afterLands;       // whether the next value line still reaches the key
};

void PrintTo(const Utf16Case &c, std::ostream *os) {
  *os << c.what;
}

class RegUtf16 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(RegUtf16, Line) {
  const Utf16Case &c = GetParam();
  Tree t;
  applyRegFile(t, utf16le(crlf(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n" + c.line +
                               "\n\"After\"=\"ok\"\n")));
  const Key *k = t.root.find("HKEY_LOCAL_MACHINE\\K");
  std::string expected = c.expected;
  if (expected != "<absent>") expected.push_back('\0');
  EXPECT_EQ(value(k, c.name), expected) << c.what;
  EXPECT_EQ(value(k, "After"), c.afterLands ? std::string("ok\0", 3) : "<absent>") << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegUtf16,
    ::testing::Values(Utf16Case{"ascii", R"("Name"="plain")", "Name", "plain", true},
                      Utf16Case{"two and three byte characters",
                                "\"N\"=\"Caf\xC3\xA9 \xE2\x82\xAC\"", "N",
                                "Caf\xC3\xA9 \xE2\x82\xAC", true},
                      Utf16Case{"surrogate pair", "\"Key\xF0\x9F\x94\x91\"=\"\xF0\x9F\x94\x91\"",
                                "Key\xF0\x9F\x94\x91", "\xF0\x9F\x94\x91", true},
                      Utf16Case{"lone high surrogate",
                                std::string("\"Bad\"=\"a") + kHighAlone + "b\"", "Bad", "<absent>",
                                true},
                      Utf16Case{"lone low surrogate", std::string("\"Bad\"=\"a") + kLowAlone + "\"",
                                "Bad", "<absent>", true},
                      Utf16Case{"high surrogate at the line end",
                                std::string("\"Bad\"=\"a\"") + kHighAlone, "Bad", "<absent>", true},
                      Utf16Case{"lone surrogate in a section line",
                                std::string("[HKEY_LOCAL_MACHINE\\K") + kHighAlone + "]", "After",
                                "<absent>", false}),
    [](const auto &info) {
      std::string n = info.param.what;
      for (char &ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(RegFile, Utf16WithoutTheVersionLineIsNotApplied) {
  Tree t;
  applyRegFile(t, utf16le("[HKEY_LOCAL_MACHINE\\Z]\r\n\"V\"=\"1\"\r\n"));
  EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\Z"), nullptr);
  // The same text without the byte-order mark is not UTF-16 at all.
  applyRegFile(t, utf16le(crlf(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Y]\n")).substr(2));
  EXPECT_EQ(t.root.find("HKEY_LOCAL_MACHINE\\Y"), nullptr);
}

class RegistryUtf16 : public HomeTest {};

TEST_F(RegistryUtf16, ExportedFileIsReadThroughTheApi) {
  const std::string provider = "Fournisseur s\xC3\xBBr \xE2\x82\xAC \xF0\x9F\x94\x91";
  const std::string providers = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
  const std::string label = "Schl\xC3\xBCssel";
  replaceRegistry(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + providers + "\\Plain]\n" +
                  "\"Type\"=dword:00000001\n");
  writeReg("20-exported.reg",
           utf16le(crlf(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" + providers + "\\" +
                        provider + "]\n\"Image Path\"=\"rsaenh.dll\"\n\"Type\"=dword:00000018\n" +
                        "\"Label\"=\"" + label + "\"\n")));

  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (providers + "\\" + provider).c_str(), 0,
                          KEY_QUERY_VALUE, &k),
            ERROR_SUCCESS);
  DWORD type = 0, dword = 0, size = sizeof dword;
  EXPECT_EQ(RegQueryValueExA(k, "Type", nullptr, &type, reinterpret_cast<BYTE *>(&dword), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(dword, 24u) << "the CR before the line end is not part of the value";
  char text[500];
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(k, "Label", nullptr, &type, reinterpret_cast<BYTE *>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(text, size), label + '\0');
  size = sizeof text;
  ASSERT_EQ(
      RegQueryValueExA(k, "Image Path", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size),
      ERROR_SUCCESS);
  EXPECT_STREQ(text, "rsaenh.dll");
  RegCloseKey(k);

  // Both files' providers enumerate, the UTF-16 one under its UTF-8 name.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, providers.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &k),
            ERROR_SUCCESS);
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    size = sizeof text;
    if (RegEnumKeyExA(k, i, text, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(text, size);
  }
  RegCloseKey(k);
  EXPECT_EQ(names, (std::vector<std::string>{provider, "Plain"}));

  const auto tree = emu::registry::current();
  const Key *hklm = emu::registry::localMachine(*tree);
  ASSERT_NE(hklm, nullptr);
  const Key *p = hklm->find(providers + "\\" + provider);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->name, provider);
  std::string read;
  EXPECT_TRUE(emu::registry::readString(*p, "Label", read));
  EXPECT_EQ(read, label);
  uint32_t type24 = 0;
  EXPECT_TRUE(emu::registry::readDword(*p, "Type", type24));
  EXPECT_EQ(type24, 24u);
}

}  // namespace
