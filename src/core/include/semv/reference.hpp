// The word and text vectors written the obvious way: sets of code-point pairs,
// one Jaccard quotient per keyword, the threshold as a comparison of doubles,
// and the keyword lists as they are written. Slow; it is the twin that the
// fast core is checked against (fuzz/core_fuzzer.cpp).
#pragma once

#include <string_view>
#include <vector>

#include "semv/space.hpp"
#include "semv/vectors.hpp"

namespace semv::reference {

// The vector of an already normalised word.
WordVector word_vector(std::u32string_view word);

// The vector of a text: its tokens are the maximal runs of A-Z a-z 0-9 _,
// each lower-cased as str.lower does for ASCII.
TextVector text_vector(std::u32string_view text);

// The same for a space given as data: the vector of an already normalised
// word (folded, lower-cased, stripped), and of a text.
std::vector<double> word_vector(const SpaceSpec& space, std::u32string_view word);
std::vector<double> text_vector(const SpaceSpec& space, std::u32string_view text);

// The tokens of a text as the space scores them: folded, cut into words when
// it splits them, lower-cased.
std::vector<std::u32string> tokens(const SpaceSpec& space, std::u32string_view text);

}  // namespace semv::reference
