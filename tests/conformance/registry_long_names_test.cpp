// A provider whose name does not fit the methods' name buffer is passed
// over; the providers after it are still listed. Only the emulation can be
// given such a registration (Windows keeps key names to 255 characters), so
// the suite's Windows build has no such test.
#include <algorithm>
#include <string>
#include <vector>

#include "conformance.h"

#ifndef _WIN32

namespace {

using namespace conformance;

const char kProviders[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
const char kProviderA[] = "Provider A";
const char kProviderC[] = "Provider C";

// A name of `length` bytes that sorts between the two others.
std::string longName(size_t length) {
  const std::string prefix = "Provider B";
  return prefix + std::string(length - prefix.size(), 'b');
}

std::string registration(const std::string &middle) {
  std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type "
      "001]\n\"Name\"=\"Provider A\"\n";
  for (const std::string &name : {std::string(kProviderA), middle, std::string(kProviderC)})
    text += std::string("[") + kProviders + "\\" + name +
            "]\n\"Image Path\"=\"rsaenh.dll\"\n\"Type\"=dword:00000001\n";
  return text;
}

class LongProviderNames : public Conformance, public ::testing::WithParamInterface<size_t> {
 protected:
  std::vector<std::string> providers() {
    jbyteArray r = natives().queryProviders(f.env(), f.mscapiClass());
    EXPECT_EQ(outcome(), "");
    if (r == nullptr) return {};
    std::vector<std::string> names;
    EXPECT_TRUE(records::providers(contents(r), names));
    return names;
  }

  // The providers of the key pair list's records for `container`.
  std::vector<std::string> keyPairProviders(const std::string &container) {
    jbyteArray r = natives().queryKeyPairs(f.env(), f.mscapiClass());
    EXPECT_EQ(outcome(), "");
    if (r == nullptr) return {};
    std::vector<records::KeyPair> pairs;
    EXPECT_TRUE(records::keyPairs(contents(r), pairs));
    std::vector<std::string> names;
    for (const records::KeyPair &k : pairs)
      if (k.container == container) names.push_back(k.provider);
    std::sort(names.begin(), names.end());
    return names;
  }
};

// The buffer holds 500 bytes with the terminator: a 499-byte name is the
// longest that is listed.
TEST_P(LongProviderNames, AreSkippedAndTheRestIsListed) {
  const size_t length = GetParam();
  const std::string middle = longName(length);
  const bool fits = length < 500;
  replaceRegistry(registration(middle));

  // The default first, then the others in the reverse of the registry's order.
  std::vector<std::string> expected = {kProviderA, kProviderC};
  if (fits) expected.push_back(middle);
  EXPECT_EQ(providers(), expected) << length;

  // The three providers share the software family's containers: one made
  // through A is listed under every provider the enumeration reaches.
  const std::string container = unique("long-names");
  natives().generateKeyPair(f.env(), f.mscapiClass(), str(kProviderA), str(container), kAtSignature,
                            1024);
  ASSERT_EQ(outcome(), "");
  expected = {kProviderA, kProviderC};
  if (fits) expected.insert(expected.begin() + 1, middle);
  EXPECT_EQ(keyPairProviders(container), expected) << length;
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongProviderNames, ::testing::Values(20, 499, 500, 600),
                         [](const auto &info) { return std::to_string(info.param); });

}  // namespace

#endif  // _WIN32
