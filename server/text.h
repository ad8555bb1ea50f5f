// Small text helpers the stand-in chat server shares between its files.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace corvane::server {

// The 32-bit FNV-1a hash of `text`: a fixed, portable source of figures.
uint32_t Fnv1a(const std::string& text);

// `s` in upper or lower case (ASCII letters only).
std::string Upper(std::string s);
std::string Lower(std::string s);

// `s` without the spaces and tabs at its end, or at its start.
std::string TrimRight(std::string s);
std::string TrimLeft(const std::string& s);

// The words of `s`, split at white space.
std::vector<std::string> Words(const std::string& s);

// The element of `names` equal to `name` without letter case, or "".
std::string FindWithoutCase(const std::set<std::string>& names, const std::string& name);

}  // namespace corvane::server
