"""Rules that the estimator and the jobs built on it share."""

# The hit tolerance is the core's: HIT_FACTOR * mad of the targets, or HIT_FACTOR itself when
# the mad is not positive (more than half the targets equal, or NaN).
from dorv_core import HIT_FACTOR, hit_tolerance

MAX_DEGREE = 30  # highest degree of one input that the estimator and the jobs accept
EXTRAPOLATION_MARGIN = 0.02  # |t| beyond 1 by more than this: outside the training range

__all__ = ["EXTRAPOLATION_MARGIN", "HIT_FACTOR", "MAX_DEGREE", "hit_tolerance"]
