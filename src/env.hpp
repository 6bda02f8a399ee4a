#pragma once
// Environment numbers and switch words.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vantorix {

// An unsigned decimal integer with an optional leading '+'. Unset, empty, any other text and
// values that overflow 64 bits are all "unset" (nullopt). Zero is returned as zero: callers that
// treat zero as unset say so.
std::optional<uint64_t> env_usize(const char* name);
std::optional<uint64_t> parse_usize(std::string_view text);

// The variable's text, or nullopt when it is unset or not valid UTF-8.
std::optional<std::string> env_text(const char* name);

// ASCII lower-case; with strip_separators every '-' and '_' is removed as well.
std::string normalize_switch(std::string_view text, bool strip_separators);

// env_text normalised, with unset (or non-UTF-8) read as the empty string.
std::string env_switch(const char* name, bool strip_separators);

// True when the text, lower-cased with every '-' and '_' removed, is exactly one of the words;
// nullopt (unset or not UTF-8) is false.
bool switch_word_in(const std::optional<std::string>& text, std::initializer_list<std::string_view> words);

bool is_valid_utf8(std::string_view text);

}  // namespace vantorix
