// The emulated registry's data: a tree of keys with named values, built
// from registry files in the Windows ".reg" text format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emu::registry {

struct Value {
  std::string name;  // as written (case kept)
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// The deepest a key may lie, as on Windows: a path of at most 512 parts,
// the root key's name included.
constexpr size_t kMaxKeyDepth = 512;

// Names compare case-insensitively (ASCII), as the Windows registry does;
// the map key is the lower-cased name and the entry keeps the original.
struct Key {
  std::string name;
  std::map<std::string, Value> values;
  std::map<std::string, std::unique_ptr<Key>> subkeys;

  Key() = default;
  // Destroys the subtree level by level, without a call per level on the
  // stack, so that no depth of tree can exhaust it.
  ~Key();
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;

  Key *child(const std::string &name) const;
  Key &childOrCreate(const std::string &name);
  // Follows a backslash-separated path; null when a part is missing.
  Key *find(const std::string &path) const;
};

// One hive: HKEY_LOCAL_MACHINE and whatever root sections the files name.
struct Tree {
  Key root;  // children are the root sections, e.g. "hkey_local_machine"
  // When the registry folder or one of its files could not be read for
  // want of a permission: what stood in the way (permissionDenied's words).
  // What it would have defined is absent from the tree.
  std::string unreadable;
};

// Applies one ".reg" document to the tree: 8-bit text (UTF-8, with or
// without its byte-order mark) or UTF-16LE with its byte-order mark, as
// regedit exports; UTF-16 text is read as UTF-8. Lines may end in LF or
// CRLF. Lines that cannot be understood are skipped: what they would define
// is simply absent; a section deeper than kMaxKeyDepth is one of them.
// Never throws for bad input.
// `ignored`, when given, receives the (1-based) numbers of the lines that
// were not understood.
void applyRegFile(Tree &tree, const std::string &text, std::vector<size_t> *ignored = nullptr);

// The registration the emulated machine starts with.
extern const char kDefaultRegistration[];

}  // namespace emu::registry
