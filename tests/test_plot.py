"""nuvra plot's figure as a person reads it: every cell in view, the lines without a match
apart, counts written whole."""

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from nuvra import Space  # noqa: E402
from nuvra.cli import dominant_axes, plot  # noqa: E402

AXES = Space.default().axes


def densities_of(vectors) -> plot.Densities:
    densities = plot.Densities(AXES)
    vectors = np.asarray(vectors, dtype=np.float64)
    densities.add(vectors, dominant_axes(vectors, AXES))
    return densities


def test_lines_without_a_match_are_counted_apart_not_at_the_origin():
    densities = densities_of([[0, 0, 0]] * 5 + [[1, 0, 0], [0, 0, 1], [0.6, 0.8, 0]])
    assert densities.count == 8 and densities.by_axis["none"] == 5
    assert [int(h.sum()) for h in densities.histograms] == [3, 3, 3]
    # the data line is at the origin of the x-y map, as it should be; nothing else is
    assert int(densities.histograms[0][0, 0]) == 1
    figure = plot.draw_figure(densities, "app.log")
    try:
        assert figure._suptitle.get_text() == "app.log: 8 lines in the semantic space; 5 without a match, counted apart"
        bars = figure.axes[3]
        assert [t.get_text() for t in bars.get_xticklabels()][-1].startswith("no match")
    finally:
        import matplotlib.pyplot as plt

        plt.close(figure)


def test_every_cell_is_in_view_and_counts_have_no_offset():
    densities = densities_of([[1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 1]])
    densities.by_axis.update(fault=3_000_000, security=2_500_000, data=1_000_001)
    densities.count = 6_500_004
    figure = plot.draw_figure(densities, "big.log")
    try:
        figure.canvas.draw()
        for pane in figure.axes[:3]:
            # the outer bins, centred on 0 and 1, lie inside the limits with a margin to the spines
            low, high = pane.get_xlim()
            assert low < plot.EDGES[0] and high > plot.EDGES[-1]
            assert pane.get_ylim() == (low, high)
        bars = figure.axes[3]
        assert bars.yaxis.get_offset_text().get_text() == ""
        labels = [t.get_text() for t in bars.get_yticklabels() if t.get_text()]
        assert "3,000,000" in labels and all("e" not in label for label in labels)
    finally:
        import matplotlib.pyplot as plt

        plt.close(figure)
