import decimal
import math

import pytest

import tarvek_rs as t
from conftest import f32
from model_support import assert_closed, raises_value


def view(precision, code):
    return getattr(t, "NumericalTable" + precision)(code)


def function(name, precision):
    return getattr(t, f"numerical_{name}_{precision.lower()}")


def reference_entries(code):
    """Entries from exact decimal arithmetic, rounded to 8 significant digits, then to a double."""
    ctx = decimal.Context(prec=40)
    entries = []
    for i in range(7000):
        x = ctx.multiply(decimal.Decimal(i), decimal.Decimal("0.001"))
        value = ctx.ln(ctx.add(1, ctx.exp(-x))) if code == 0 else ctx.exp(ctx.multiply(-2, x))
        entries.append(float(decimal.Decimal(format(value, ".7e"))))
    return entries


@pytest.mark.parametrize("code", [0, 1])
def test_initial_entries_match_decimal_reference(code):
    expected64 = reference_entries(code)
    assert view("F64", code).values() == expected64
    assert view("F32", code).values() == [f32(v) for v in expected64]


@pytest.fixture
def restore_tables():
    saved = {(p, code): view(p, code).values() for p in ("F32", "F64") for code in (0, 1)}
    yield
    for (p, code), values in saved.items():
        for index, value in enumerate(values):
            view(p, code).replace(index, value)


INF, NAN = math.inf, math.nan
EVALUATIONS = [
    (p, name, args, expected) for p in ("F32", "F64") for name, args, expected in [
        ("log_add", (0.0, 0.0), view(p, 0).get(0)),
        ("log_add", (0.0, -1.0), view(p, 0).get(1000)),
        ("log_add", (-1.0, 0.0), view(p, 0).get(1000)),
        ("log_add", (0.0, -6.91), view(p, 0).get(6909 if p == "F32" else 6910)),
        ("log_add", (0.0, -6.92), 0.0),
        ("log_add", (0.0, -7.0), 0.0),
        ("log_add", (INF, INF), INF),
        ("log_add", (-INF, -INF), -INF),
        ("log_add", (-INF, 3.0), 3.0),
        ("log_add", (NAN, 0.0), NAN),
        ("negative_exponential", (0.0,), 1.0),
        ("negative_exponential", (5.0,), 1.0),
        ("negative_exponential", (-13.9,), view(p, 1).get(6949 if p == "F32" else 6950)),
        ("negative_exponential", (-14.0,), 0.0),
        ("negative_exponential", (NAN,), NAN),
        ("exponential", (-0.0,), 1.0),
        ("exponential", (-0.001,), 1.0),
        ("exponential", (1.0,), 2.718292236328125),
        ("exponential", (-14.0,), 0.0),
        ("exponential", (1e300,), INF),
    ]
]


@pytest.mark.parametrize("precision,name,args,expected", EVALUATIONS)
def test_evaluation(precision, name, args, expected):
    result = function(name, precision)(*args)
    assert result == expected or (math.isnan(result) and math.isnan(expected))


def test_stated_entries_and_constants():
    assert view("F64", 0).get(0) == 0.69314718 and view("F32", 0).get(0) == 0.6931471824645996
    assert (view("F64", 0).get(1), view("F64", 0).get(6999)) == (0.69264731, 0.00091237796)
    assert (view("F64", 1).get(0), view("F64", 1).get(1)) == (1.0, 0.998002)
    assert view("F64", 1).get(6999) == 8.3319344e-07
    constants = t.numerical_constants()
    assert constants == [7000.0, 0.001, 7000.0, 0.002, 1e-07, -999999986991104.0, -1e15]
    assert constants[5] == f32(-1e15)


def test_view_lookups_and_checks(precision):
    table = view(precision, 1)
    assert (table.get(7000), table.get_storage(7000), table.get_storage(0)) == (None, [], [1.0])
    assert table.replace(7000, 3.0) is None and table.replace_storage(7000, [1.0]) == []
    assert table.length == 7000 and table.is_empty() is False
    with pytest.raises(OverflowError):
        table.get(-1)
    with raises_value("invalid numerical coefficient table"):
        view(precision, 2)
    with pytest.raises(OverflowError):
        view(precision, -1)
    # The length check comes before the index range test.
    for index, values in ((5, []), (5, [1.0, 2.0]), (7000, [])):
        with raises_value("coefficient replacement requires one value"):
            table.replace_storage(index, values)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        table.replace_storage(5, "1")


def test_replacement_is_seen_by_evaluation_until_restored(restore_tables):
    table = t.NumericalTableF64(1)
    assert table.replace(0, 2.0) == 1.0
    assert t.numerical_negative_exponential_f64(-0.001) == 2.0
    assert t.numerical_negative_exponential_f64(0.0) == 1.0
    assert table.replace(0, 1.0) == 2.0
    assert t.numerical_negative_exponential_f64(-0.001) == 1.0
    log_add = t.NumericalTableF32(0)
    assert log_add.replace(0, 5.0) == 0.6931471824645996
    assert t.numerical_log_add_f32(1.0, 1.0) == 6.0
    # Anything may be stored, NaN included; the returned previous entry is widened.
    assert log_add.replace_storage(0, [math.nan]) == [5.0]
    assert math.isnan(t.numerical_log_add_f32(1.0, 1.0))
    assert math.isnan(log_add.replace(0, 0.6931471824645996))


def test_iterator_walks_each_entry_once(precision):
    iterator = function("log_add_table", precision)()
    assert iterator.length == 7000
    front, back = [], []
    for _ in range(3500):
        front.append(iterator.next_value())
        back.append(iterator.next_back_value())
    assert front + back[::-1] == view(precision, 0).values() and iterator.length == 0
    assert iterator.next_value() is None and iterator.next_back_value() is None
    assert iterator.next_storage() == [] and iterator.next_back_storage() == []
    other = function("exponential_table", precision)()
    assert other.next_storage() == [1.0]
    other.next_back_storage()
    assert other.length == 6998 and view(precision, 1).iter().next_value() == 1.0


def test_closed_views_and_iterators(precision):
    table = view(precision, 0)
    copy, iterator = table.cloned(), table.iter()
    table.close()
    assert_closed(table, ("get", 0), "values", "length", "iter", "cloned", ("replace", 0, 1.0),
                  ("get_storage", 0), ("replace_storage", 0, [1.0]), "is_empty")
    with pytest.raises(TypeError):  # arguments are converted before the closed check
        table.get("x")
    iterator.free()
    assert_closed(iterator, "next_value", "next_back_value", "next_storage", "next_back_storage",
                  "length")
    assert copy.get(0) is not None


def test_enumeration_members():
    log_add, exponential = t.NumericalTable.LogAdd, t.NumericalTable.Exponential
    assert log_add is t.NumericalTable.LogAdd and repr(exponential) == "NumericalTable.Exponential"
    assert log_add == 0 and int(exponential) == 1 and log_add != exponential
    assert not (log_add == 0.0) and log_add != "LogAdd"
    with pytest.raises(TypeError):
        log_add < 1
