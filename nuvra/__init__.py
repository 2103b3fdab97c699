"""nuvra: technical words and texts in a three-axis semantic space.

The native module :mod:`nuvra.semv_core` holds the three per-call functions
``get_semantic_vector_c``, ``vectorize_text_c`` and ``cosine_similarity_c``.
The batch functions below give the same results for whole columns at once,
as numpy arrays, on several threads without the interpreter lock.
"""

from nuvra.batch import cosine_similarities, most_similar, vectorize_lines, vectorize_texts, word_vectors

__all__ = ["cosine_similarities", "most_similar", "vectorize_lines", "vectorize_texts", "word_vectors"]
