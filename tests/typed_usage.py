"""Checked by mypy --strict against the package's stubs."""

from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c

word: list[float] = get_semantic_vector_c("error")
text: list[float] = vectorize_text_c("disk write failed")
score: float = cosine_similarity_c(word, text)
by_keyword: float = cosine_similarity_c(v1=word, v2=text)
print(score + by_keyword)
