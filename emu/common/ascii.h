// ASCII case folding, as Windows compares registry key names, container
// names and store names: only A-Z and a-z change; other bytes (UTF-8 among
// them) stay as they are.
#pragma once

#include <string>

namespace emu::ascii {

inline std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

inline std::string upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace emu::ascii
