"""The helper protocol: the stubs annotate every helper with it, and the package's helper
and the shared stand-in provide what it lists."""

import ast
import datetime
from pathlib import Path

import pytest

import vantelo
from reliability import fakes
from reliability.standins import FakeHelper
from vantelo._typing import FactorFormHelper, HelperLike, IndustryNamesHelper
from vantelo.const import CovModel

STUBS = sorted(Path(vantelo.__file__).parent.glob("*.pyi"))


def _helper_annotations(stub):
    """(function, annotation name or None) of every parameter named `helper` in `stub`."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef):
            for arg in node.args.args + node.args.kwonlyargs:
                if arg.arg == "helper":
                    yield node.name, getattr(arg.annotation, "id", None)


def test_the_stubs_annotate_every_helper_with_the_protocol():
    found = [(stub.name, name, text) for stub in STUBS for name, text in _helper_annotations(stub)]
    # Newer modules that take a helper join these; the two protocol users must be there.
    assert {stub for stub, _, _ in found} >= {"constraints.pyi", "objective.pyi"}
    assert [f for f in found if f[2] != "HelperLike"] == []


@pytest.mark.parametrize("factor_form", [False, True])
def test_the_stand_in_is_a_helper_and_offers_the_factor_form_only_when_asked(factor_form):
    helper = FakeHelper(["000001.XSHE", "600000.XSHG"], factor_form=factor_form)
    assert isinstance(helper, HelperLike)
    assert isinstance(helper, FactorFormHelper) == factor_form


def test_the_package_helper_provides_the_whole_protocol():
    from vantelo.helper import OptimizeHelper

    with fakes.installed_fakes():
        helper = OptimizeHelper(
            ["000001.XSHE", "600000.XSHG"],
            datetime.date(2024, 6, 28),
            None,
            CovModel.FACTOR_MODEL_DAILY,
        )
        assert isinstance(helper, FactorFormHelper)
        assert isinstance(helper, IndustryNamesHelper)


@pytest.mark.parametrize("member", ["benchmark_components", "get_benchmark_style"])
def test_an_object_missing_a_member_is_not_a_helper(member):
    helper = FakeHelper(["000001.XSHE"])
    assert isinstance(helper, HelperLike)
    if member in vars(helper):
        delattr(helper, member)
    else:
        setattr(helper, member, None)  # what a missing method looks like to the driver
    assert not isinstance(helper, HelperLike)
