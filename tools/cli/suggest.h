// "Did you mean": the nearest of the words the tool knows to one it does not.
#pragma once

#include <string>
#include <vector>

namespace fen {

// The candidate nearest to `word` by edits (a letter added, dropped, changed or two swapped),
// when it is near enough to be a slip (at most two edits, and fewer than half the word's
// length); empty otherwise or when two are equally near.
std::string NearestWord(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace fen
