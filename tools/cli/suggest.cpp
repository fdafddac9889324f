// Edit distance with swaps of neighbours (optimal string alignment): "udpate" is one slip from
// "update", as a person types it, not two.
#include "suggest.h"

#include <algorithm>

namespace fen {

namespace {

std::size_t Edits(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string NearestWord(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t best_edits = 3;
  bool tie = false;
  for (const std::string& candidate : candidates) {
    const std::size_t edits = Edits(word, candidate);
    if (edits < best_edits) {
      best = candidate;
      best_edits = edits;
      tie = false;
    } else if (edits == best_edits && candidate != best) {
      tie = true;
    }
  }
  if (best.empty() || tie || best_edits * 2 >= std::max(word.size(), std::size_t{2})) return {};
  return best;
}

}  // namespace fen
