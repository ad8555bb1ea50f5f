#include "server/text.h"

#include <cctype>
#include <sstream>

namespace corvane::server {

uint32_t Fnv1a(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char ch : text) {
    h ^= ch;
    h *= 16777619u;
  }
  return h;
}

std::string Upper(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

std::string TrimLeft(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::string FindWithoutCase(const std::set<std::string>& names, const std::string& name) {
  const std::string key = Lower(name);
  for (const std::string& candidate : names) {
    if (Lower(candidate) == key) return candidate;
  }
  return "";
}

}  // namespace corvane::server
