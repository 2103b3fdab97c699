"""Checked by mypy --strict against the package's stubs."""

import numpy as np

import nuvra
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c

word: list[float] = get_semantic_vector_c("error")
text: list[float] = vectorize_text_c("disk write failed")
score: float = cosine_similarity_c(word, text)
by_keyword: float = cosine_similarity_c(v1=word, v2=text)
ints: list[int] = [1, 0, 0]
mixed: list[int | float | bool] = [1, 0.5, True]
print(score + by_keyword + cosine_similarity_c(ints, mixed) + cosine_similarity_c([1, 0, 0], word))


vectors: np.ndarray = nuvra.vectorize_texts(["disk write failed", None], workers=2)
words: np.ndarray = nuvra.word_vectors(("error", "login"))
lines: np.ndarray = nuvra.vectorize_lines(b"error\nlogin\n", encoding="cp1252", errors="replace")
scores: np.ndarray = nuvra.cosine_similarities(vectors, [1.0, 0.0, 0.0])
top: list[tuple[int, float]] = nuvra.most_similar("error", ["disk error"], k=1)
nearest: list[tuple[int, float]] = nuvra.most_similar((0.0, 1.0, 0.0), np.array(["login"]))
by_text: np.ndarray = nuvra.cosine_similarities(vectors, "disk error")
generated: np.ndarray = nuvra.vectorize_texts(line.strip() for line in ["a\n", "b\n"])
collection: np.ndarray = nuvra.word_vectors({"error": 1}.keys())
labelled: list[tuple[object, float]] = nuvra.most_similar("error", ["disk error"], labels=True)
print(vectors, words, lines, scores, top, nearest, by_text, generated, collection, labelled)

space: nuvra.Space = nuvra.Space({"net": ["network", "socket"], "pay": {"keywords": ["payment"], "threshold": 0.5}})
loaded: nuvra.Space = nuvra.Space.load("default")
space_vector: list[float] = space.word_vector("socket") + space.text_vector("socket closed")
in_space: np.ndarray = nuvra.vectorize_texts(["socket closed"], space=space)
by_name: np.ndarray = nuvra.word_vectors(["error"], space="default")
explained: list[nuvra.space.Match] = space.explain("socket closed")
names: tuple[str, ...] = space.axes
print(space_vector, in_space, by_name, explained[0].keyword, names, space.keywords("net"), space.threshold("net"))
try:
    nuvra.Space({"a": ["A"]})
except nuvra.SpaceError as e:
    problems: list[str] = e.problems
dominant: list[str | None] = nuvra.dominant_axes(vectors)
counts: dict[str | None, int] = nuvra.axis_counts(vectors, space="logs" if dominant[0] is None else None)
kinds: nuvra.Groups = nuvra.group_lines(["Jun 1 sshd[1]: session opened for user root"], workers=2)
from_file: nuvra.Groups = nuvra.group_lines(b"a 1\na 2\n", header=False, space="logs")
kind_ids: np.ndarray = kinds.match(["Jun 2 sshd[2]: session opened for user news"])
templates: list[str] = kinds.templates
print(kind_ids, templates, kinds.counts, kinds.first, kinds.vectors, kinds.axes, from_file.ids, len(from_file))
