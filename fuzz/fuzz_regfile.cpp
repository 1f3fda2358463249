// ".reg" file parsing: any bytes go to applyRegFile over the default
// registration. The tree must keep its shape rules (no key deeper than the
// limit, entries filed under their lower-cased names, well-formed values),
// the registry's own paths must still be found, and a document in valid
// UTF-8 must give exactly the same tree when it is given as UTF-16LE with
// its byte-order mark.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "fuzz_support.h"
#include "registry/reg_tree.h"

namespace {

using emu::registry::Key;
using emu::registry::Tree;

// Decodes strict UTF-8 (no surrogates, no overlong forms) into UTF-16LE
// units after the mark FF FE; false when the text is not valid UTF-8.
bool toUtf16(const std::string &in, std::string &out) {
  out = "\xFF\xFE";
  const auto put = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (size_t i = 0; i < in.size();) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(in[i + k]); };
    uint32_t c = 0;
    size_t n = 0;
    if (b(0) < 0x80) {
      c = b(0), n = 1;
    } else if ((b(0) & 0xE0) == 0xC0) {
      c = b(0) & 0x1F, n = 2;
    } else if ((b(0) & 0xF0) == 0xE0) {
      c = b(0) & 0x0F, n = 3;
    } else if ((b(0) & 0xF8) == 0xF0) {
      c = b(0) & 0x07, n = 4;
    } else {
      return false;
    }
    if (i + n > in.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((b(k) & 0xC0) != 0x80) return false;
      c = (c << 6) | (b(k) & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
    i += n;
  }
  return true;
}

// Walks the tree without recursion (it may be hundreds of levels deep) and
// checks each key.
void checkShape(const Tree &tree) {
  std::vector<std::pair<const Key *, size_t>> todo{{&tree.root, 0}};
  while (!todo.empty()) {
    const auto [k, depth] = todo.back();
    todo.pop_back();
    FUZZ_CHECK(depth <= emu::registry::kMaxKeyDepth);
    for (const auto &[id, v] : k->values) {
      FUZZ_CHECK(id == emu::ascii::lower(v.name));
      if (v.type == 1) FUZZ_CHECK(!v.data.empty() && v.data.back() == 0);
      if (v.type == 4) FUZZ_CHECK(v.data.size() == 4);
      FUZZ_CHECK(v.type == 1 || v.type == 4);
    }
    for (const auto &[id, sub] : k->subkeys) {
      FUZZ_CHECK(sub != nullptr);
      FUZZ_CHECK(id == emu::ascii::lower(sub->name));
      FUZZ_CHECK(!sub->name.empty());
      FUZZ_CHECK(k->child(sub->name) == sub.get());
      todo.push_back({sub.get(), depth + 1});
    }
  }
}

bool sameTree(const Key &a, const Key &b) {
  std::vector<std::pair<const Key *, const Key *>> todo{{&a, &b}};
  while (!todo.empty()) {
    const auto [x, y] = todo.back();
    todo.pop_back();
    if (x->name != y->name || x->values.size() != y->values.size() ||
        x->subkeys.size() != y->subkeys.size())
      return false;
    for (auto i = x->values.begin(), j = y->values.begin(); i != x->values.end(); ++i, ++j)
      if (i->first != j->first || i->second.name != j->second.name ||
          i->second.type != j->second.type || i->second.data != j->second.data)
        return false;
    for (auto i = x->subkeys.begin(), j = y->subkeys.begin(); i != x->subkeys.end(); ++i, ++j) {
      if (i->first != j->first) return false;
      todo.push_back({i->second.get(), j->second.get()});
    }
  }
  return true;
}

// One input in eight is applied over the default registration (so that
// its deletions and overrides meet real keys); the others start empty,
// which keeps the target fast.
void startTree(Tree &tree, size_t size) {
  if (size % 8 == 0) emu::registry::applyRegFile(tree, emu::registry::kDefaultRegistration);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::setUpProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  Tree tree;
  startTree(tree, size);
  emu::registry::applyRegFile(tree, text);
  checkShape(tree);

  // Lookups the library makes; whatever the document did, they must not
  // fail other than by finding nothing.
  static const char *const kPaths[] = {
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider",
      "hkey_local_machine\\software\\microsoft\\cryptography\\defaults\\provider types\\type 001",
      "HKEY_LOCAL_MACHINE\\\\SOFTWARE\\",
      "",
      "\\",
      "HKEY_CURRENT_USER\\Software",
  };
  for (const char *p : kPaths) {
    if (Key *k = tree.root.find(p)) {
      for (const auto &[id, sub] : k->subkeys) FUZZ_CHECK(k->find(sub->name) == sub.get());
    }
  }

  // The same document in UTF-16LE with its mark gives the same tree.
  const bool hasMark =
      text.compare(0, 3, "\xEF\xBB\xBF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0;
  std::string wide;
  if (!hasMark && toUtf16(text, wide)) {
    Tree other;
    startTree(other, size);
    emu::registry::applyRegFile(other, wide);
    FUZZ_CHECK(sameTree(tree.root, other.root));
  }
  return 0;
}
