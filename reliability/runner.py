"""The fuzz target registry and what runs one target's cases.

A target draws the arguments of one call (through Hypothesis' `data` object) and
returns a thunk that makes the call. `run_case` runs a thunk and reduces what
happened to an outcome: "(returned)" or the name of the exception that came out.
Exceptions (subclasses of `Exception`) are the documented way to refuse input;
anything else escaping (a `BaseException` such as `SystemExit`) propagates to the
runner, and a crash kills the process, which `reliability.fuzz` sees from outside.

`SystemError` is the one exception that counts as a failure: CPython raises it
when a C function returns an error without setting one, or sets one and returns a
result, which is a bug in the extension, not a refusal of the input.

Each target runs in an environment: "fakes" (the market-data client and the
helper replaced, `reliability.fakes`) or "store" (the real client over a small
database, `reliability.store`).
"""

import collections
import warnings

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import seed as hypothesis_seed
from hypothesis import strategies as st

import tidewell
from reliability import values as v
from reliability.fakes import installed_fakes
from reliability.store import tiny_store

FORBIDDEN = (SystemError,)
RETURNED = "(returned)"

# Target name -> (build, weight, environment). The name is the public name the
# target calls, as "module.name" ("optimize.parse_bnds", "tidewell.instruments").
TARGETS = collections.OrderedDict()
ENVIRONMENTS = {"fakes": installed_fakes, "store": tiny_store}


def target(name, weight=1.0, env="fakes"):
    """Registers a target: a function of Hypothesis' `data` returning a thunk.

    `weight` scales its share of the cases (the targets that build and solve
    problems get fewer); `env` names the environment its cases run in.
    """

    def register(build):
        TARGETS[name] = (build, weight, env)
        return build

    return register


def run_case(thunk):
    """The outcome of one call: RETURNED or the qualified name of its exception."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            thunk()
        except Exception as error:  # refusing input with an exception is fine
            kind = type(error)
            return f"{kind.__module__}.{kind.__qualname__}", error
    return RETURNED, None


def documented(error):
    """Whether `error`, from a tidewell call of the right shape, is one its docs promise.

    Every tidewell error is a TidewellError; errors of the caller's own objects
    (the hostile ones) pass through.
    """
    return isinstance(error, (tidewell.TidewellError, v.HostileError))


def fuzz(
    name, examples, tally, failures, derandomize=False, seed=None, deviations=None, samples=None
):
    """Runs `examples` cases of target `name`, counting outcomes into `tally`.

    Forbidden exceptions are appended to `failures` as (target, outcome, message);
    for tidewell targets, errors other than the documented ones to `deviations`;
    the first message of each exception type to `samples` (a dict), if given.
    """
    build, _, env = TARGETS[name]

    @settings(
        max_examples=examples,
        derandomize=derandomize,
        database=None,
        deadline=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def run(data):
        thunk = build(data)
        outcome, error = run_case(thunk)
        tally[outcome] += 1
        if samples is not None and error is not None and outcome not in samples:
            samples[outcome] = describe(error)
        if isinstance(error, FORBIDDEN):
            failures.append((name, outcome, describe(error)))
        elif (
            deviations is not None
            and env == "store"
            and error is not None
            and getattr(thunk, "shaped", True)
            and not documented(error)
        ):
            deviations.append((name, outcome, describe(error)))

    if seed is not None and not derandomize:
        run = hypothesis_seed(seed)(run)
    with ENVIRONMENTS[env]():
        run()


def describe(error):
    try:
        return str(error)[:300]
    except Exception:
        return "<unprintable>"


def arity(data, args, kwargs, shapes=("extra", "keyword", "none")):
    """Now and then a call of the wrong shape: an extra argument or an unknown keyword."""
    shape = data.draw(st.sampled_from(["as is"] * 10 + list(shapes)))
    if shape == "extra":
        return args + (data.draw(v.anything),), kwargs
    if shape == "keyword":
        return args, dict(kwargs, no_such_argument=1)
    if shape == "none":
        return (), {}
    return args, kwargs


def make_call(data, function, *args, **kwargs):
    """A thunk calling `function` with `args`, or now and then with a call of the wrong shape;
    its `shaped` attribute says which."""
    shaped_args, shaped_kwargs = arity(data, args, kwargs)
    thunk = lambda: function(*shaped_args, **shaped_kwargs)  # noqa: E731
    thunk.shaped = shaped_args is args and shaped_kwargs is kwargs
    return thunk


def register_crash_probe():
    """Adds a target whose call crashes the interpreter, to check that runners notice."""
    import ctypes

    @target("selftest.crash_probe")
    def _crash(data):
        data.draw(st.none())
        return lambda: ctypes.string_at(0)
