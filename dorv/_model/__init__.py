"""The model behind ``MDLPolynomialRegressor``, in units that read alone:

- `basis`: the monomials of a tuple of degrees, their design and penalty matrices;
- `problem`: the data in standard units, the settings every fit shares, the scores of a fit;
- `losses`: least squares and the robust biweight, each with its fit, held-out figure, choice
  rule, coefficient covariance and description;
- `candidates`: one basis fitted and judged on held-out folds;
- `search`: the path of degrees and the choice among the candidates;
- `refine`: the tournament sampler's refinement of the chosen fit;
- `inference`: the summary of the coefficients.
"""
