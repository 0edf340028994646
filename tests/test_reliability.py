"""The reliability tools cover every public name: each call of a compiled module or of
tidewell has a fuzz target (reliability/targets/) and a leak-check entry
(reliability/leakcheck.py), so a module added later fails here until it gets them.
docs/architecture.md says how to add them."""

import pytest

from reliability import fuzzing, leakcheck, public

NAMES = public.public_names()


def test_the_compiled_modules_are_found_by_listing_the_package():
    # Guards the test below: were nothing found, it would pass on nothing.
    modules = public.compiled_modules()
    known = {"optimize", "objective", "constraints", "benchmark", "helper"}
    assert {"vantelo." + name for name in known} <= set(modules)
    assert "vantelo.const" not in modules and "vantelo.exception" not in modules
    for name in modules:
        short = name.split(".", 1)[1]
        assert any(n.startswith(short + ".") for n in NAMES), f"{name} has no public names"


def test_only_names_a_module_defines_count_as_its_own():
    names = set(NAMES)
    assert {"optimize.portfolio_optimize", "constraints._ensure_bound"} <= names
    # Imported, not defined: the driver's OptimizeHelper, its cvxpy, its constant.
    assert not {"optimize.OptimizeHelper", "optimize.cp", "optimize.DEFAULT_OBJECTIVE"} & names


@pytest.mark.parametrize("name", [n for n in NAMES if n not in public.NOT_CALLS])
def test_every_public_name_has_a_fuzz_target_and_a_leak_check_entry(name):
    missing = [
        where
        for where, names in [
            ("fuzz target in reliability/targets/", fuzzing.TARGETS),
            ("leak-check entry in reliability/leakcheck.py", leakcheck.covered()),
        ]
        if name not in names
    ]
    assert not missing, f"{name} has no " + " and no ".join(missing)


@pytest.mark.parametrize(
    "registry, names",
    [
        ("fuzz targets", set(fuzzing.TARGETS)),
        ("leak-check entries", leakcheck.covered()),
        ("NOT_CALLS", set(public.NOT_CALLS)),
    ],
)
def test_the_registries_name_only_public_names(registry, names):
    # A renamed or removed call must not leave an entry that checks nothing.
    assert names - set(NAMES) == set(), registry


def test_every_mutant_of_the_mutation_run_still_finds_its_snippet():
    # The mutation run (python -m reliability.mutants) plants each fault by replacing
    # a snippet that must occur exactly once; a snippet the code no longer has would
    # plant nothing and count as a missed fault.
    from reliability.mutants import MUTANTS, check

    assert len(MUTANTS) >= 30
    assert check() == []
