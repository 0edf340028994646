"""Re-solving one problem structure with new data instead of building it afresh.

`portfolio_optimize` builds its cvxpy problem anew on every call. Over a schedule of
dates the problem for an unchanged pool keeps its structure (the same atoms over
the same variables) and only its numbers change: covariance factors, exposures,
bounds relative to the benchmark, the holding of a turnover limit. Compiling the
problem for the solver costs several times the solve itself, so a rebalance keeps
one compiled copy per structure, with a `cp.Parameter` in place of every part of
the expressions that holds no variable, and gives it the new date's values.

`ReusingCvxpy` stands in for the cvxpy module inside `vantelo.optimize` (the driver
looks its modules up at call time); everything but `Problem` is cvxpy's own. The
objective and constraint code, the helper and the driver's checks run unchanged,
so a caller's own objective or constraint subclass is covered too. A structure
that cannot be expressed with parameters under cvxpy's rules for parametrised
problems (a dense covariance in `quad_form`, a product of two data terms, a
constraint kind other than equalities and inequalities) is solved as built.
"""

from __future__ import annotations

import hashlib
import warnings
from collections import OrderedDict

import cvxpy as cp
import numpy as np
from cvxpy.atoms.affine.add_expr import AddExpression
from cvxpy.atoms.affine.binary_operators import MulExpression, multiply
from cvxpy.atoms.quad_over_lin import quad_over_lin
from cvxpy.constraints.nonpos import Inequality
from cvxpy.constraints.zero import Equality
from cvxpy.expressions.leaf import Leaf
from cvxpy.expressions.variable import Variable

# Structures kept per cache: the pool of an index changes a few times a year, and
# the soft-constraint retry is a structure of its own.
KEPT_STRUCTURES = 8


class _Unsupported(Exception):
    """The problem holds something the parametrised copy cannot represent."""


def _freeze(value):
    """A hashable, exact stand-in for an atom's extra data (axes, index keys, powers)."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, (list, tuple)):
        return tuple(_freeze(v) for v in value)
    if isinstance(value, slice):
        return ("slice", value.start, value.stop, value.step)
    if isinstance(value, np.ndarray):
        digest = hashlib.sha1(np.ascontiguousarray(value).tobytes()).hexdigest()
        return ("array", value.shape, str(value.dtype), digest)
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, dict):
        return tuple(sorted((k, _freeze(v)) for k, v in value.items()))
    raise _Unsupported(type(value).__name__)


# Arguments that cvxpy requires to be free of parameters: kept as they are, their
# value part of the structure. (cvxpy writes `sum_squares(x)` as
# `quad_over_lin(x, 1)`.)
_FIXED_ARGUMENTS = {quad_over_lin: (1,)}


def _fixed(expr, position) -> bool:
    return position in _FIXED_ARGUMENTS.get(type(expr), ())


def _has_variables(expr) -> bool:
    return bool(expr.variables())


def _zero(value) -> bool:
    return not np.any(value)


def _data_in_sum(expr) -> bool:
    return isinstance(expr, AddExpression) and any(not _has_variables(t) for t in expr.args)


def _normalise(expr):
    """`expr` with data times a sum that holds data multiplied out.

    `root.T @ (g - benchmark)` multiplies two data terms, which cvxpy cannot keep
    as parameters; `root.T @ g - root.T @ benchmark` is the same value with one
    parameter per term.
    """
    if isinstance(expr, Leaf) or not _has_variables(expr):
        return expr
    args = [_normalise(arg) for arg in expr.args]
    if any(new is not old for new, old in zip(args, expr.args)):
        expr = expr.copy(args)
    if isinstance(expr, (MulExpression, multiply)):
        left, right = expr.args
        product = type(expr)
        if not _has_variables(left) and _data_in_sum(right):
            return AddExpression([_normalise(product(left, t)) for t in right.args])
        if not _has_variables(right) and _data_in_sum(left):
            return AddExpression([_normalise(product(t, right)) for t in left.args])
    return expr


def _normalised(objective, constraints):
    expression = objective.args[0]
    normal = _normalise(expression)
    if normal is not expression:
        objective = type(objective)(normal)
    result = []
    for constraint in constraints:
        if type(constraint) not in (Equality, Inequality):
            raise _Unsupported(type(constraint).__name__)
        args = [_normalise(arg) for arg in constraint.args]
        if any(new is not old for new, old in zip(args, constraint.args)):
            constraint = type(constraint)(*args)
        result.append(constraint)
    return objective, result


class _Walk:
    """The structure of a problem, its data and its variables, in one fixed order.

    Every largest part of an expression that holds no variable is a data slot; the
    structure is everything else, with variables numbered by first appearance.
    """

    def __init__(self, objective, constraints):
        self.tokens = []
        self.values = []
        self.variables = []
        self._numbers = {}
        self.tokens.append(type(objective).__name__)
        self._expr(objective.args[0])
        for constraint in constraints:
            if type(constraint) not in (Equality, Inequality):
                raise _Unsupported(type(constraint).__name__)
            self.tokens.append((type(constraint).__name__, len(constraint.args)))
            for arg in constraint.args:
                self._expr(arg)
        self.structure = tuple(self.tokens)

    def _expr(self, expr):
        if isinstance(expr, Variable):
            number = self._numbers.get(expr.id)
            if number is None:
                number = self._numbers[expr.id] = len(self.variables)
                self.variables.append(expr)
            self.tokens.append(("var", number, expr.shape, _freeze(expr.attributes)))
            return
        if not _has_variables(expr):
            value = expr.value
            if value is None or not isinstance(value, (np.ndarray, np.generic, int, float)):
                raise _Unsupported("data without a dense value")
            value = np.asarray(value, dtype=float)
            if value.shape != expr.shape:
                value = value.reshape(expr.shape)
            if _zero(value):
                # Zeros pad vectors to a length (holdings outside the pool): they
                # are structure, and as data they would multiply other data.
                self.tokens.append(("zero", expr.shape))
                return
            self.tokens.append(("data", expr.shape))
            self.values.append(value)
            return
        if isinstance(expr, Leaf):
            raise _Unsupported(type(expr).__name__)
        self.tokens.append((type(expr), expr.shape, len(expr.args), _freeze(expr.get_data())))
        for position, arg in enumerate(expr.args):
            if _fixed(expr, position) and not _has_variables(arg):
                self.tokens.append(("fixed", _freeze(np.asarray(arg.value, dtype=float))))
            else:
                self._expr(arg)

    def signs(self):
        return tuple("+" if (v >= 0).all() else "-" if (v <= 0).all() else "" for v in self.values)


class _Template:
    """A parametrised copy of one structure, compiled once and re-solved warm."""

    def __init__(self, walk: _Walk, objective, constraints, signs=None):
        self.parameters = []
        self._signs = list(signs) if signs is not None else None
        objective_type = type(objective)
        expression = self._copy(objective.args[0])
        copies = [type(c)(*[self._copy(arg) for arg in c.args]) for c in constraints]
        self.problem = cp.Problem(objective_type(expression), copies)
        self.variables = list(walk.variables)
        self.usable = self.problem.is_dcp(dpp=True)
        self.solves = 0
        self.repeated = 0
        self._last = None
        self._epoch = None

    def _copy(self, expr):
        if isinstance(expr, Variable):
            return expr
        if not _has_variables(expr):
            if _zero(expr.value):
                return expr
            sign = self._signs[len(self.parameters)] if self._signs is not None else ""
            attributes = {"nonneg": True} if sign == "+" else {"nonpos": True} if sign else {}
            parameter = cp.Parameter(expr.shape, **attributes)
            self.parameters.append(parameter)
            return parameter
        return expr.copy(
            [
                arg if _fixed(expr, position) and not _has_variables(arg) else self._copy(arg)
                for position, arg in enumerate(expr.args)
            ]
        )

    def solve(self, walk: _Walk, options, epoch=0):
        # A template serves several runs of dates; each run starts cold, so that
        # its answers do not depend on which runs came before it in this process.
        warm = self._epoch == epoch
        if not warm:
            self._epoch = epoch
            self._last = None
        # The same numbers as the last solve (daily dates within one risk-model
        # period, say) are the same problem: its answer is already known.
        last = self._last
        if last is not None and all(
            np.array_equal(mine, theirs) for mine, theirs in zip(last[0], walk.values)
        ):
            for variable, value in zip(walk.variables, last[1]):
                variable.save_value(None if value is None else value.copy())
            self.repeated += 1
            return last[2]
        # The walk has made every value a float array of the parameter's shape, and
        # a signed template is only used for values of the signs it was built for;
        # cvxpy's own check of each value would cost more than the solve's setup.
        for parameter, value in zip(self.parameters, walk.values):
            parameter.save_value(value)
        with warnings.catch_warnings():
            # Older cvxpy warns when a problem has many parameter entries: compiling
            # it takes longer once, which is the point of keeping it.
            warnings.filterwarnings("ignore", message="Your problem has too many parameters")
            result = self.problem.solve(warm_start=warm, **options)
        self.solves += 1
        self._last = None
        if self.problem.status in (cp.OPTIMAL, cp.OPTIMAL_INACCURATE):
            values = [None if v.value is None else np.array(v.value) for v in self.variables]
            self._last = (walk.values, values, result)
        for mine, theirs in zip(self.variables, walk.variables):
            theirs.save_value(mine.value)
        return result


class ProblemCache:
    """The compiled structures of one run of dates, most recently used last."""

    def __init__(self, kept: int = KEPT_STRUCTURES):
        self._kept = kept
        self._templates = OrderedDict()
        self.reused = 0
        self.built = 0
        self.fresh = 0
        self.epoch = 0

    def begin_run(self):
        """A new run of dates: its first solve of each structure starts cold."""
        self.epoch += 1

    def _remember(self, key, value):
        self._templates[key] = value
        self._templates.move_to_end(key)
        while len(self._templates) > self._kept:
            self._templates.popitem(last=False)

    def template(self, walk: _Walk, objective, constraints):
        """The template for the walk's structure, or None to solve the problem as built."""
        key = walk.structure
        found = self._templates.get(key)
        if found == "signed":
            key = (walk.structure, walk.signs())
            found = self._templates.get(key)
        if found is not None:
            self._templates.move_to_end(key)
            return found if found != "fresh" else None
        try:
            template = _Template(walk, objective, constraints)
        except (ValueError, TypeError):
            # An atom that checks its data when built (a quadratic form's matrix
            # must be symmetric) cannot take a parameter without a value.
            self._remember(key, "fresh")
            return None
        if template.usable:
            self._remember(key, template)
            return template
        # A data term multiplying a convex one needs its sign known to cvxpy.
        signs = walk.signs()
        signed = _Template(walk, objective, constraints, signs)
        if signed.usable:
            self._remember(key, "signed")
            self._remember((walk.structure, signs), signed)
            return signed
        self._remember(key, "fresh")
        return None


class CachedProblem:
    """What the driver sees as `cp.Problem(objective, constraints)`."""

    def __init__(self, cache: ProblemCache, objective, constraints=None):
        self._cache = cache
        self.objective = objective
        self.constraints = list(constraints or [])
        self._problem = None
        self.status = None
        self.value = None

    def solve(self, **options):
        try:
            objective, constraints = _normalised(self.objective, self.constraints)
            walk = _Walk(objective, constraints)
            template = self._cache.template(walk, objective, constraints)
        except _Unsupported:
            template = None
        if template is None:
            self._cache.fresh += 1
            self._problem = cp.Problem(self.objective, self.constraints)
            result = self._problem.solve(**options)
            self.status = self._problem.status
        else:
            if template.solves:
                self._cache.reused += 1
            else:
                self._cache.built += 1
            result = template.solve(walk, options, self._cache.epoch)
            self.status = template.problem.status
        self.value = result
        return result


class ReusingCvxpy:
    """cvxpy, except that `Problem` re-solves cached structures."""

    def __init__(self, cache: ProblemCache):
        self._cache = cache

    def Problem(self, objective, constraints=None):  # noqa: N802 - cvxpy's name
        return CachedProblem(self._cache, objective, constraints)

    def __getattr__(self, name):
        return getattr(cp, name)
