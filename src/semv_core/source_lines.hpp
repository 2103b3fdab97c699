// The line numbers of the module's source as its tracebacks report it.
//
// The module behaves as if compiled from a Python source named
// "nuvra/semv_core": every traceback entry it adds names that file, a function
// and one of these lines. They are part of what callers see, so they are
// written here once; the tests hold the same table as they expect it.
#pragma once

#include <string_view>

namespace nuvra::lines {

// The module's name, and the file its tracebacks name.
inline constexpr const char* module_name = "nuvra.semv_core";
inline constexpr const char* source_file = "nuvra/semv_core";

// The entry of a failed initialisation.
inline constexpr const char* init_name = "init nuvra.semv_core";
static_assert(std::string_view(init_name).starts_with("init ") &&
              std::string_view(init_name).substr(5) == module_name);

// Module initialisation.
inline constexpr int init = 1;
inline constexpr int import_math = 2;

// get_semantic_vector_c
inline constexpr int word_function = 47;
inline constexpr int word_normalise = 48;
inline constexpr int word_zero = 50;
inline constexpr int word_unit[3] = {55, 58, 61};  // by axis: X, Y, Z
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
