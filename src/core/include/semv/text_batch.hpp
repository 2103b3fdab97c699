// What one thread keeps from text to text of a batch: the vectors of the
// fallback tokens it has scored (log lines share most of their words) and the
// marks of the keyword bigrams it has seen. A text's vector is bit for bit
// the same as text_vector gives it alone. It keeps what it learnt from one
// vocabulary only: handed another, it forgets it first.
#pragma once

#include <cstdint>
#include <span>

#include "semv/details/bigrams.hpp"
#include "semv/details/token_cache.hpp"
#include "semv/vectors.hpp"

namespace semv {

class TextBatch {
 public:
  // Under 1 MiB; without it when memory is short. Nothing throws.
  TextBatch() : cache_(details::TokenCache::for_batch()) {}

  TextVector text_vector(const Vocabularies& v, std::span<const std::uint8_t> text);
  TextVector text_vector(const Vocabularies& v, std::span<const std::uint16_t> text);
  TextVector text_vector(const Vocabularies& v, std::span<const std::uint32_t> text);

  // Bytes it owns, itself included.
  std::size_t memory() const noexcept { return sizeof(TextBatch) + cache_.memory(); }

 private:
  void bind(const Vocabularies& v) {
    if (&v == bound_) return;
    cache_.clear();
    bound_ = &v;
  }

  const Vocabularies* bound_ = nullptr;
  details::TokenCache cache_;
  details::KeywordPairMarks keyword_pairs_;
};

}  // namespace semv
