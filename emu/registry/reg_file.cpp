// Parser for the Windows ".reg" text format (version 5.00):
//   Windows Registry Editor Version 5.00
//   [HKEY_LOCAL_MACHINE\SOFTWARE\...]     create/open a key
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\...]    delete a key and its subtree
//   "Name"="text"                         REG_SZ, \\ and \" escaped
//   @="text"                              the key's default value
//   "Name"=dword:0000001a                 REG_DWORD, 8 hex digits
//   "Name"=-                              delete a value
//   ; comment
// The file is 8-bit text (UTF-8, perhaps with its byte-order mark) or, as
// regedit writes by default, UTF-16LE starting with the mark FF FE.
#include <algorithm>
#include <cctype>
#include <utility>

#include "common/ascii.h"
#include "registry/reg_tree.h"

namespace emu::registry {


Key::~Key() {
  // Every subkey is moved to the worklist and emptied the same way before it
  // is freed, so each destructor that runs finds no subkeys of its own.
  std::vector<std::unique_ptr<Key>> pending;
  const auto detach = [&pending](Key &k) {
    for (auto &entry : k.subkeys) pending.push_back(std::move(entry.second));
    k.subkeys.clear();
  };
  detach(*this);
  while (!pending.empty()) {
    std::unique_ptr<Key> k = std::move(pending.back());
    pending.pop_back();
    detach(*k);
  }
}

Key *Key::child(const std::string &n) const {
  const auto it = subkeys.find(ascii::lower(n));
  return it == subkeys.end() ? nullptr : it->second.get();
}

Key &Key::childOrCreate(const std::string &n) {
  auto &slot = subkeys[ascii::lower(n)];
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

// One line of a file as UTF-8 text, without its LF. A line that could not
// be decoded (a lone UTF-16 surrogate, half a character at the end) is not
// usable: what it would define is absent.
struct Line {
  std::string text;
  bool usable = true;
};

std::vector<Line> eightBitLines(const std::string &text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back({text.substr(pos, end - pos), true});
    pos = end + 1;
  }
  if (!lines.empty() && lines[0].text.compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].text.erase(0, 3);
  return lines;
}

void appendUtf8(std::string &out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16LE after its byte-order mark, decoded line by line into UTF-8.
std::vector<Line> utf16Lines(const std::string &text, size_t start) {
  const size_t units = (text.size() - start) / 2;
  const auto unit = [&](size_t i) {
    const size_t at = start + 2 * i;
    return static_cast<uint32_t>(static_cast<unsigned char>(text[at]) |
                                 (static_cast<unsigned char>(text[at + 1]) << 8));
  };
  const auto isHigh = [](uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  const auto isLow = [](uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  std::vector<Line> lines(1);
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u == '\n') {
      lines.emplace_back();
      continue;
    }
    Line &line = lines.back();
    if (isHigh(u) && i + 1 < units && isLow(unit(i + 1))) {
      u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (isHigh(u) || isLow(u)) {
      line.usable = false;  // a lone surrogate stands for no character
      continue;
    }
    appendUtf8(line.text, u);
  }
  if ((text.size() - start) % 2 != 0) lines.back().usable = false;
  return lines;
}

std::vector<Line> splitLines(const std::string &text) {
  if (text.compare(0, 2, "\xFF\xFE") == 0) return utf16Lines(text, 2);
  return eightBitLines(text);
}

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

bool applyValueLine(Key &key, const std::string &line) {
  size_t i = 0;
  std::string name;
  if (line[0] == '@') {
    i = 1;
  } else if (!readQuoted(line, i, name)) {
    return false;
  }
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '=') return false;
  ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  const std::string rest = line.substr(i);
  const std::string id = ascii::lower(name);
  if (rest == "-") {
    key.values.erase(id);
    return true;
  }
  Value v;
  v.name = name;
  if (!rest.empty() && rest[0] == '"') {
    size_t j = 0;
    std::string text;
    if (!readQuoted(rest, j, text) || !trim(rest.substr(j)).empty()) return false;
    v.type = 1;  // REG_SZ: the data carries its terminator
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
  } else if (ascii::lower(rest.substr(0, 6)) == "dword:") {
    uint32_t d = 0;
    if (!parseDword(trim(rest.substr(6)), d)) return false;
    v.type = 4;  // REG_DWORD, little-endian
    v.data = {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
              static_cast<uint8_t>(d >> 24)};
  } else {
    return false;  // other value kinds are not used by this registry
  }
  key.values[id] = std::move(v);
  return true;
}

}  // namespace

void applyRegFile(Tree &tree, const std::string &text, std::vector<size_t> *ignored) {
  auto ignore = [&](size_t n) {
    if (ignored != nullptr) ignored->push_back(n + 1);
  };
  const std::vector<Line> lines = splitLines(text);
  if (lines.empty() || !lines[0].usable) return ignore(0);
  const std::string version = trim(lines[0].text);
  if (version != "Windows Registry Editor Version 5.00" && version != "REGEDIT4") return ignore(0);
  Key *current = nullptr;  // null: outside any (valid) section
  for (size_t n = 1; n < lines.size(); ++n) {
    const std::string line = trim(lines[n].text);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = nullptr;
      if (!lines[n].usable || line.back() != ']') {
        ignore(n);
        continue;
      }
      std::string path = line.substr(1, line.size() - 2);
      const bool remove = !path.empty() && path[0] == '-';
      if (remove) path.erase(0, 1);
      // Deeper than Windows allows: the section is ignored like any other
      // bad one, before its parts are even split.
      std::vector<std::string> parts;
      if (static_cast<size_t>(std::count(path.begin(), path.end(), '\\')) >= kMaxKeyDepth ||
          !splitPath(path, parts)) {
        ignore(n);
        continue;
      }
      if (remove) {
        Key *parent = &tree.root;
        for (size_t k = 0; k + 1 < parts.size() && parent != nullptr; ++k)
          parent = parent->child(parts[k]);
        if (parent != nullptr) parent->subkeys.erase(ascii::lower(parts.back()));
        continue;
      }
      Key *k = &tree.root;
      for (const auto &p : parts) k = &k->childOrCreate(p);
      current = k;
      continue;
    }
    if (current == nullptr || !lines[n].usable || !applyValueLine(*current, line)) ignore(n);
  }
}

}  // namespace emu::registry
