"""The source lines of nuvra/semv_core that the module's traceback entries
report, as the tests expect them: one table for every test."""

FILE = "nuvra/semv_core"

INIT = "init nuvra.semv_core"
WORD = "nuvra.semv_core.get_semantic_vector_c"
TEXT = "nuvra.semv_core.vectorize_text_c"
COS = "nuvra.semv_core.cosine_similarity_c"

# Module initialisation.
INIT_LINE = 1
IMPORT_MATH = 2

# get_semantic_vector_c
WORD_FUNCTION = 47
WORD_NORMALISE = 48

# vectorize_text_c
TEXT_FUNCTION = 94
TEXT_TOKENISE = 96

# cosine_similarity_c: items 0, 1, 2 of v1 at V1_ITEMS[i], of v2 at V2_ITEMS[i].
COS_FUNCTION = 125
V1_ITEMS = (128, 129, 130)
V2_ITEMS = (131, 132, 133)

# Where each exported function starts, by name.
FUNCTION_LINES = {
    "get_semantic_vector_c": WORD_FUNCTION,
    "vectorize_text_c": TEXT_FUNCTION,
    "cosine_similarity_c": COS_FUNCTION,
}
