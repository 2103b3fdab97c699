// The word and text vectors, instantiated once per unit width.
#include "semv/vectors.hpp"

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
  bind(v);
  return details::text_vector_of(v, text.data(), text.size(), cache_, keyword_pairs_);
}

TextVector TextBatch::text_vector(const Vocabularies& v, std::span<const std::uint16_t> text) {
  bind(v);
  return details::text_vector_of(v, text.data(), text.size(), cache_, keyword_pairs_);
}

TextVector TextBatch::text_vector(const Vocabularies& v, std::span<const std::uint32_t> text) {
  bind(v);
  return details::text_vector_of(v, text.data(), text.size(), cache_, keyword_pairs_);
}

}  // namespace semv
