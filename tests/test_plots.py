"""The pictures of a fit: drawn at any size without warnings, from the data's own ranges."""

import io

import numpy as np
import pytest

pytest.importorskip("matplotlib")
from matplotlib.collections import PathCollection, PolyCollection  # noqa: E402
from matplotlib.contour import ContourSet  # noqa: E402

from dorv import MDLPolynomialRegressor, plots  # noqa: E402


def data(n, d, outliers=0.0, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, (n, d))
    y = 10.0 + np.sin(2.0 * X[:, 0]) + X[:, -1] ** 2 + rng.normal(0.0, 0.05, n)
    bad = rng.random(n) < outliers
    y[bad] = rng.uniform(0.0, 20.0, bad.sum())
    return X, y


def fitted(X, y):
    return MDLPolynomialRegressor(refine=False, random_state=0).fit(X, y)


def points_drawn(fig):
    return sum(len(c.get_offsets()) for a in fig.axes for c in a.collections
               if isinstance(c, PathCollection))


@pytest.mark.parametrize("d", [1, 2, 3], ids=["curve", "surface", "three-inputs"])
@pytest.mark.parametrize("n", [150, plots.DENSE + 5000], ids=["points", "density"])
def test_draws_at_any_size(n, d):
    # 30 % gross outliers: at scale the data become a density and the marked outliers a
    # sample of at most MARKED; every picture draws without a warning (warnings are errors).
    X, y = data(n, d, outliers=0.3)
    m = fitted(X, y)
    fig = plots.figure(m, X, y, source="dir/table.csv")
    fig.savefig(io.BytesIO(), format="png", dpi=40)
    hexagons = [c for a in fig.axes for c in a.collections
                if isinstance(c, PolyCollection) and c.get_array() is not None]
    assert bool(hexagons) == (n > plots.DENSE and d != 2)
    assert "table.csv\n" in (fig.axes[0].get_title() + fig.get_suptitle())
    if n > plots.DENSE:  # about 2400 outliers
        assert points_drawn(fig) == plots.MARKED * (2 if d == 3 else 1)
        legend = " ".join(t.get_text() for t in fig.legends[0].texts)
        assert f"({plots.MARKED:,} drawn)" in " ".join(legend.split())


def test_outliers_marked_only_beyond_the_band():
    X, y = data(300, 1, outliers=0.1)
    m = fitted(X, y)
    marked = plots._beyond_band(m, X, y)
    lower, upper = m.predict_interval(X)
    assert set(marked) <= set(np.flatnonzero(~m.inlier_mask_))
    assert np.all((y[marked] < lower[marked]) | (y[marked] > upper[marked]))
    assert marked.size >= 0.8 * 30  # most of the 10 % gross outliers


def test_surface_colours_come_from_the_data_not_the_corners():
    # Points along a diagonal band: a cubic surface shoots off in the empty corners of the
    # bounding box, which are left out; the colours span the targets' quantiles.
    rng = np.random.default_rng(3)
    s = rng.uniform(-1.0, 1.0, 200)
    X = np.column_stack([s, s + rng.uniform(-0.15, 0.15, 200)])
    y = 5.0 + 3.0 * s**3 + X[:, 1] ** 2 + rng.normal(0.0, 0.05, 200)
    m = fitted(X, y)
    fig = plots.figure(m, X, y)
    (surface,) = [c for c in fig.axes[0].collections if isinstance(c, ContourSet) and c.filled]
    lo, hi = np.quantile(y, plots.COLOUR_QUANTILES)
    step = np.diff(surface.levels)[0]
    assert lo - step <= surface.levels[0] and surface.levels[-1] <= hi + step
    box = np.linspace(X.min(axis=0), X.max(axis=0), 50)
    extrapolated = m.predict(np.array(np.meshgrid(*box.T)).reshape(2, -1).T)
    assert extrapolated.min() < surface.levels[0] - step  # beyond the colours, left out


def test_surface_masked_outside_the_hull():
    # Data in the triangle u, v >= 0, u + v <= 1: the grid's nodes beyond u + v = 1 are out.
    rng = np.random.default_rng(4)
    X = rng.uniform(0.0, 1.0, (4000, 2))
    X = X[X.sum(axis=1) <= 1.0]
    X = np.vstack([X, [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]])
    region = plots._region(X)
    total = region.g0 + region.g1
    assert region.inside[total <= 0.99].all() and not region.inside[total >= 1.01].any()
    assert region.inside[0, 0] and region.inside[0, -1] and region.inside[-1, 0]  # corners


@pytest.mark.parametrize("X", [[[0.0, 1.0], [1.0, 1.0], [2.0, 1.0]],
                               [[0.0, 0.0], [1.0, 1.0], [2.0, 2.0]],
                               [[0.0, 0.0], [1.0, 1.0], [2.0, 2.001]]],
                         ids=["one-value", "on-a-line", "hardly-any-area"])
def test_no_surface_without_an_area(X):
    assert plots._region(np.array(X)) is None


def test_residual_scale_is_symmetric_and_robust():
    X, y = data(400, 2, outliers=0.1)
    m = fitted(X, y)
    fig = plots.figure(m, X, y)
    (dots,) = [c for c in fig.axes[1].collections if isinstance(c, PathCollection)
               and c.get_array() is not None]
    r = y - m.predict(X)
    top = np.quantile(np.abs(r[m.inlier_mask_]), plots.RESIDUAL_QUANTILE)
    assert dots.norm.vmin == -dots.norm.vmax == pytest.approx(-top)
    assert top < 0.2 < np.abs(r).max()  # set by the noise (0.05), not by the outliers


def test_figure_refuses_other_data():
    X, y = data(100, 1)
    with pytest.raises(ValueError, match="training data"):
        plots.figure(fitted(X, y), X[:50], y[:50])


def test_long_labels_stay_inside_the_figure():
    # A sampler that ran and was not kept is drawn with its reason, which can be long.
    X, y = data(200, 1)
    m = fitted(X, y)
    m.sampler_ = dict(ran=True, kept=False, coef=m.coef_ * 1.01, mdl=3.0,
                      reason="more hits at a lower MDL, but run again without one fold it did "
                             "worse on that fold than the fit")
    fig = plots.figure(m, X, y)
    fig.canvas.draw()
    box, page = fig.legends[0].get_window_extent(), fig.bbox
    assert page.x0 <= box.x0 and box.x1 <= page.x1 and page.y0 <= box.y0


@pytest.mark.parametrize("d", [1, 2], ids=["curve", "surface"])
def test_a_model_fitted_on_a_frame(d):
    # Its grids are predicted with the frame's column names (no warning), which name the axes.
    pd = pytest.importorskip("pandas")
    X, y = data(150, d)
    frame = pd.DataFrame(X, columns=["speed", "load"][:d])
    fig = plots.figure(fitted(frame, y), frame, y)
    assert fig.axes[0].get_xlabel() == "speed"
