"""Rules that the estimator and the jobs built on it share."""

# The hit tolerance is the core's: HIT_FACTOR * mad of the targets, or HIT_FACTOR itself when
# the mad is not positive (more than half the targets equal, or NaN).
from dorv_core import HIT_FACTOR, hit_tolerance

MAX_DEGREE = 30  # highest degree of one input that the estimator and the jobs accept
# |t| beyond 1 by more than this (5 % of the range's width): far enough outside the training
# range to change the answer; the held-out rows of cross-validation lie nearer
EXTRAPOLATION_MARGIN = 0.1
# What the jobs say when Ctrl-C stops them, and their exit status then (128 + SIGINT).
INTERRUPTED = "dorv: interrupted by Ctrl-C"
INTERRUPTED_STATUS = 130

__all__ = ["EXTRAPOLATION_MARGIN", "HIT_FACTOR", "INTERRUPTED", "INTERRUPTED_STATUS", "MAX_DEGREE",
           "hit_tolerance"]
