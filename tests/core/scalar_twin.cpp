// Compiled with SEMV_NO_SIMD and the core's namespace renamed (CMakeLists.txt),
// beside the core's scalar build.
#include "scalar_twin.hpp"

#include "semv/text_batch.hpp"
#include "semv/vectors.hpp"

namespace scalar_twin {

namespace {

template <class Unit>
std::array<double, 3> word_of(std::span<const Unit> word) {
  return semv::word_vector(semv::vocabularies, word).components;
}

template <class Unit>
std::array<double, 3> text_of(std::span<const Unit> text) {
  return semv::text_vector(semv::vocabularies, text).components;
}

}  // namespace

std::array<double, 3> word_vector(std::span<const std::uint8_t> word) {
  return word_of(word);
}
std::array<double, 3> word_vector(std::span<const std::uint16_t> word) {
  return word_of(word);
}
std::array<double, 3> word_vector(std::span<const std::uint32_t> word) {
  return word_of(word);
}
std::array<double, 3> text_vector(std::span<const std::uint8_t> text) {
  return text_of(text);
}
std::array<double, 3> text_vector(std::span<const std::uint16_t> text) {
  return text_of(text);
}
std::array<double, 3> text_vector(std::span<const std::uint32_t> text) {
  return text_of(text);
}

std::array<double, 3> batch_text_vector(std::span<const std::uint32_t> text) {
  static semv::TextBatch batch;
  return batch.text_vector(semv::vocabularies, text).components;
}

void cosine_similarities(const double* rows, std::size_t n, const double (&query)[3], double* out) {
  semv::cosine_similarities(rows, n, query, out);
}

}  // namespace scalar_twin
