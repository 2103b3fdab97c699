// Semantic vectors of words and texts, and their cosine similarity.
//
// Strings arrive as the units they are stored in (1, 2 or 4 bytes per code
// point); nothing here allocates per character and nothing is copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "semv/vocabulary.hpp"

namespace semv {

enum class WordForm : std::uint8_t {
  empty,     // nothing left after normalisation: the zero vector
  unit,      // the word starts with a keyword of `axis`
  fallback,  // thresholded bigram scores
};

struct WordVector {
  WordForm form;
  Axis axis;  // for WordForm::unit
  std::array<double, 3> components;
};

enum class TextForm : std::uint8_t {
  no_tokens,    // the text holds no token
  no_match,     // no token has a positive component
  zero_length,  // the sum's length is 0 or NaN
  normalised,   // the sum scaled to length 1
};

struct TextVector {
  TextForm form;
  std::array<double, 3> components;  // zero unless normalised
};

// Jaccard score of two sets from the sizes of their intersection and union;
// 0.0 when both are empty. Counts are 64-bit: no string can overflow them.
constexpr double jaccard_sim(std::uint64_t intersect_len, std::uint64_t union_len) {
  if (union_len == 0) return 0.0;
  return static_cast<double>(intersect_len) / static_cast<double>(union_len);
}

// The vector of an already normalised (lower-cased and stripped) word.
WordVector word_vector(const Vocabularies& v, std::span<const std::uint8_t> word);
WordVector word_vector(const Vocabularies& v, std::span<const std::uint16_t> word);
WordVector word_vector(const Vocabularies& v, std::span<const std::uint32_t> word);

// The vector of a word before normalisation, lower-cased and stripped as
// str.lower and str.strip() do, in place, when every code point has a
// one-to-one lower case in the core's table (Latin-1 and Latin Extended-A but
// U+0130: every 1-byte str), into `out`. Otherwise false, and the caller
// normalises.
bool lowered_word_vector(const Vocabularies& v, std::span<const std::uint8_t> word, WordVector& out);
bool lowered_word_vector(const Vocabularies& v, std::span<const std::uint16_t> word, WordVector& out);

// Whether lowered_word_vector takes the word (it takes every 1-byte one).
bool lowers_in_place(std::span<const std::uint16_t> word);

// The vector of a text: its tokens are the maximal runs of A-Z a-z 0-9 _.
// A long text allocates one token cache for the call (details/token_cache.hpp)
// and does without it when memory is short; nothing throws.
TextVector text_vector(const Vocabularies& v, std::span<const std::uint8_t> text);
TextVector text_vector(const Vocabularies& v, std::span<const std::uint16_t> text);
TextVector text_vector(const Vocabularies& v, std::span<const std::uint32_t> text);

// Cosine of the angle between two vectors of three doubles; +0.0 when the dot
// product or a length is zero. Products and sums are rounded one by one.
// Never inlined: every caller runs the same instructions, so that even the
// payload of a NaN result, which the order of a product's operands decides,
// is the same for all of them.
[[gnu::noinline]] double c_cosine_similarity(const double (&v1)[3], const double (&v2)[3]);

// out[i] = c_cosine_similarity(row i of `rows`, query), bit for bit, for n
// rows of three doubles: without branches, so that it vectorises, and a NaN
// result computed again by c_cosine_similarity itself.
void cosine_similarities(const double* rows, std::size_t n, const double (&query)[3], double* out);

}  // namespace semv
