import decimal
import math

import pytest

import tarvek_rs as t
from conftest import f32

LOG_ZERO_F32 = -999999986991104.0


def reference_entries(table_code):
    """Entries from exact decimal arithmetic, rounded to 8 significant digits."""
    ctx = decimal.Context(prec=40)
    entries = []
    for i in range(7000):
        x = ctx.multiply(decimal.Decimal(i), decimal.Decimal("0.001"))
        if table_code == 0:
            value = ctx.ln(ctx.add(1, ctx.exp(-x)))
        else:
            value = ctx.exp(ctx.multiply(-2, x))
        # 8 significant digits, then the nearest double.
        entries.append(float(decimal.Decimal(format(value, ".7e"))))
    return entries


@pytest.mark.parametrize("code", [0, 1])
def test_initial_entries_match_decimal_reference(code):
    expected64 = reference_entries(code)
    assert t.NumericalTableF64(code).values() == expected64
    assert t.NumericalTableF32(code).values() == [f32(v) for v in expected64]


@pytest.fixture
def restore_tables():
    saved = {
        (p, code): getattr(t, "NumericalTable" + p)(code).values()
        for p in ("F32", "F64")
        for code in (0, 1)
    }
    yield
    for (p, code), values in saved.items():
        table = getattr(t, "NumericalTable" + p)(code)
        for index, value in enumerate(values):
            table.replace(index, value)


def test_telling_entries():
    assert t.NumericalTableF64(0).get(0) == 0.69314718
    assert t.NumericalTableF32(0).get(0) == 0.6931471824645996
    assert t.NumericalTableF64(0).get(6999) == 0.00091237796
    assert t.NumericalTableF64(1).get(0) == 1.0
    assert t.NumericalTableF64(1).get(1) == 0.998002
    assert t.NumericalTableF64(0).get(1) == 0.69264731
    assert t.NumericalTableF64(1).get(6999) == 8.3319344e-07


@pytest.mark.parametrize("p", ["F32", "F64"])
def test_view_lookups_past_the_end(p):
    table = getattr(t, "NumericalTable" + p)(1)
    assert table.get(7000) is None
    assert table.get_storage(7000) == []
    assert table.get_storage(0) == [1.0]
    assert table.replace(7000, 3.0) is None
    assert table.replace_storage(7000, [1.0]) == []
    assert table.length == 7000 and table.is_empty() is False
    with pytest.raises(OverflowError):
        table.get(-1)


@pytest.mark.parametrize("p", ["F32", "F64"])
def test_view_construction_and_argument_checks(p):
    view = getattr(t, "NumericalTable" + p)
    with pytest.raises(ValueError, match="^invalid numerical coefficient table$"):
        view(2)
    with pytest.raises(OverflowError):
        view(-1)
    with pytest.raises(TypeError, match="code"):
        view("0")
    table = view(0)
    for values in ([], [1.0, 2.0]):
        with pytest.raises(ValueError, match="^coefficient replacement requires one value$"):
            table.replace_storage(5, values)
    # The length check comes before the index range test.
    with pytest.raises(ValueError, match="requires one value"):
        table.replace_storage(7000, [])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        table.replace_storage(5, "1")
    with pytest.raises(TypeError, match="value"):
        table.replace(5, "x")


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
    assert log_add.replace_storage(0, [float("nan")]) == [5.0]
    assert math.isnan(t.numerical_log_add_f32(1.0, 1.0))
    assert math.isnan(log_add.replace(0, 0.6931471824645996))


@pytest.mark.parametrize("p", ["F32", "F64"])
def test_iterator_walks_each_entry_once(p):
    lower = p.lower()
    iterator = getattr(t, f"numerical_log_add_table_{lower}")()
    assert iterator.length == 7000
    expected = getattr(t, "NumericalTable" + p)(0).values()
    front, back = [], []
    for _ in range(3500):
        front.append(iterator.next_value())
        back.append(iterator.next_back_value())
    assert front + back[::-1] == expected
    assert iterator.length == 0
    assert iterator.next_value() is None and iterator.next_back_value() is None
    assert iterator.next_storage() == [] and iterator.next_back_storage() == []

    other = getattr(t, f"numerical_exponential_table_{lower}")()
    assert other.next_storage() == [1.0]
    other.next_back_storage()
    assert other.length == 6998
    view_iterator = getattr(t, "NumericalTable" + p)(1).iter()
    assert view_iterator.next_value() == 1.0


@pytest.mark.parametrize("p", ["F32", "F64"])
def test_closed_views_and_iterators(p):
    table = getattr(t, "NumericalTable" + p)(0)
    copy = table.cloned()
    iterator = table.iter()
    table.close()
    table.free()
    assert table.is_closed and not copy.is_closed
    for call in (
        lambda: table.get(0),
        lambda: table.values(),
        lambda: table.length,
        lambda: table.iter(),
        lambda: table.cloned(),
        lambda: table.replace(0, 1.0),
        lambda: table.get_storage(0),
        lambda: table.replace_storage(0, [1.0]),
        lambda: table.is_empty(),
    ):
        with pytest.raises(RuntimeError, match="^owner has been consumed$"):
            call()
    # Arguments are converted before the closed check.
    with pytest.raises(TypeError):
        table.get("x")
    iterator.free()
    for call in (
        iterator.next_value,
        iterator.next_back_value,
        iterator.next_storage,
        iterator.next_back_storage,
        lambda: iterator.length,
    ):
        with pytest.raises(RuntimeError, match="^owner has been consumed$"):
            call()
    assert copy.get(0) is not None


def test_enumeration_members():
    log_add, exponential = t.NumericalTable.LogAdd, t.NumericalTable.Exponential
    assert log_add is t.NumericalTable.LogAdd
    assert repr(log_add) == "NumericalTable.LogAdd"
    assert repr(exponential) == "NumericalTable.Exponential"
    assert int(log_add) == 0 and int(exponential) == 1
    assert log_add == 0 and exponential == 1 and exponential == True  # noqa: E712
    assert log_add != exponential and log_add == log_add
    assert not (log_add == 0.0)
    assert log_add != "LogAdd"
    with pytest.raises(TypeError):
        log_add < 1
    with pytest.raises(TypeError):
        t.NumericalTable()
    assert not hasattr(log_add, "free")
    assert t.NumericalTableF64(int(exponential)).get(0) == 1.0


def test_evaluation_functions():
    assert t.numerical_log_add_f64(0.0, -7.0) == 0.0
    assert t.numerical_log_add_f64(0.0, 0.0) == 0.69314718
    assert t.numerical_log_add_f32(0.0, 0.0) == f32(0.69314718)
    assert t.numerical_log_add_f64(0.0, -6.91) == t.NumericalTableF64(0).get(6910)
    assert t.numerical_log_add_f32(0.0, -6.91) == t.NumericalTableF32(0).get(6909)
    assert t.numerical_exponential_f32(1.0) == 2.718292236328125
    assert t.numerical_exponential_f64(1.0) == 2.718292236328125
    assert t.numerical_exponential_f64(1e300) == math.inf
    assert t.numerical_exponential_f32(-0.0) == 1.0
    assert t.numerical_exponential_f32(-0.001) == 1.0
    assert t.numerical_exponential_f64(-14.0) == 0.0
    assert t.numerical_negative_exponential_f64(5.0) == 1.0
    assert math.isnan(t.numerical_negative_exponential_f32(math.nan))
    assert math.isnan(t.numerical_log_add_f64(math.nan, 0.0))
    assert t.numerical_log_add_f64(-math.inf, 3.0) == 3.0
    assert t.numerical_log_add_f64(math.inf, math.inf) == math.inf
    constants = t.numerical_constants()
    assert constants == [7000.0, 0.001, 7000.0, 0.002, 1e-07, LOG_ZERO_F32, -1e15]
    assert constants[5] == f32(-1e15)
