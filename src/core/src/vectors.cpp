#include "semv/vectors.hpp"

#include <cmath>

#include "semv/details/code_points.hpp"
#include "semv/details/text_vector.hpp"
#include "semv/details/word_vector.hpp"
#include "semv/text_batch.hpp"

namespace semv {

using details::CodePoints;

WordVector word_vector(const Vocabularies& v, std::span<const std::uint8_t> word) {
  return details::word_vector_of(v, CodePoints<std::uint8_t>{word.data(), word.size()});
}

WordVector word_vector(const Vocabularies& v, std::span<const std::uint16_t> word) {
  return details::word_vector_of(v, CodePoints<std::uint16_t>{word.data(), word.size()});
}

WordVector word_vector(const Vocabularies& v, std::span<const std::uint32_t> word) {
  return details::word_vector_of(v, CodePoints<std::uint32_t>{word.data(), word.size()});
}

bool lowered_word_vector(const Vocabularies& v, std::span<const std::uint8_t> word, WordVector& out) {
  out = details::word_vector_of(v, details::stripped(word.data(), word.size()));
  return true;
}

bool lowered_word_vector(const Vocabularies& v, std::span<const std::uint16_t> word, WordVector& out) {
  if (!details::simply_lowered(word.data(), word.size())) return false;
  out = details::word_vector_of(v, details::stripped(word.data(), word.size()));
  return true;
}

bool lowers_in_place(std::span<const std::uint16_t> word) {
  return details::simply_lowered(word.data(), word.size());
}

TextVector text_vector(const Vocabularies& v, std::span<const std::uint8_t> text) {
  return details::text_vector_of(v, text.data(), text.size());
}

TextVector text_vector(const Vocabularies& v, std::span<const std::uint16_t> text) {
  return details::text_vector_of(v, text.data(), text.size());
}

TextVector text_vector(const Vocabularies& v, std::span<const std::uint32_t> text) {
  return details::text_vector_of(v, text.data(), text.size());
}

TextVector TextBatch::text_vector(const Vocabularies& v, std::span<const std::uint8_t> text) {
  return details::text_vector_of(v, text.data(), text.size(), cache_, symbol_pairs_);
}

TextVector TextBatch::text_vector(const Vocabularies& v, std::span<const std::uint16_t> text) {
  return details::text_vector_of(v, text.data(), text.size(), cache_, symbol_pairs_);
}

TextVector TextBatch::text_vector(const Vocabularies& v, std::span<const std::uint32_t> text) {
  return details::text_vector_of(v, text.data(), text.size(), cache_, symbol_pairs_);
}

double c_cosine_similarity(const double (&v1)[3], const double (&v2)[3]) {
  const double dot = (v1[0] * v2[0] + v1[1] * v2[1]) + v1[2] * v2[2];
  if (dot == 0.0) return 0.0;
  const double len1 = std::sqrt((v1[0] * v1[0] + v1[1] * v1[1]) + v1[2] * v1[2]);
  const double len2 = std::sqrt((v2[0] * v2[0] + v2[1] * v2[1]) + v2[2] * v2[2]);
  if (len1 == 0.0 || len2 == 0.0) return 0.0;
  return dot / (len1 * len2);
}

void cosine_similarities(const double* rows, std::size_t n, const double (&query)[3], double* out) {
  // The query's length is the same for every row: computed once, it rounds
  // as it would each time.
  const double q0 = query[0], q1 = query[1], q2 = query[2];
  const double len2 = std::sqrt((q0 * q0 + q1 * q1) + q2 * q2);
  for (std::size_t i = 0; i < n; ++i) {
    const double a0 = rows[3 * i], a1 = rows[3 * i + 1], a2 = rows[3 * i + 2];
    const double dot = (a0 * q0 + a1 * q1) + a2 * q2;
    const double len1 = std::sqrt((a0 * a0 + a1 * a1) + a2 * a2);
    const double cosine = dot / (len1 * len2);
    out[i] = (dot == 0.0) | (len1 == 0.0) | (len2 == 0.0) ? 0.0 : cosine;
  }
}

}  // namespace semv
