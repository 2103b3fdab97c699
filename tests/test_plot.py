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


def close(figure):
    import matplotlib.pyplot as plt

    plt.close(figure)


def test_lines_without_a_match_are_counted_apart_not_at_the_origin():
    densities = densities_of([[0, 0, 0]] * 5 + [[1, 0, 0], [0, 0, 1], [0.6, 0.8, 0]])
    assert densities.count == 8 and densities.by_axis["none"] == 5
    assert [int(h.sum()) for h in densities.histograms] == [3, 3, 3]
    # the data line is at the origin of the x-y map, as it should be; nothing else is
    assert int(densities.histograms[0][0, 0]) == 1
    figure = plot.draw_figure(densities, "app.log")
    try:
        assert figure._suptitle.get_text() == "app.log: 8 lines; 5 without a match"
        bars = figure.axes[0]
        assert [t.get_text() for t in bars.get_yticklabels()][-1] == "no match"
    finally:
        close(figure)


def test_the_bars_say_counts_and_shares_largest_first_and_the_map_keeps_every_cell_in_view():
    densities = densities_of([[1, 0, 0], [0, 1, 0], [0, 0, 1], [0.6, 0.8, 0]])
    densities.by_axis.update(fault=3_000_000, security=2_500_000, data=1_000_001, none=0)
    densities.count = 6_500_001
    figure = plot.draw_figure(densities, "big.log")
    try:
        figure.canvas.draw()
        bars = figure.axes[0]
        assert [t.get_text() for t in bars.get_yticklabels()] == ["fault", "security", "data", "no match"]
        written = [t.get_text() for t in bars.texts]
        assert written[0] == f"3,000,000  ({100 * 3_000_000 / 6_500_001:.1f} %)" and written[-1] == "0  (0.0 %)"
        # fault and security hold most lines and one line lies between them: their map is drawn
        pane = figure.axes[1]
        assert (pane.get_xlabel(), pane.get_ylabel()) == ("fault", "security")
        low, high = pane.get_xlim()
        assert low < plot.EDGES[0] and high > plot.EDGES[-1] and pane.get_ylim() == (low, high)
        assert "against" in pane.get_title(loc="left")
    finally:
        close(figure)


def test_a_map_without_lines_between_axes_is_left_out():
    figure = plot.draw_figure(densities_of([[1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 0, 0]]), "a.log")
    try:
        assert len(figure.axes) == 1
    finally:
        close(figure)


@pytest.mark.parametrize("k", [5, 16, 64])
def test_any_number_of_axes_is_readable_at_the_size_it_is_saved(tmp_path, k):
    names = [f"axis{i}" for i in range(k)]
    rng = np.random.default_rng(k)
    vectors = rng.random((500, k)) * (rng.random((500, k)) < 0.1)
    densities = plot.Densities(names)
    densities.add(vectors, dominant_axes(vectors, names))
    path = tmp_path / "many.png"
    plot.draw(densities, "many.log", str(path))
    import struct

    width, height = struct.unpack(">II", path.read_bytes()[16:24])
    assert width <= 1400 and height <= 110 * (0.32 * (k + 1) + 2.5)
    # the rows stay at least 10 pixels apart, every axis named
    assert height / (k + 1) >= 10
    figure = plot.draw_figure(densities, "many.log")
    try:
        shown = [t.get_text() for t in figure.axes[0].get_yticklabels()]
        assert sorted(shown[:-1]) == sorted(names) and shown[-1] == "no match"
        counts = [densities.by_axis[n] for n in shown[:-1]]
        assert counts == sorted(counts, reverse=True)
    finally:
        close(figure)
