"""nuvra: technical words and texts in a three-axis semantic space.

The native module :mod:`nuvra.semv_core` holds the three functions
``get_semantic_vector_c``, ``vectorize_text_c`` and ``cosine_similarity_c``.
"""
