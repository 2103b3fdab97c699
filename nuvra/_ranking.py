"""The k best rows of scores given a chunk at a time, without numpy.

What nuvra.most_similar (columns in chunks) and the command's similar (lines in
blocks) both rank with. Rows rank by score, highest first; among equal scores,
by how many of the query's words they hold, most first, when the query has
words; then by input order. Only rows scoring above 0 and at least min_score
rank, and NaN never does. Memory is O(k + chunk): the words of a row are
counted, and its item made, only when its score can place it among the k best.
numpy is not imported here, so that the command starts without it.
"""

from __future__ import annotations

import bisect
from collections.abc import Callable, Sequence
from itertools import repeat
from operator import itemgetter, neg
from typing import Any, Protocol

from nuvra import _batch

__all__ = ["Ranker", "Scores"]

# The item of a row whose item is not made yet: rows that do not stay never get one.
_PENDING: Any = None


class Scores(Protocol):
    """The scores of a chunk's rows: a float64 buffer that indexes to floats (an array("d"), or a
    memoryview of float64)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> float: ...


class Ranker[T]:
    """The k best rows seen so far, each with its item, and how many rows share the k-th best score.

    add() takes a chunk's scores, and two functions of rows of the chunk (ascending, counted from
    its first row): held, how many of the query's words each holds, and items, the item kept for
    each (what the caller needs of the row once the chunk is gone)."""

    def __init__(self, k: int, min_score: float = 0.0, words: int = 0, count_ties: bool = False) -> None:
        self.k = k
        self.min_score = min_score
        self.words = words  # how many words the query has; with none, input order alone breaks ties
        # (-score, -words held, order, item), best first: tuples that sort in rank order by themselves,
        # the order telling every two rows apart before the items are compared.
        self._best: list[tuple[float, int, int, T]] = []
        # With count_ties, rows per score, complete for every score from the k-th up (for ties()).
        self.count_ties = count_ties
        self._counts: dict[float, int] = {}
        self.order = 0  # the rows added so far: the order of the next chunk's first row
        self.positive = 0  # rows that scored above 0

    @property
    def best(self) -> list[tuple[float, int, int, T]]:
        """(score, words of the query held, order, item) of the k best rows so far, best first."""
        return [(-score, -held, order, item) for score, held, order, item in self._best]

    def ranks(self, score: float) -> bool:
        return score > 0.0 and score >= self.min_score

    def threshold(self) -> float:
        """The k-th best score once k rows rank: no row scoring less can enter."""
        return -self._best[-1][0] if self.k and len(self._best) == self.k else -float("inf")

    def ties(self) -> int:
        """Rows with the k-th best score, among the best or not (counted with count_ties)."""
        return self._counts.get(-self._best[-1][0], 0) if self._best else 0

    def can_enter(self) -> bool:
        """Whether a later row with the k-th score could still displace the k-th row."""
        return len(self._best) < self.k or -self._best[-1][1] < self.words

    def add(
        self,
        scores: Scores,
        held: Callable[[list[int]], Sequence[int]] | None = None,
        items: Callable[[list[int]], Sequence[T]] | None = None,
    ) -> None:
        """Ranks a chunk's rows, which follow those added before in input order."""
        self.positive += _batch.count_above(scores, 0.0)
        rows, ties = _batch.top(scores, self.k)
        # The chunk's rows that can enter the best or share its k-th score: those that rank and
        # score at least the k-th best so far, a prefix of its k best, which come best first.
        floor = self.threshold()
        end = bisect.bisect_left(rows, True, key=lambda i: not (self.ranks(scores[i]) and scores[i] >= floor))
        kept = rows[:end]
        if kept:
            last = scores[kept[-1]]
            at_last = len(kept) - bisect.bisect_left(kept, -last, key=lambda i: -scores[i])
            if end < len(rows):
                # Rows of the k best were left out, each scoring less than last: every row of the
                # chunk that scores last is kept.
                ties = at_last
            if self.count_ties:
                self._count(scores, kept, ties)
            # Only rows scoring at least the k-th best of the best so far and these can stay.
            entering = kept[: bisect.bisect_right(kept, -self._kth(scores, kept), key=lambda i: -scores[i])]
            self._merge(scores, entering, held, items)
            # Rows that share the k-th score but were not among the chunk's k best: with the query's
            # words, one of them may hold more of them than a row kept.
            if self.words and ties > at_last and last == self.threshold() and self.can_enter():
                above = len(kept) - at_last
                self._merge(scores, _batch.top(scores, above + ties)[0][len(kept) :], held, items)
            if len(self._counts) > 2 * len(self._best) + 16:
                # Scores below the k-th best can be the k-th no more.
                floor = self.threshold()
                self._counts = {s: n for s, n in self._counts.items() if s >= floor}
        self.order += len(scores)

    def _kth(self, scores: Scores, kept: list[int]) -> float:
        """The k-th best score of the best so far and rows kept, or -inf with fewer than k."""
        m = len(kept)
        if len(self._best) + m < self.k:
            return -float("inf")
        # A row among the first k - 1 - m of the best has at most m rows kept above it: it ranks
        # above the k-th, which is then among the rest.
        skipped = max(0, self.k - 1 - m)
        merged = sorted([*map(itemgetter(0), self._best[skipped:]), *map(neg, map(scores.__getitem__, kept))])
        kth: float = -merged[self.k - 1 - skipped]
        return kth

    def _count(self, scores: Scores, rows: list[int], ties: int) -> None:
        """Adds the chunk's rows kept per score. A score above the last row's is held only by rows
        kept; ties is the count of the last one's score."""
        counts = self._counts
        last = scores[rows[-1]]
        for i in rows:
            if scores[i] != last:
                counts[scores[i]] = counts.get(scores[i], 0) + 1
        counts[last] = counts.get(last, 0) + ties

    def _merge(
        self,
        scores: Scores,
        rows: list[int],
        held: Callable[[list[int]], Sequence[int]] | None,
        items: Callable[[list[int]], Sequence[T]] | None,
    ) -> None:
        """Adds rows of the chunk to the best, keeping the k best."""
        if not rows:
            return
        if self.words and held is not None:
            rows = sorted(rows)  # as held and items take them
            counts = list(held(rows))
        else:
            counts = [0] * len(rows)
        if len(rows) > self.k:
            # (Only the rows tied at the k-th score, with the query's words, are ever more than k;
            # they are ascending.) Only the chunk's k best can stay. They are chosen by two stable sorts of positions,
            # by words held and then by score, both descending (equal keys keep input order),
            # whose keys are looked up in C: thousands of tied rows cost no entry each.
            row_scores = list(map(scores.__getitem__, rows))
            chosen = sorted(range(len(rows)), key=counts.__getitem__, reverse=True)
            chosen.sort(key=row_scores.__getitem__, reverse=True)
            del chosen[self.k :]
            rows, counts = [rows[j] for j in chosen], [counts[j] for j in chosen]
        base = self.order
        new = list(
            zip(map(neg, map(scores.__getitem__, rows)), map(neg, counts), map(base.__add__, rows), repeat(_PENDING))
        )
        new.sort()
        # A new row stays when fewer than k rows rank before it: the new ones before it, and those of
        # the best so far, found by bisection. Both grow along the new rows: those that stay come first.
        if len(self._best) + len(new) > self.k:
            best, k = self._best, self.k
            stay = bisect.bisect_left(range(len(new)), True, key=lambda j: bisect.bisect_left(best, new[j]) + j >= k)
            del new[stay:]
        if not new:
            return
        if items is not None:
            # Only the rows that stay get their item (a decoded line, say).
            by_row = sorted(range(len(new)), key=lambda j: new[j][2])
            made = items([new[j][2] - base for j in by_row])
            for j, item in zip(by_row, made, strict=True):
                new[j] = (*new[j][:3], item)
        best = self._best + new
        best.sort()  # two runs, each in rank order: merged in one pass
        del best[self.k :]
        # The best change in one step, so that a Ctrl-C at any point leaves them whole
        # (similar prints them then).
        self._best = best
