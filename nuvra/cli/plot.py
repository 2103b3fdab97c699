"""nuvra plot: where the lines lie in the semantic space, as densities.

Lines pile up on the same few points (every line with one matched keyword
lies on an axis), so each projection is a 2-D histogram with a logarithmic
colour scale, and a bar chart counts the lines by dominant axis. Lines that
match no keyword have no direction: they are counted apart (a bar of their
own and the title), not piled at the origin of every map. The histograms are
added up block by block: memory does not grow with the input.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from nuvra.cli.errors import EXIT_MISSING_EXTRA, EXIT_NOTHING, EXIT_OUTPUT, EXIT_USAGE, UserError

AXIS_NAMES = ("x (faults)", "y (security)", "z (data)")
PROJECTIONS = ((0, 1), (0, 2), (1, 2))
BINS = 50
# Components of text vectors lie in [0, 1], many of them exactly 0 or 1: the
# outer bins are centred on those, so that the lines on an axis stay in view.
_HALF = 0.5 / (BINS - 1)
EDGES = np.linspace(-_HALF, 1.0 + _HALF, BINS + 1)
# The maps show a margin beyond the outer bins, so that no cell lies under a spine.
LIMITS = (EDGES[0] - 0.02, EDGES[-1] + 0.02)
COLOURS = {"fault": "tab:red", "security": "tab:blue", "data": "tab:green", "none": "tab:gray"}


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


class Densities:
    """Histograms of the three projections and the count of each dominant axis, added up block by block."""

    def __init__(self) -> None:
        self.histograms = [np.zeros((BINS, BINS), dtype=np.int64) for _ in PROJECTIONS]
        self.by_axis = dict.fromkeys(COLOURS, 0)
        self.count = 0

    def add(self, vectors: np.ndarray, axes: Sequence[str]) -> None:
        matched = vectors[np.asarray(axes) != "none"]  # a line without a match is [0, 0, 0]: no direction
        for histogram, (i, j) in zip(self.histograms, PROJECTIONS, strict=True):
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
    """The figure: the three maps with their colour bar, and the bar chart of dominant axes."""
    plt = pyplot()
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import StrMethodFormatter

    figure, panes = plt.subplots(
        1, 4, figsize=(18, 4.8), gridspec_kw={"width_ratios": [1, 1, 1, 0.9]}, layout="constrained"
    )
    peak = max(int(h.max()) for h in densities.histograms)
    norm = LogNorm(vmin=1, vmax=max(peak, 2))
    image = None
    for pane, histogram, (i, j) in zip(panes[:3], densities.histograms, PROJECTIONS, strict=True):
        masked = np.ma.masked_equal(histogram.T, 0)  # empty bins stay white
        image = pane.pcolormesh(EDGES, EDGES, masked, norm=norm, cmap="viridis", shading="flat")
        pane.set_xlabel(AXIS_NAMES[i])
        pane.set_ylabel(AXIS_NAMES[j])
        pane.set_xlim(*LIMITS)
        pane.set_ylim(*LIMITS)
        pane.set_aspect("equal")
    figure.colorbar(image, ax=list(panes[:3]), shrink=0.9, label="lines per bin (log scale)")
    # The lines without a match stand apart, after a gap, hatched: they are in no map.
    names = ["fault", "security", "data", "none"]
    bars = panes[3].bar(
        [0, 1, 2, 3.6],
        [densities.by_axis[n] for n in names],
        color=[COLOURS[n] for n in names],
        hatch=["", "", "", "//"],
        tick_label=["fault", "security", "data", "no match\n(not in maps)"],
    )
    panes[3].bar_label(bars, labels=[f"{densities.by_axis[n]:,}" for n in names], fontsize="small")
    panes[3].set_title("lines by dominant axis", fontsize="medium")
    panes[3].set_ylabel("lines")
    # Counts written whole, with separators: never an offset ("1e6") or a scientific tick.
    panes[3].yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    unmatched = densities.by_axis["none"]
    apart = f"; {unmatched:,} without a match, counted apart" if unmatched else ""
    figure.suptitle(f"{title}: {densities.count:,} lines in the semantic space{apart}")
    return figure
