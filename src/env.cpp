#include "env.hpp"

#include <cstdlib>

namespace vantorix {

std::optional<uint64_t> parse_usize(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, uint64_t(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::optional<uint64_t> env_usize(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  return parse_usize(raw);
}

bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) { i += 1; continue; }
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
    else return false;
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> env_text(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  std::string text(raw);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::string normalize_switch(std::string_view text, bool strip_separators) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (strip_separators && (c == '-' || c == '_')) continue;
    out.push_back((c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c);
  }
  return out;
}

std::string env_switch(const char* name, bool strip_separators) {
  auto text = env_text(name);
  return text ? normalize_switch(*text, strip_separators) : std::string();
}

bool switch_word_in(const std::optional<std::string>& text, std::initializer_list<std::string_view> words) {
  if (!text) return false;
  const std::string word = normalize_switch(*text, true);
  for (std::string_view w : words) {
    if (word == w) return true;
  }
  return false;
}

}  // namespace vantorix
