// Parser for the Windows ".reg" text format (version 5.00):
//   Windows Registry Editor Version 5.00
//   [HKEY_LOCAL_MACHINE\SOFTWARE\...]     create/open a key
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\...]    delete a key and its subtree
//   "Name"="text"                         REG_SZ, \\ and \" escaped
//   @="text"                              the key's default value
//   "Name"=dword:0000001a                 REG_DWORD, 8 hex digits
//   "Name"=-                              delete a value
//   ; comment
#include <algorithm>
#include <cctype>

#include "registry/reg_tree.h"

namespace emu::registry {

std::string lower(const std::string &s) {
  std::string r = s;
  std::transform(r.begin(), r.end(), r.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return r;
}

Key *Key::child(const std::string &n) const {
  const auto it = subkeys.find(lower(n));
  return it == subkeys.end() ? nullptr : it->second.get();
}

Key &Key::childOrCreate(const std::string &n) {
  auto &slot = subkeys[lower(n)];
  if (!slot) {
    slot = std::make_unique<Key>();
    slot->name = n;
  }
  return *slot;
}

Key *Key::find(const std::string &path) const {
  const Key *k = this;
  size_t pos = 0;
  while (pos <= path.size() && k != nullptr) {
    const size_t next = path.find('\\', pos);
    const std::string part =
        path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (!part.empty()) k = k->child(part);
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  return const_cast<Key *>(k);
}

namespace {

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Splits a key path into its parts; empty parts (doubled or trailing
// backslashes) make the path invalid.
bool splitPath(const std::string &path, std::vector<std::string> &parts) {
  parts.clear();
  size_t pos = 0;
  while (true) {
    const size_t next = path.find('\\', pos);
    const std::string part =
        path.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (part.empty()) return false;
    parts.push_back(part);
    if (next == std::string::npos) return true;
    pos = next + 1;
  }
}

// Reads a quoted string starting at s[i] == '"'; on success i points past
// the closing quote.
bool readQuoted(const std::string &s, size_t &i, std::string &out) {
  if (i >= s.size() || s[i] != '"') return false;
  out.clear();
  for (++i; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      const char e = s[++i];
      if (e != '\\' && e != '"') return false;
      out.push_back(e);
    } else if (c == '"') {
      ++i;
      return true;
    } else {
      out.push_back(c);
    }
  }
  return false;
}

bool parseDword(const std::string &hex, uint32_t &v) {
  if (hex.empty() || hex.size() > 8) return false;
  v = 0;
  for (char c : hex) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                              : -1;
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return true;
}

void applyValueLine(Key &key, const std::string &line) {
  size_t i = 0;
  std::string name;
  if (line[0] == '@') {
    i = 1;
  } else if (!readQuoted(line, i, name)) {
    return;
  }
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '=') return;
  ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::string rest = line.substr(i);
  const std::string id = lower(name);
  if (rest == "-") {
    key.values.erase(id);
    return;
  }
  Value v;
  v.name = name;
  if (!rest.empty() && rest[0] == '"') {
    size_t j = 0;
    std::string text;
    if (!readQuoted(rest, j, text) || !trim(rest.substr(j)).empty()) return;
    v.type = 1;  // REG_SZ: the data carries its terminator
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
  } else if (lower(rest.substr(0, 6)) == "dword:") {
    uint32_t d = 0;
    if (!parseDword(trim(rest.substr(6)), d)) return;
    v.type = 4;  // REG_DWORD, little-endian
    v.data = {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
              static_cast<uint8_t>(d >> 24)};
  } else {
    return;  // other value kinds are not used by this registry
  }
  key.values[id] = std::move(v);
}

}  // namespace

void applyRegFile(Tree &tree, const std::string &text) {
  Key *current = nullptr;  // null: outside any (valid) section
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      first = false;
      if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      const std::string t = trim(line);
      if (t != "Windows Registry Editor Version 5.00" && t != "REGEDIT4") return;
      continue;
    }
    line = trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']') continue;
      std::string path = line.substr(1, line.size() - 2);
      const bool remove = !path.empty() && path[0] == '-';
      if (remove) path.erase(0, 1);
      std::vector<std::string> parts;
      if (!splitPath(path, parts)) continue;
      if (remove) {
        Key *parent = &tree.root;
        for (size_t k = 0; k + 1 < parts.size() && parent != nullptr; ++k)
          parent = parent->child(parts[k]);
        if (parent != nullptr) parent->subkeys.erase(lower(parts.back()));
        continue;
      }
      Key *k = &tree.root;
      for (const auto &p : parts) k = &k->childOrCreate(p);
      current = k;
      continue;
    }
    if (current != nullptr) applyValueLine(*current, line);
  }
}

}  // namespace emu::registry
