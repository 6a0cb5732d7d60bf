"""The path of candidate degrees, and the choice among the candidates it tried.

The candidates are visited along a path rather than over the full grid (13**3 = 2197 tuples at
d = 3 and degree 12): starting from the constant model, every step tries raising the degree of
each variable by one and, for d >= 2, of all variables at once (a product such as x0 * x1
gains nothing from either alone), each as a tensor product and with its total degree bounded;
where none of these makes progress, it also tries raising each by two (an even dependence such
as x**2 gains nothing from an odd degree, an odd one little from an even degree). Progress is
a fall of the best held-out mean square by 2 MIN_GAIN of the reference mean square or, where
the loss tracks its scale, a fall of the smallest in-sample inlier scale by SCALE_GAIN (with
many outliers a low degree explains too few points for the held-out figure to tell such
candidates apart). The path moves to the tried neighbour of the lowest held-out figure and ends
when no neighbour is left (every degree at its limit, or more coefficients than the folds
carry) or after PATIENCE steps without progress. In one variable it is the plain scan of
degrees 0, 1, 2, ... up to a few past the best."""

from __future__ import annotations

from dataclasses import dataclass

from dorv._model.basis import Degrees, count, neighbours, shapes
from dorv._model.candidates import Candidate, evaluate, judge, judged
from dorv._model.efficiency import least_squares_or_robust
from dorv._model.losses import Loss
from dorv._model.problem import Problem, Units, rms

MIN_GAIN = 0.02  # relative fall of the best held-out mean square that counts as progress
SCALE_GAIN = 0.05  # relative fall of the smallest inlier scale that counts as progress too
PATIENCE = (2, 1)  # steps without progress that end the path, in one variable and in several
MAX_COEFS = 120  # no basis of more coefficients


def search(problem: Problem, folds, limits: Degrees, max_coefs: int) -> list[Candidate]:
    """The candidates of the path, in the order tried."""
    current = (0,) * len(limits)
    table = [evaluate(problem, current, None, folds)]
    tried = {current}
    lowest = 0  # the candidate of the lowest held-out figure so far
    scale = table[0].scale
    strikes = 0
    while True:
        judged: list[Candidate] = []
        for jump in (1, 2):
            steps = [s for s in neighbours(current, limits, jump) if s not in tried]
            tried.update(steps)
            judged += [evaluate(problem, degrees, total, folds, table[lowest])
                       for s in steps for degrees, total in shapes(s)
                       if count(degrees, total) <= max_coefs]
            judgement = judge(problem, table + judged)
            figures = judgement.figures
            if _progress(figures[len(table):], figures[lowest], judgement.ref):
                break  # no need to jump by two
        first = len(table)
        table += judged
        if not judged:
            return table
        tighter = (problem.loss.tracks_scale
                   and min(c.scale for c in judged) < (1.0 - SCALE_GAIN) * scale)
        scale = min(scale, *(c.scale for c in judged))
        progress = _progress(figures[first:], figures[lowest], judgement.ref)
        strikes = 0 if tighter or progress else strikes + 1
        if strikes == PATIENCE[len(limits) > 1]:
            return table
        step = min(range(first, len(table)), key=lambda i: figures[i])
        current = table[step].degrees
        if figures[step] < figures[lowest]:
            lowest = step


def max_coefs(loss: Loss, folds) -> int:
    """Coefficients that the smallest training fold determines well (the loss's points per
    coefficient at least, and at most MAX_COEFS)."""
    smallest = min(len(train) for train, _ in folds)
    return max(1, min(MAX_COEFS, smallest // loss.points_per_coef))


def _progress(figures: list[float], best: float, ref: float) -> bool:
    """Whether a figure lowers the best held-out mean square by 2 MIN_GAIN of the reference
    mean square."""
    return any(f**2 < best**2 - 2.0 * MIN_GAIN * ref for f in figures)


@dataclass(frozen=True)
class Choice:
    """The candidates each loss tried on its own rows, the index each chose, and the loss
    chosen."""

    problems: dict[str, Problem]  # the rows each loss's candidates were fitted to
    tables: dict[str, list[Candidate]]
    chosen: dict[str, int]
    loss: Loss
    reason: str  # why this loss, where there was a choice

    @property
    def candidate(self) -> Candidate:
        return self.tables[self.loss.name][self.chosen[self.loss.name]]

    @property
    def problem(self) -> Problem:
        return self.problems[self.loss.name]

    def record(self, units: Units) -> dict:
        """The candidates of every loss tried, their figures as lists, in units of y where they
        have units (``candidates_``)."""
        table = [c for name in self.tables for c in self.tables[name]]
        figures = [f for name in self.tables
                   for f in judge(self.problems[name], self.tables[name]).figures]
        held_out = [rms(judged(self.problems[name], c.held_out))
                    for name in self.tables for c in self.tables[name]]
        y = units.y_scale
        return {
            "loss": [name for name in self.tables for _ in self.tables[name]],
            "degrees": [c.degrees for c in table],
            "total_degree": [c.total for c in table],
            "n_coefs": [c.n_coefs for c in table],
            "mdl": [c.mdl for c in table],
            "hit_rate": [c.hit_rate for c in table],
            "rms": [c.rms * y for c in table],
            "scale": [c.scale * y for c in table],
            "cv_mdl": [c.cv_mdl for c in table],
            "cv_rms": [r * y for r in held_out],
            "cv_loss": [f * y for f in figures],
            "chosen": [c is self.candidate for c in table],
            "coef": [units.coef(c.fit.beta) for c in table],
        }


def search_and_choose(problem: Problem, losses: list[Loss], pairs, limits: Degrees) -> Choice:
    """Each loss's path and choice; with both losses, the robust choice unless least squares
    fits the held-out rows as well (see `efficiency`)."""
    problems, tables, chosen = {}, {}, {}
    for loss in losses:
        own = problems[loss.name] = problem.with_loss(loss)
        tables[loss.name] = search(own, pairs, limits, max_coefs(loss, pairs))
        chosen[loss.name] = choose(own, tables[loss.name], pairs)
    if len(losses) == 1:
        return Choice(problems, tables, chosen, losses[0], "")
    robust, squares = losses
    verdict = least_squares_or_robust(problem, problems[robust.name],
                                      tables[robust.name][chosen[robust.name]],
                                      problems[squares.name],
                                      tables[squares.name][chosen[squares.name]])
    return Choice(problems, tables, chosen, squares if verdict.least_squares else robust,
                  verdict.reason)


def choose(problem: Problem, table: list[Candidate], folds) -> int:
    """Index of the chosen candidate: the loss's preferred one among those as good as the best
    on held-out points."""
    good = problem.loss.good(problem, table, judge(problem, table), folds)
    return min(good, key=lambda i: problem.loss.preference(table[i], problem))
