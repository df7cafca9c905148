"""The enumeration classes: members, repr, int, comparison, no hashing."""

import operator

import pytest

from _corvane import InjectDoubleDash, RiskCategory, RiskyBinPolicy

MEMBERS = [
    (RiskCategory, "Shell", 0),
    (RiskCategory, "Interpreter", 1),
    (RiskCategory, "Spawner", 2),
    (RiskCategory, "Privilege", 3),
    (RiskyBinPolicy, "DenyByDefault", 0),
    (RiskyBinPolicy, "AllowWithWarning", 1),
    (RiskyBinPolicy, "Disabled", 2),
    (InjectDoubleDash, "Never", 0),
    (InjectDoubleDash, "AfterFlags", 1),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_member(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls
    assert member is getattr(cls, name)
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == f"{cls.__name__}.{name}"
    assert int(member) == value
    assert type(int(member)) is int
    assert member == value and value == member
    assert not (member != value)
    assert member == Index(value)
    assert member != value + 1
    assert member == member and not (member != member)


def test_members_in_definition_order():
    names = [n for n in vars(RiskCategory) if not n.startswith("_")]
    assert names == ["Shell", "Interpreter", "Spawner", "Privilege"]
    names = [n for n in vars(RiskyBinPolicy) if not n.startswith("_")]
    assert names == ["DenyByDefault", "AllowWithWarning", "Disabled"]
    names = [n for n in vars(InjectDoubleDash) if not n.startswith("_")]
    assert names == ["Never", "AfterFlags"]


def test_equality_rules():
    assert RiskCategory.Shell != RiskCategory.Spawner
    assert RiskCategory.Interpreter == True  # noqa: E712  (a bool is an int)
    assert RiskyBinPolicy.DenyByDefault != InjectDoubleDash.Never
    assert not (RiskyBinPolicy.DenyByDefault == InjectDoubleDash.Never)
    for other in (0.0, "0", None, b"\x00", 2 ** 70, -(2 ** 70), object()):
        assert not (RiskCategory.Shell == other)
        assert RiskCategory.Shell != other


def test_failing_index_is_treated_as_not_comparable():
    class Raises:
        def __index__(self):
            raise RuntimeError("x")

    assert RiskCategory.Shell != Raises()
    assert not (RiskCategory.Shell == Raises())


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(op):
    with pytest.raises(TypeError):
        op(RiskCategory.Shell, RiskCategory.Interpreter)
    with pytest.raises(TypeError):
        op(RiskCategory.Shell, 1)
    with pytest.raises(TypeError):
        op(1, RiskCategory.Shell)


def test_unhashable_and_not_an_index():
    for member in (RiskCategory.Shell, RiskyBinPolicy.Disabled, InjectDoubleDash.AfterFlags):
        with pytest.raises(TypeError):
            hash(member)
        with pytest.raises(TypeError):
            {member}
        with pytest.raises(TypeError):
            operator.index(member)
        with pytest.raises(TypeError):
            [0, 1, 2, 3][member]
    assert RiskCategory.__hash__ is None


def test_no_methods_or_properties():
    for cls in (RiskCategory, RiskyBinPolicy, InjectDoubleDash):
        own = {n for n in vars(cls) if not n.startswith("__")}
        assert all(type(getattr(cls, n)) is cls for n in own)
