"""From the problem to the final fit: the folds, the search and choice of each loss, the polish
of the chosen fit on all rows, the variance function and the loss's finish.

Where the noise's spread varies along the inputs, the choice is made again with every row
weighted by the inverse variance function of the first fit's residuals, so that the quiet
stretches weigh in the held-out judgement as much as their noise allows, and the spread is then
measured again from the new fit."""

from __future__ import annotations

from dataclasses import dataclass

from dorv._model.basis import Basis, Degrees, Indices, Mask
from dorv._model.folds import folds, held_out_rows
from dorv._model.losses import Loss
from dorv._model.problem import Fit, Problem
from dorv._model.search import Choice, search_and_choose
from dorv._model.spread import Spread, reweigh

# A fit on fewer rows is polished on all of them by this many steps at most: the robust finish
# refits the rows that the polish keeps, and from the subsample's fit a few steps settle which.
POLISH_STEPS = 4
CHOICES = 2  # choices at most: the first, and one weighted by the spread it found


@dataclass(frozen=True)
class Fitted:
    problem: Problem  # all rows, weighted as the final fit weighs them
    choice: Choice
    basis: Basis
    fit: Fit
    spread: Spread
    n_splits: int


def choose_and_fit(problem: Problem, subsample: Indices | None, cv, groups, losses: list[Loss],
                   limits: Degrees) -> Fitted:
    """The chosen basis fitted to all rows of `problem`, its degrees chosen on the rows of
    `subsample` (None for all) held out by `cv` (with `groups`)."""
    sample, pairs, judges = held_out(problem, subsample, cv, groups)
    judging = problem
    for _ in range(CHOICES):
        choice = search_and_choose(judging.subset(subsample).judged_by(judges), losses, pairs,
                                   limits)
        chosen = judging.with_loss(choice.loss)
        basis = chosen.basis(choice.candidate.degrees, choice.candidate.total)
        fit = polished(chosen, basis, choice)
        judging, fit, spread = reweigh(problem.with_loss(choice.loss), basis, fit)
        if spread.constant:
            break
    return Fitted(judging, choice, basis, judging.loss.finish(judging, basis, fit), spread,
                  len(pairs))


def held_out(problem: Problem, subsample: Indices | None, cv,
             groups) -> tuple[Problem, list, Mask]:
    """The rows of `subsample` (None for all), their folds by `cv` (with `groups`) and the rows
    whose held-out residuals judge: every held-out row but those remote from the bulk."""
    sample = problem.subset(subsample)
    pairs = folds(cv, sample.T, sample.z, groups)
    judges = held_out_rows(pairs, sample.n)
    if sample.remote is not None:
        judges &= ~sample.remote
    return sample, pairs, judges


def polished(problem: Problem, basis: Basis, choice: Choice) -> Fit:
    """The chosen candidate's fit, polished on all rows where it was fitted to fewer."""
    fit = choice.candidate.fit
    if choice.problem.n == problem.n:
        return fit
    return problem.fit(basis, start=fit, max_iter=POLISH_STEPS)
