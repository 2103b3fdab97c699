"""nuvra plot: what is in a log, as a picture.

First and largest, the lines counted by dominant axis: horizontal bars, the
largest on top, each with its count and share written on it, for any number
of axes. Lines that match no keyword are counted apart, hatched, last. Beside
the bars, for a space of up to four axes, the one map that tells something:
the 2-D histogram (logarithmic colours) of the two axes that hold most lines,
when some lines lie between them; lines on one axis pile up on its 1. The
histograms are added up block by block: memory does not grow with the input.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from nuvra.cli.errors import EXIT_MISSING_EXTRA, EXIT_NOTHING, EXIT_OUTPUT, EXIT_USAGE, UserError

BINS = 50
# Up to this many axes, every pair of axes gets its projection.
MAX_PAIRED_AXES = 4
# Components of text vectors lie in [0, 1], many of them exactly 0 or 1: the
# outer bins are centred on those, so that the lines on an axis stay in view.
_HALF = 0.5 / (BINS - 1)
EDGES = np.linspace(-_HALF, 1.0 + _HALF, BINS + 1)
# The maps show a margin beyond the outer bins, so that no cell lies under a spine.
LIMITS = (EDGES[0] - 0.02, EDGES[-1] + 0.02)
# Axes take colours in order, whatever their names: the default space's fault, security and data
# are red, blue and green.
CYCLE = [
    "tab:red",
    "tab:blue",
    "tab:green",
    "tab:orange",
    "tab:purple",
    "tab:brown",
    "tab:pink",
    "tab:olive",
    "tab:cyan",
]


def pyplot() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError("nuvra: plot needs matplotlib: pip install 'nuvra[plot]'", EXIT_MISSING_EXTRA) from None
    return plt


def check_output(path: str) -> None:
    """The file's extension is one that matplotlib writes: checked before any input is read."""
    plt = pyplot()
    from matplotlib.figure import Figure

    supported = Figure().canvas.get_supported_filetypes()
    extension = os.path.splitext(path)[1].lstrip(".").lower()
    if extension not in supported:
        given = f"'.{extension}'" if extension else "no extension"
        raise UserError(
            f"nuvra: {path}: {given} is not an image format matplotlib writes; use one of: "
            + ", ".join(f".{e}" for e in sorted(supported)),
            EXIT_USAGE,
        )
    del plt


def colours(names: Sequence[str]) -> dict[str, str]:
    """A colour for each axis, in order, and grey for "none"."""
    return {name: CYCLE[i % len(CYCLE)] for i, name in enumerate(names)} | {"none": "tab:gray"}


class Densities:
    """Histograms of the projections (or of each axis) and the count of each dominant axis, added up block by block."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names = list(names)
        k = len(self.names)
        self.projections = [(i, j) for i in range(k) for j in range(i + 1, k)] if k <= MAX_PAIRED_AXES else []
        if not self.projections:
            self.histograms = [np.zeros((k, BINS), dtype=np.int64)]
        else:
            self.histograms = [np.zeros((BINS, BINS), dtype=np.int64) for _ in self.projections]
        self.by_axis = dict.fromkeys([*self.names, "none"], 0)
        self.count = 0

    def add(self, vectors: np.ndarray, axes: Sequence[str]) -> None:
        matched = vectors[np.asarray(axes) != "none"]  # a line without a match is all zeros: no direction
        if not self.projections:
            for i, row in enumerate(self.histograms[0]):
                row += np.histogram(matched[:, i], bins=EDGES)[0].astype(np.int64)
        for histogram, (i, j) in zip(self.histograms, self.projections, strict=False):
            counts, _, _ = np.histogram2d(matched[:, i], matched[:, j], bins=(EDGES, EDGES))
            histogram += counts.astype(np.int64)
        names, counts = np.unique(np.asarray(axes), return_counts=True)
        for name, n in zip(names.tolist(), counts.tolist(), strict=True):
            self.by_axis[name] += n
        self.count += len(vectors)


def draw(densities: Densities, title: str, path: str) -> None:
    if densities.count == 0:
        raise UserError("nuvra: no lines to plot: the input is empty", EXIT_NOTHING)
    plt = pyplot()
    figure = draw_figure(densities, title)
    try:
        figure.savefig(path, dpi=110, bbox_inches="tight")
    except OSError as e:
        raise UserError(f"nuvra: {path}: cannot write: {e.strerror}", EXIT_OUTPUT) from None
    finally:
        plt.close(figure)


def draw_figure(densities: Densities, title: str) -> Any:
    """The figure: the lines counted by dominant axis, as horizontal bars with their counts and
    shares written on them, the largest first; beside them, for a space of up to MAX_PAIRED_AXES
    axes, the one map of the two axes that hold most lines, captioned."""
    plt = pyplot()
    from matplotlib.colors import LogNorm

    k = len(densities.names)
    colour = colours(densities.names)
    total = max(densities.count, 1)
    # The axes by their count, the largest on top; the lines without a match last, apart.
    order = sorted(densities.names, key=lambda n: -densities.by_axis[n])
    names = [*order, "none"]
    counts = [densities.by_axis[n] for n in names]
    pair = _busiest_pair(densities)
    rows = len(names)
    height = max(2.6, 0.32 * rows + 1.4)
    if pair is None:
        figure, bar_pane = plt.subplots(figsize=(8.0, height), layout="constrained")
        map_pane = None
    else:
        figure, (bar_pane, map_pane) = plt.subplots(
            1, 2, figsize=(12.0, max(height, 4.6)), gridspec_kw={"width_ratios": [1.5, 1]}, layout="constrained"
        )
    positions = [*range(len(order)), len(order) + 0.5]  # "no match" after a gap
    bars = bar_pane.barh(
        positions,
        counts,
        color=[colour[n] for n in names],
        hatch=[""] * len(order) + ["//"],
        height=0.75,
    )
    bar_pane.set_yticks(positions, [*order, "no match"])
    bar_pane.invert_yaxis()
    peak = max(max(counts), 1)
    bar_pane.set_xlim(0, peak * 1.32)  # room for the labels of the longest bar
    labels = [f"{n:,}  ({100 * n / total:.1f} %)" for n in counts]
    bar_pane.bar_label(bars, labels=labels, padding=3, fontsize="small")
    bar_pane.xaxis.set_visible(False)
    for side in ("top", "right", "bottom"):
        bar_pane.spines[side].set_visible(False)
    bar_pane.set_title("lines by dominant axis", fontsize="medium", loc="left")
    if k > 24:
        bar_pane.tick_params(axis="y", labelsize="x-small")
    if map_pane is not None and pair is not None:
        i, j, histogram = pair
        masked = np.ma.masked_equal(histogram.T, 0)  # empty bins stay white
        peak_bin = max(int(histogram.max()), 2)
        image = map_pane.pcolormesh(
            EDGES, EDGES, masked, norm=LogNorm(vmin=1, vmax=peak_bin), cmap="viridis", shading="flat"
        )
        map_pane.set_xlabel(densities.names[i])
        map_pane.set_ylabel(densities.names[j])
        map_pane.set_xlim(*LIMITS)
        map_pane.set_ylim(*LIMITS)
        map_pane.set_aspect("equal")
        figure.colorbar(image, ax=map_pane, shrink=0.8, label="lines per bin (log scale)")
        map_pane.set_title(
            f"{densities.names[i]} against {densities.names[j]}: lines on an axis lie at its 1,\n"
            "lines between the two (both matched) inside",
            fontsize="small",
            loc="left",
        )
    unmatched = densities.by_axis["none"]
    apart = f"; {unmatched:,} without a match" if unmatched else ""
    figure.suptitle(f"{title}: {densities.count:,} lines{apart}", fontsize="medium")
    return figure


def _busiest_pair(densities: Densities) -> tuple[int, int, np.ndarray] | None:
    """The projection of the two axes that hold most lines, when it shows lines between them
    (some lines matched both); None otherwise, or when the space has too many axes to pair."""
    if not densities.projections:
        return None
    best = None
    for histogram, (i, j) in zip(densities.histograms, densities.projections, strict=True):
        held = densities.by_axis[densities.names[i]] + densities.by_axis[densities.names[j]]
        if best is None or held > best[0]:
            best = (held, i, j, histogram)
    assert best is not None
    _, i, j, histogram = best
    inside = histogram[1:-1, 1:-1].sum() + histogram[1:-1, 0].sum() + histogram[0, 1:-1].sum()
    return (i, j, histogram) if inside else None
