// The fixed space's kernels built a second time with their scalar twins
// forced (SEMV_NO_SIMD) under another namespace, so that one test binary
// compares the SIMD kernels with the scalar ones. Only standard types cross.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace scalar_twin {

std::array<double, 3> word_vector(std::span<const std::uint8_t> word);
std::array<double, 3> word_vector(std::span<const std::uint16_t> word);
std::array<double, 3> word_vector(std::span<const std::uint32_t> word);
std::array<double, 3> text_vector(std::span<const std::uint8_t> text);
std::array<double, 3> text_vector(std::span<const std::uint16_t> text);
std::array<double, 3> text_vector(std::span<const std::uint32_t> text);
// Through one TextBatch kept for the whole run, as a batch thread keeps it.
std::array<double, 3> batch_text_vector(std::span<const std::uint32_t> text);
void cosine_similarities(const double* rows, std::size_t n, const double (&query)[3], double* out);

}  // namespace scalar_twin
