// Cosine similarity: of two vectors, and of many rows against one query.
#include <cmath>
#include <cstddef>

#include "semv/details/simd.hpp"
#include "semv/vectors.hpp"

namespace semv {

double c_cosine_similarity(const double (&v1)[3], const double (&v2)[3]) {
  const double dot = (v1[0] * v2[0] + v1[1] * v2[1]) + v1[2] * v2[2];
  if (dot == 0.0) return 0.0;
  const double len1 = std::sqrt((v1[0] * v1[0] + v1[1] * v1[1]) + v1[2] * v1[2]);
  const double len2 = std::sqrt((v2[0] * v2[0] + v2[1] * v2[1]) + v2[2] * v2[2]);
  if (len1 == 0.0 || len2 == 0.0) return 0.0;
  return dot / (len1 * len2);
}

namespace {

// Rows [begin, n), one at a time; true when a result is NaN.
bool cosines_by_row(const double* rows, std::size_t begin, std::size_t n, const double (&q)[3], double len2,
                    double* out) {
  bool any_nan = false;
  for (std::size_t i = begin; i < n; ++i) {
    const double a0 = rows[3 * i], a1 = rows[3 * i + 1], a2 = rows[3 * i + 2];
    const double dot = (a0 * q[0] + a1 * q[1]) + a2 * q[2];
    const double len1 = std::sqrt((a0 * a0 + a1 * a1) + a2 * a2);
    const double cosine = dot / (len1 * len2);
    out[i] = ((dot == 0.0) | (len1 == 0.0) | (len2 == 0.0)) ? 0.0 : cosine;
    any_nan |= out[i] != out[i];
  }
  return any_nan;
}

#if SEMV_SSE2
// Two rows at a time: their six doubles regrouped by component, then the
// same operations in the same order as cosines_by_row.
bool cosines_by_pairs(const double* rows, std::size_t n, const double (&q)[3], double len2, double* out) {
  const __m128d q0 = _mm_set1_pd(q[0]), q1 = _mm_set1_pd(q[1]), q2 = _mm_set1_pd(q[2]);
  const __m128d l2 = _mm_set1_pd(len2), zero = _mm_setzero_pd();
  __m128d nan = _mm_setzero_pd();
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d ab = _mm_loadu_pd(rows + 3 * i), cd = _mm_loadu_pd(rows + 3 * i + 2),
                  ef = _mm_loadu_pd(rows + 3 * i + 4);
    const __m128d x = _mm_shuffle_pd(ab, cd, 0b10), y = _mm_shuffle_pd(ab, ef, 0b01),
                  z = _mm_shuffle_pd(cd, ef, 0b10);
    const __m128d dot = _mm_add_pd(_mm_add_pd(_mm_mul_pd(x, q0), _mm_mul_pd(y, q1)), _mm_mul_pd(z, q2));
    const __m128d len1 =
        _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y)), _mm_mul_pd(z, z)));
    const __m128d cosine = _mm_div_pd(dot, _mm_mul_pd(len1, l2));
    const __m128d is_zero =
        _mm_or_pd(_mm_or_pd(_mm_cmpeq_pd(dot, zero), _mm_cmpeq_pd(len1, zero)), _mm_cmpeq_pd(l2, zero));
    const __m128d result = _mm_andnot_pd(is_zero, cosine);
    nan = _mm_or_pd(nan, _mm_cmpunord_pd(result, result));
    _mm_storeu_pd(out + i, result);
  }
  const bool tail_nan = cosines_by_row(rows, i, n, q, len2, out);
  return tail_nan || _mm_movemask_pd(nan) != 0;
}
#endif

}  // namespace

void cosine_similarities(const double* rows, std::size_t n, const double (&query)[3], double* out) {
  // The query's length is the same for every row: computed once, it rounds
  // as it would each time.
  const double len2 = std::sqrt((query[0] * query[0] + query[1] * query[1]) + query[2] * query[2]);
#if SEMV_SSE2
  const bool any_nan = cosines_by_pairs(rows, n, query, len2, out);
#else
  const bool any_nan = cosines_by_row(rows, 0, n, query, len2, out);
#endif
  for (std::size_t i = 0; any_nan && i < n; ++i)
    if (out[i] != out[i]) {
      const double row[3] = {rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]};
      out[i] = c_cosine_similarity(row, query);
    }
}

}  // namespace semv
