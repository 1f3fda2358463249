// The arguments and the JSON output every command of mscapi-admin shares.
#include <cstdio>
#include <string>

#include "admin/admin.h"

namespace emu::admin {

bool takeOption(Args &args, const char *name, std::string &value) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return false;
    value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool takeFlag(Args &args, const char *name) {
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<long>(i));
      return true;
    }
  return false;
}

bool noMore(const Args &args, const char *command) {
  if (args.empty()) return true;
  std::fprintf(stderr, "mscapi: unexpected argument \"%s\"\n", args[0].c_str());
  if (command != nullptr)
    std::fprintf(stderr, "Try 'mscapi help %s'.\n", command);
  else
    std::fprintf(stderr, "Try 'mscapi-admin --help'.\n");
  return false;
}

namespace {

void append(std::string &out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

}  // namespace

std::string utf8(const std::string &text) {
  std::string out;
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const size_t n = text.size();
  // A high surrogate (modified UTF-8 writes each half on its own) waiting
  // for its low half.
  unsigned high = 0;
  auto flushHigh = [&] {
    if (high != 0) append(out, 0xFFFD);
    high = 0;
  };
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    unsigned cp = c;
    size_t len = 1;
    if (c >= 0xC0 && c < 0xE0 && i + 1 < n && continuation(p[i + 1])) {
      cp = ((c & 0x1F) << 6) | (p[i + 1] & 0x3F);
      len = 2;
      if (cp < 0x80 && cp != 0) cp = c, len = 1;  // overlong, other than C0 80
    } else if (c >= 0xE0 && c < 0xF0 && i + 2 < n && continuation(p[i + 1]) &&
               continuation(p[i + 2])) {
      cp = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      len = 3;
      if (cp < 0x800) cp = c, len = 1;
    } else if (c >= 0xF0 && c < 0xF5 && i + 3 < n && continuation(p[i + 1]) &&
               continuation(p[i + 2]) && continuation(p[i + 3])) {
      cp = ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
           (p[i + 3] & 0x3F);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = c, len = 1;
    }
    i += len;
    if (cp >= 0xD800 && cp < 0xDC00) {
      flushHigh();
      high = cp;
      continue;
    }
    if (cp >= 0xDC00 && cp < 0xE000) {
      if (high == 0) {
        append(out, 0xFFFD);
        continue;
      }
      append(out, 0x10000 + ((high - 0xD800) << 10) + (cp - 0xDC00));
      high = 0;
      continue;
    }
    flushHigh();
    append(out, cp);
  }
  flushHigh();
  return out;
}

void print(const Json &doc) {
  const std::string text = doc.dump(2, ' ', true, Json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace emu::admin
