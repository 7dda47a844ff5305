// Reading the text headers of MetaImage and NRRD files: the small pieces of
// grammar both parsers share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voluna {

// Spaces, tabs and a line's carriage return off both ends.
std::string_view trim(std::string_view text);

// The words of `text`, split at spaces, tabs and carriage returns.
std::vector<std::string_view> words(std::string_view text);

// An optional sign and at most 18 decimal digits, nothing else: readers that
// also take "2.7" as 2 or "0x2" as 0 would read another header than ours.
bool parseWhole(std::string_view word, int64_t& value);

// Digits beyond what parseWhole takes: a number, but far too large.
bool tooLongForWhole(std::string_view word);

// A header's text in a message: quoted, cut after 40 characters.
std::string excerpt(std::string_view text);

}  // namespace voluna
