#include "exports.hpp"

#include "bodies.hpp"
#include "source_lines.hpp"

namespace nuvra {

const FunctionDef get_semantic_vector_def{
    0,
    "get_semantic_vector_c",
    "nuvra.semv_core.get_semantic_vector_c",
    lines::word_function,
    1,
    "",
    {{&Constants::word, "word", &PyUnicode_Type, "str"}},
    get_semantic_vector_body,
};

const FunctionDef vectorize_text_def{
    1,
    "vectorize_text_c",
    "nuvra.semv_core.vectorize_text_c",
    lines::text_function,
    1,
    "",
    {{&Constants::text, "text", &PyUnicode_Type, "str"}},
    vectorize_text_body,
};

const FunctionDef cosine_similarity_def{
    2,
    "cosine_similarity_c",
    "nuvra.semv_core.cosine_similarity_c",
    lines::cosine_function,
    2,
    "s",
    {{&Constants::v1, "v1", &PyList_Type, "list"}, {&Constants::v2, "v2", &PyList_Type, "list"}},
    cosine_similarity_body,
};

}  // namespace nuvra
