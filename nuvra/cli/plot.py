"""nuvra plot: where the lines lie in the semantic space, as densities.

Lines pile up on the same few points (every line with one matched keyword
lies on an axis), so each projection onto two axes is a 2-D histogram with a
logarithmic colour scale, and a bar chart counts the lines by dominant axis.
A space of more than four axes (more than six projections) shows instead
each axis's components as one row of a histogram. Lines that match no
keyword have no direction: they are counted apart (a bar of their own and
the title), not piled at the origin of every map. The histograms are added
up block by block: memory does not grow with the input.
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
    """The figure: the maps with their colour bar, and the bar chart of dominant axes."""
    plt = pyplot()
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import StrMethodFormatter

    k = len(densities.names)
    maps = max(len(densities.projections), 1)
    wide = max(0.9, 0.25 * (k + 2))
    figure, panes = plt.subplots(
        1,
        maps + 1,
        figsize=(4.5 * maps + 4 * wide, 4.8 if densities.projections else max(4.8, 0.3 * k + 1.5)),
        gridspec_kw={"width_ratios": [1] * maps + [wide]},
        layout="constrained",
    )
    peak = max(int(h.max()) for h in densities.histograms)
    norm = LogNorm(vmin=1, vmax=max(peak, 2))
    image = None
    if not densities.projections:
        pane = panes[0]
        masked = np.ma.masked_equal(densities.histograms[0], 0)
        image = pane.pcolormesh(EDGES, np.arange(k + 1), masked, norm=norm, cmap="viridis", shading="flat")
        pane.set_yticks(np.arange(k) + 0.5, densities.names)
        pane.invert_yaxis()
        pane.set_xlabel("component")
        pane.set_xlim(*LIMITS)
    for pane, histogram, (i, j) in zip(panes[:maps], densities.histograms, densities.projections, strict=False):
        masked = np.ma.masked_equal(histogram.T, 0)  # empty bins stay white
        image = pane.pcolormesh(EDGES, EDGES, masked, norm=norm, cmap="viridis", shading="flat")
        pane.set_xlabel(densities.names[i])
        pane.set_ylabel(densities.names[j])
        pane.set_xlim(*LIMITS)
        pane.set_ylim(*LIMITS)
        pane.set_aspect("equal")
    figure.colorbar(image, ax=list(panes[:maps]), shrink=0.9, label="lines per bin (log scale)")
    colour = colours(densities.names)
    names = list(colour)  # the axes, then "none"
    # The lines without a match stand apart, after a gap, hatched: they are in no map.
    positions = [*range(k), k + 0.6]
    bar_pane = panes[maps]
    bars = bar_pane.bar(
        positions,
        [densities.by_axis[n] for n in names],
        color=[colour[n] for n in names],
        hatch=[""] * k + ["//"],
        tick_label=[*densities.names, "no match\n(not in maps)"],
    )
    bar_pane.bar_label(bars, labels=[f"{densities.by_axis[n]:,}" for n in names], fontsize="small")
    bar_pane.set_title("lines by dominant axis", fontsize="medium")
    bar_pane.set_ylabel("lines")
    # Counts written whole, with separators: never an offset ("1e6") or a scientific tick.
    bar_pane.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    if k > 3:
        bar_pane.tick_params(axis="x", labelrotation=90)
    unmatched = densities.by_axis["none"]
    apart = f"; {unmatched:,} without a match, counted apart" if unmatched else ""
    figure.suptitle(f"{title}: {densities.count:,} lines in the semantic space{apart}")
    return figure
