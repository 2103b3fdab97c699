"""How well a space places real messages, and what each keyword of the logs space captures.

Run in the venv that ``scripts/test`` makes (it has the built package)::

    .venv/test/bin/python bench/space_quality.py            # the table: both spaces, the tune half
    .venv/test/bin/python bench/space_quality.py --heldout  # the same, with the held-out half too
    .venv/test/bin/python bench/space_quality.py --misses   # the tune half's misses of the logs space, by kind
    .venv/test/bin/python bench/space_quality.py --words    # + each keyword against a large word list

The messages are ``tests/data/messages.tsv``: real messages from this machine's libraries,
tools and logs, each with the axes a person accepts as its dominant one, split once into
a ``tune`` half (keywords are chosen on it) and a ``heldout`` half (only reported).
The held-out figures are printed only when asked for with ``--heldout``: whoever tunes
keywords runs without it, so that the held-out half stays unseen until the keywords are
fixed. Each half is reported whole and by batch: the first batch, and the second one drawn
from other sources after the first had been used to choose keywords.

A message counts as placed well when the argmax of its text vector (ties: the first axis
in order) is one of its acceptable axes; a zero vector is never acceptable.

The default space is the module's own ``vectorize_text_c`` (axes x, y, z read as fault,
security, data). The logs space is ``nuvra.Space.load("logs")`` where the package has it;
elsewhere (or with ``--toml``) a plain Python model of a space evaluates the TOML file.
The plain model is checked against ``vectorize_text_c`` on every message with the
default keyword lists before anything is reported, so that the two agree bit for bit.
"""

from __future__ import annotations

import argparse
import collections
import gettext
import glob
import gzip
import math
import re
import sys
import sysconfig
import tomllib
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MESSAGES = ROOT / "tests" / "data" / "messages.tsv"
# The file's first rows are the first batch of messages; the rest came later, from other
# sources, after the first had been used to choose keywords (bench/messages/).
FIRST_BATCH = 762
LOGS_TOML = ROOT / "nuvra" / "spaces" / "logs.toml"
VOCABULARY = ROOT / "src" / "core" / "include" / "semv" / "vocabulary.hpp"
DEFAULT_AXES = ("fault", "security", "data")


class _PlainSpace:
    """A space computed in plain Python: axes in order, keywords in order, prefix first,
    else each axis's best bigram Jaccard score kept at or above its threshold."""

    _FOLD = str.maketrans("çÇğĞıİöÖşŞüÜ", "cCgGiIoOsSuU")
    _TOKEN = re.compile(r"[A-Za-z0-9_]+")
    _CUT = re.compile(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])")

    def __init__(self, axes: Sequence[tuple[str, Sequence[str], float]], split: bool, fold: bool) -> None:
        self.names = [name for name, _, _ in axes]
        self.keywords = [list(words) for _, words, _ in axes]
        self.thresholds = [float(t) for _, _, t in axes]
        self.split = split
        self.fold = fold
        self.k = len(axes)
        self._bigrams = [[self._bigram_set(w) for w in words] for words in self.keywords]
        # Per axis, the keywords that have each bigram: a keyword sharing none with a word
        # scores 0 and can never be the best, so only these are scored.
        self._having: list[dict[str, list[int]]] = []
        for sets in self._bigrams:
            having: dict[str, list[int]] = collections.defaultdict(list)
            for index, grams in enumerate(sets):
                for gram in grams:
                    having[gram].append(index)
            self._having.append(having)

    @classmethod
    def from_toml(cls, path: Path) -> _PlainSpace:
        with open(path, "rb") as fp:
            doc = tomllib.load(fp)
        default_t = float(doc.get("threshold", 0.4))
        axes = [
            (name, table["keywords"], float(table.get("threshold", default_t))) for name, table in doc["axes"].items()
        ]
        return cls(axes, split=doc.get("split") == "words", fold=doc.get("fold") == "turkish")

    @staticmethod
    def _bigram_set(word: str) -> set[str]:
        if len(word) == 1:
            return {word}
        return {word[i : i + 2] for i in range(len(word) - 1)}

    def explain_word(self, word: str) -> list[tuple[int, str, str, float]]:
        """For each axis with a positive component of the word vector of ``word`` (already
        normalised): (axis index, the keyword that gave it, "prefix" or "bigrams", score)."""
        if not word:
            return []
        for axis, words in enumerate(self.keywords):
            for keyword in words:
                if word.startswith(keyword):
                    return [(axis, keyword, "prefix", 1.0)]
        grams = self._bigram_set(word)
        found = []
        for axis, sets in enumerate(self._bigrams):
            best, best_keyword = 0.0, ""
            candidates = sorted({i for gram in grams for i in self._having[axis].get(gram, ())})
            for index in candidates:
                keyword, kgrams = self.keywords[axis][index], sets[index]
                common = len(grams & kgrams)
                score = float(common) / float(len(grams) + len(kgrams) - common)
                if score > best:
                    best, best_keyword = score, keyword
            if best > 0.0 and best >= self.thresholds[axis]:
                found.append((axis, best_keyword, "bigrams", best))
        return found

    def word_vector(self, word: str) -> list[float]:
        if self.fold:
            word = word.translate(self._FOLD)
        vector = [0.0] * self.k
        for axis, _, _, score in self.explain_word(word.lower().strip()):
            vector[axis] = score
        return vector

    def tokens(self, text: str) -> list[str]:
        if self.fold:
            text = text.translate(self._FOLD)
        out = []
        for token in self._TOKEN.findall(text):
            pieces = [p for part in token.split("_") for p in self._CUT.split(part)] if self.split else [token]
            out.extend(p.lower() for p in pieces if p)
        return out

    def text_vector(self, text: str) -> list[float]:
        sums = [0.0] * self.k
        seen = False
        for token in self.tokens(text):
            vector = [0.0] * self.k
            for axis, _, _, score in self.explain_word(token):
                vector[axis] = score
            if any(c > 0.0 for c in vector):
                seen = True
                sums = [s + c for s, c in zip(sums, vector, strict=True)]
        if not seen:
            return [0.0] * self.k
        square = 0.0
        for s in sums:
            square = square + s * s
        length = math.sqrt(square)
        if length == 0.0:
            return [0.0] * self.k
        return [s / length for s in sums]


def default_keyword_lists() -> list[tuple[str, list[str], float]]:
    """The fixed space's axes, from the native module when it offers them, else from
    the vocabulary header of this checkout."""
    try:
        from nuvra import _batch

        return [(name, list(words), float(t)) for name, words, t in _batch.default_space().axes]
    except (ImportError, AttributeError):
        pass
    source = VOCABULARY.read_text()
    axes = []
    for letter, name in zip("xyz", DEFAULT_AXES, strict=True):
        body = re.search(rf"{letter}_keywords\{{(.*?)\}};", source, re.S)
        assert body is not None, f"no {letter}_keywords in {VOCABULARY}"
        axes.append((name, re.findall(r'"([a-z0-9_]+)"', body.group(1)), 0.4))
    return axes


def read_messages() -> list[tuple[str, str, set[str], str]]:
    lines = MESSAGES.read_text(encoding="utf-8").splitlines()
    assert lines[0].split("\t") == ["message", "source", "axes", "half"], lines[0]
    rows = []
    for line in lines[1:]:
        message, source, axes, half = line.split("\t")
        rows.append((message, source, set(axes.split(",")), half))
    return rows


def dominant(vector: Sequence[float], names: Sequence[str]) -> str | None:
    """The name of the largest component (the first on ties), or None for a zero vector."""
    best = max(range(len(vector)), key=lambda i: (vector[i], -i))
    return names[best] if vector[best] > 0.0 else None


def miss_kind(vector: Sequence[float], names: Sequence[str], axes: set[str]) -> str:
    """Why a message is missed: no axis scored at all, no acceptable axis scored, an
    acceptable axis tied with the dominant one but comes later, or it scored lower."""
    best = max(vector)
    accepted = max(vector[names.index(axis)] for axis in axes)
    if best == 0.0:
        return "zero vectors"
    if accepted == 0.0:
        return "with no acceptable axis scored"
    return "lost ties" if accepted == best else "with an acceptable axis scored lower"


def score(vectorize: Callable[[str], Sequence[float]], names: Sequence[str], rows: Iterable) -> tuple[int, int, int]:
    """(messages, acceptable, zero vectors)."""
    n = good = zero = 0
    for message, _, axes, _ in rows:
        n += 1
        axis = dominant(vectorize(message), names)
        zero += axis is None
        good += axis in axes
    return n, good, zero


def check_plain_model(rows: Sequence) -> None:
    from nuvra.semv_core import vectorize_text_c

    plain = _PlainSpace(default_keyword_lists(), split=False, fold=False)
    for message, *_ in rows:
        want, got = vectorize_text_c(message), plain.text_vector(message)
        if want != got:
            raise SystemExit(f"plain model disagrees with vectorize_text_c on {message!r}: {got} != {want}")


def load_logs(toml: Path | None) -> tuple[Callable[[str], Sequence[float]], list[str], _PlainSpace, str]:
    plain = _PlainSpace.from_toml(toml or LOGS_TOML)
    if toml is None:
        import nuvra

        if hasattr(nuvra, "Space"):
            space = nuvra.Space.load("logs")
            return space.text_vector, plain.names, plain, 'nuvra.Space.load("logs")'
    return plain.text_vector, plain.names, plain, f"plain model of {toml or LOGS_TOML.relative_to(ROOT)}"


# ---------------------------------------------------------------------------------------
# What each keyword captures in a large list of real words.


def word_list() -> tuple[collections.Counter[str], list[str]]:
    """Words of real text with how often each occurs: the dictionary's words (once
    each), every changelog under /usr/share/doc, the Turkish message catalogs and manual
    pages, and the standard library's sources, tokenised as the logs space does (split
    and folded)."""
    splitter = _PlainSpace([("a", ["aa"], 1.0)], split=True, fold=True)
    counts: collections.Counter[str] = collections.Counter()
    used = []
    for path in sorted(glob.glob("/usr/share/dict/*")):
        if Path(path).is_file() and not path.endswith((".gz", "README.select-wordlist")):
            with open(path, encoding="utf-8", errors="replace") as fp:
                counts.update(t for line in fp for t in set(splitter.tokens(line)))
            used.append(path)
    changelogs = sorted(glob.glob("/usr/share/doc/*/changelog*.gz"))
    for path in changelogs:
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as fp:
            counts.update(t for line in fp for t in splitter.tokens(line))
    used.append(f"{len(changelogs)} changelogs in /usr/share/doc")
    catalogs = sorted(glob.glob("/usr/share/locale/tr/LC_MESSAGES/*.mo"))
    for path in catalogs:
        with open(path, "rb") as fp:
            for msgid, msgstr in gettext.GNUTranslations(fp)._catalog.items():  # type: ignore[attr-defined]
                for text in (msgid, msgstr):
                    if isinstance(text, str):
                        counts.update(splitter.tokens(text))
    used.append(f"{len(catalogs)} Turkish message catalogs in /usr/share/locale/tr (both languages)")
    manpages = sorted(glob.glob("/usr/share/man/tr/**/*.gz", recursive=True))
    for path in manpages:
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as fp:
            counts.update(splitter.tokens(fp.read()))
    if manpages:
        used.append(f"{len(manpages)} Turkish manual pages in /usr/share/man/tr")
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    sources = [p for p in stdlib.rglob("*.py") if "site-packages" not in p.parts and "test" not in p.parts]
    for path in sources:
        counts.update(splitter.tokens(path.read_text(encoding="utf-8", errors="replace")))
    used.append(f"{len(sources)} Python sources under {stdlib}")
    words = collections.Counter({w: c for w, c in counts.items() if w.isalpha() and len(w) >= 2})
    return words, used


def keyword_report(space: _PlainSpace, words: collections.Counter[str]) -> list[str]:
    """One line per keyword: the distinct words it captures (as their prefix, and by
    bigrams at its axis's threshold), how often they occur, and the most frequent ones."""
    prefix: dict[str, list[str]] = collections.defaultdict(list)
    bigram: dict[str, list[str]] = collections.defaultdict(list)
    for word in words:
        for _, keyword, how, _ in space.explain_word(word):
            (prefix if how == "prefix" else bigram)[keyword].append(word)
    out = [
        f"{'axis':9} {'keyword':16} {'prefix':>7} {'uses':>9} {'bigram':>7} {'uses':>9}  most used captured words",
    ]
    for axis, keywords in zip(space.names, space.keywords, strict=True):
        for keyword in keywords:
            p = sorted(prefix[keyword], key=lambda w: -words[w])
            b = sorted(bigram[keyword], key=lambda w: -words[w])
            examples = ", ".join(p[:6] + [f"~{w}" for w in b[:6]])
            out.append(
                f"{axis:9} {keyword:16} {len(p):7} {sum(words[w] for w in p):9} "
                f"{len(b):7} {sum(words[w] for w in b):9}  {examples}"
            )
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--toml", type=Path, help="evaluate this space file (plain model) instead of the bundled one")
    parser.add_argument(
        "--heldout",
        action="store_true",
        help="report the held-out half as well (not while choosing keywords: it is only for the final figures)",
    )
    parser.add_argument("--misses", action="store_true", help="list the tune half's misses of the logs space")
    parser.add_argument("--words", action="store_true", help="check each keyword against a large word list")
    args = parser.parse_args(argv)

    from nuvra.semv_core import vectorize_text_c

    rows = read_messages()
    check_plain_model(rows)
    logs, logs_names, plain, how = load_logs(args.toml)
    halves = ["tune", "heldout"] if args.heldout else ["tune"]
    print(f"{len(rows)} messages in {MESSAGES.relative_to(ROOT)}; logs space: {how}")
    batches = (("both", rows), ("first", rows[:FIRST_BATCH]), ("second", rows[FIRST_BATCH:]))
    print(f"{'space':8} {'half':8} {'batch':7} {'messages':>8} {'acceptable':>11} {'zero':>7}")
    for name, vectorize, names in (("default", vectorize_text_c, DEFAULT_AXES), ("logs", logs, logs_names)):
        for half in halves:
            for batch, part in batches:
                n, good, zero = score(vectorize, names, [r for r in part if r[3] == half])
                if n:
                    print(f"{name:8} {half:8} {batch:7} {n:8} {100 * good / n:10.1f}% {100 * zero / n:6.1f}%")
    if args.misses:
        print("\nmisses of the logs space on the tune half (dominant axis / acceptable: message [tokens]):")
        kinds: dict[str, collections.Counter[str]] = {"first": collections.Counter(), "second": collections.Counter()}
        for index, (message, source, axes, half) in enumerate(rows):
            if half != "tune":
                continue
            vector = logs(message)
            axis = dominant(vector, logs_names)
            if axis not in axes:
                print(f"  {axis or 'ZERO'} / {','.join(sorted(axes))}: {message}  [{source}]")
                kinds["first" if index < FIRST_BATCH else "second"][miss_kind(vector, logs_names, axes)] += 1
        for batch, counts in kinds.items():
            print(f"{batch} batch's misses: " + ", ".join(f"{n} {kind}" for kind, n in counts.most_common()))
    if args.words:
        words, used = word_list()
        print(f"\n{len(words)} distinct words of real text ({sum(words.values())} uses) from: " + "; ".join(used))
        print("Each keyword of the logs space: the distinct words it captures as their prefix and by")
        print("bigrams (~), with their uses in that text, and the most used of them.\n")
        print("\n".join(keyword_report(plain, words)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
