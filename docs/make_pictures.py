"""Draws the README's pictures of fits at 10^2, 10^4 and 10^6 points: a curve and a surface,
each clean and with 20 % gross outliers, and an image (a smooth background under a few hundred
bright stars, 1000 x 1000 pixels as 10^6 points of two inputs). Seeded: the same pictures on
every run.

    PYTHONPATH=<build>:. python docs/make_pictures.py [--out docs/pictures] [--sizes 100 10000]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
from PIL import Image

from dorv import MDLPolynomialRegressor, plots

SIZES = (100, 10_000, 1_000_000)
CONTAMINATION = 0.2
DPI = 80


def curve(n: int, rng: np.random.Generator):
    """The damped sine of the shipped curve sample, noise sd 0.05, x uniform on [0, 10]."""
    x = rng.uniform(0.0, 10.0, n)
    y = 1.5 + 2.0 * np.exp(-x / 5.0) * np.sin(1.1 * x) + rng.normal(0.0, 0.05, n)
    return x[:, None], y, (-0.5, 4.0)


def surface(n: int, rng: np.random.Generator):
    """The ripple of the shipped surface sample, noise sd 0.05, u on [0, 4], v on [-1, 2]."""
    u = rng.uniform(0.0, 4.0, n)
    v = rng.uniform(-1.0, 2.0, n)
    w = 1.0 + 0.5 * u - 0.3 * v**2 + np.sin(1.2 * u) * np.cos(0.8 * v) + rng.normal(0.0, 0.05, n)
    return np.column_stack([u, v]), w, (-2.0, 5.0)


def image(rng: np.random.Generator, side: int = 1000, stars: int = 300):
    """A smooth sky from about 76 to 101 counts with noise sd 1, under bright stars: Gaussian
    spots of width 1.5 pixels and peaks from 50 to 1000 counts."""
    u, v = np.meshgrid(np.arange(side, dtype=float), np.arange(side, dtype=float))
    s, t = u / side, v / side
    sky = 80.0 + 12.0 * s + 8.0 * t * t - 6.0 * s * t + 4.0 * np.sin(2.5 * s) * np.cos(2.0 * t)
    y = sky + rng.normal(0.0, 1.0, sky.shape)
    centres = rng.uniform(0.0, side, (stars, 2))
    peaks = rng.uniform(50.0, 1000.0, stars)
    for (cu, cv), peak in zip(centres, peaks):
        lo_u, hi_u = max(0, int(cu) - 6), min(side, int(cu) + 7)
        lo_v, hi_v = max(0, int(cv) - 6), min(side, int(cv) + 7)
        du, dv = u[lo_v:hi_v, lo_u:hi_u] - cu, v[lo_v:hi_v, lo_u:hi_u] - cv
        y[lo_v:hi_v, lo_u:hi_u] += peak * np.exp(-(du * du + dv * dv) / (2 * 1.5**2))
    return np.column_stack([u.ravel(), v.ravel()]), y.ravel()


def contaminate(y: np.ndarray, span: tuple[float, float], rng: np.random.Generator):
    """A fifth of the values replaced by values uniform over span."""
    bad = rng.choice(y.size, int(CONTAMINATION * y.size), replace=False)
    y = y.copy()
    y[bad] = rng.uniform(*span, bad.size)
    return y


def draw(X, y, names, title: str, path: Path) -> None:
    start = time.perf_counter()
    model = MDLPolynomialRegressor(random_state=0).fit(X, y)
    fitted = time.perf_counter()
    fig = plots.figure(model, X, y, x_names=names[:-1], y_name=names[-1], source=title)
    plots.save(fig, str(path), dpi=DPI)
    # 256 colours, chosen by octree without dithering, keep the files small and the pictures
    # as they were drawn.
    with Image.open(path) as picture:
        small = picture.convert("RGB").quantize(256, method=Image.Quantize.FASTOCTREE,
                                                dither=Image.Dither.NONE)
    small.save(path, optimize=True)
    print(f"{path}: fit {fitted - start:.1f} s, drawn {time.perf_counter() - fitted:.1f} s, "
          f"{path.stat().st_size // 1024} KB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(Path(__file__).parent / "pictures"))
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES)
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    for kind, make, names in (("curve", curve, ["x", "y"]), ("surface", surface, ["u", "v", "w"])):
        for n in args.sizes:
            for dirty in (False, True):
                rng = np.random.default_rng(n)
                X, y, span = make(n, rng)
                if dirty:
                    y = contaminate(y, span, rng)
                what = "20 % outliers" if dirty else "clean"
                draw(X, y, names, f"{kind}, {n:,} points, {what}",
                     out / f"{kind}-{n:.0e}-{'outliers' if dirty else 'clean'}.png"
                     .replace("+0", ""))
    X, y = image(np.random.default_rng(2024))
    draw(X, y, ["column", "row", "counts"], "sky image, 1000 x 1000 pixels", out / "image.png")


if __name__ == "__main__":
    main()
