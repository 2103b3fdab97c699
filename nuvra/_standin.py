"""TEMPORARY stand-in for the native space object until _batch.Space lands; delete after merging main."""

from nuvra_testing import space_reference as ref
from nuvra_testing.reference import KEYWORDS

DEFAULT = [("fault", KEYWORDS[0], 0.4), ("security", KEYWORDS[1], 0.4), ("data", KEYWORDS[2], 0.4)]


def default_axes():
    return [(n, list(k), t) for n, k, t in DEFAULT]


class Space:
    def __init__(self, axes, split, fold):
        self.axes = [(n, list(k), float(t)) for n, k, t in axes]
        self.split, self.fold = split, fold
        self.k = len(axes)
        self.nbytes = 0
        self.fixed = not split and not fold and self.axes == [(n, list(k), t) for n, k, t in DEFAULT]

    def word_vector(self, word):
        return ref.word_vector(self.axes, word)

    def text_vector(self, text):
        if not isinstance(text, str):
            raise TypeError("text")
        return ref.text_vector(self.axes, text, self.split, self.fold)

    def explain(self, text):
        out = []
        for token, start in ref.tokens(text, self.split, self.fold):
            v, why = ref.word_vector_explained(self.axes, token)
            out += [(token, start, a, i, how, v[a]) for a, i, how in why]
        return out
