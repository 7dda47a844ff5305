#include "header_text.h"

#include <algorithm>
#include <charconv>

namespace voluna {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view withoutSign(std::string_view word) {
  if (!word.empty() && (word.front() == '-' || word.front() == '+')) word.remove_prefix(1);
  return word;
}

}  // namespace

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !isSpace(text[i])) ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

bool parseWhole(std::string_view word, int64_t& value) {
  const std::string_view digits = withoutSign(word);
  if (digits.empty() || digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), isDigit)) return false;
  int64_t magnitude = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  value = word.front() == '-' ? -magnitude : magnitude;
  return true;
}

bool tooLongForWhole(std::string_view word) {
  const std::string_view digits = withoutSign(word);
  return digits.size() > 18 && std::all_of(digits.begin(), digits.end(), isDigit);
}

std::string excerpt(std::string_view text) {
  constexpr size_t kShown = 40;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kShown)) + "...'";
}

}  // namespace voluna
