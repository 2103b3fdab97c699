// Names and source lines that the module reports in traceback entries.
#pragma once

namespace nuvra::lines {

inline constexpr const char* init_name = "init nuvra.semv_core";

// Module initialisation.
inline constexpr int init = 1;
inline constexpr int import_math = 2;

// get_semantic_vector_c
inline constexpr int word_function = 47;
inline constexpr int word_normalise = 48;
inline constexpr int word_zero = 50;
inline constexpr int word_unit_x = 55, word_unit_y = 58, word_unit_z = 61;
inline constexpr int word_result = 91;

// vectorize_text_c
inline constexpr int text_function = 94;
inline constexpr int text_tokenise = 96;
inline constexpr int text_no_tokens = 98;
inline constexpr int text_no_match = 117;
inline constexpr int text_result = 121;
inline constexpr int text_zero_length = 122;

// cosine_similarity_c: the items of v1 at 128-130, of v2 at 131-133.
inline constexpr int cosine_function = 125;
inline constexpr int cosine_v1 = 128, cosine_v2 = 131;

}  // namespace nuvra::lines
