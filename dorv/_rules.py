"""Rules that the estimator and the jobs built on it share."""

MAX_DEGREE = 30  # highest degree of one input that the estimator and the jobs accept
HIT_FACTOR = 0.4  # a residual is a hit when it is below this many mads of the targets
# |t| beyond 1 by more than this (5 % of the range's width): far enough outside the training
# range to change the answer; the held-out rows of cross-validation lie nearer
EXTRAPOLATION_MARGIN = 0.1
# What the jobs say when Ctrl-C stops them, and their exit status then (128 + SIGINT).
INTERRUPTED = "dorv: interrupted by Ctrl-C"
INTERRUPTED_STATUS = 130


def hit_tolerance(mad: float) -> float:
    """Hit tolerance for targets whose median absolute deviation is `mad`: HIT_FACTOR * mad,
    or HIT_FACTOR itself when the mad is not positive (more than half the targets equal, or
    NaN)."""
    return HIT_FACTOR * mad if mad > 0.0 else HIT_FACTOR
