"""tarnlet.units: the declared table agrees with pint, the alkalinity bridge
gives the worked numbers, and every refused conversion says why."""
import numpy as np
import pytest

from tarnlet import units
from tarnlet.units import UNITS, UnitError, convert


def test_every_factor_of_the_table_agrees_with_pint():
    pytest.importorskip("pint")
    for table in UNITS.values():
        for a in table:
            for b in table:
                expected = units.quantity(1.0, a).to(units._pint_text(units.parse(b))).magnitude
                assert convert(1.0, a, b) == pytest.approx(float(expected), rel=1e-13), (a, b)


@pytest.mark.parametrize("value, a, b, expected", [
    (1.0, "L/s", "m3/d", 86.4), (24.0, "m3/d", "m3/h", 1.0), (1.0, "m3/s", "m3/d", 86400.0),
    (16.0, "g N/m3", "mg N/L", 16.0), (250.0, "g COD/m3", "mg/L", 250.0), (1.0, "kg/m3", "mg/L", 1000.0),
    (1.0, "mol/m3", "g C/m3", 12.011), (12.011, "g C/m3", "mol/m3", 1.0), (2.0, "mmol/L", "mg CaCO3/L", 100.087),
    (10.0, "mm/h", "m/d", 0.24), (1.0, "ft3/s", "L/s", 28.316846592), (3.0, "m³/d", "m3/d", 3.0),
])
def test_worked_conversions(value, a, b, expected):
    assert float(convert(value, a, b)) == pytest.approx(expected, rel=1e-15)


def test_alkalinity_is_one_multiplication_each_way_and_arguments_stay():
    x = np.array([5.0, 0.3, 7.25])
    gc = convert(x, "mol/m3", "g C/m3")
    assert np.array_equal(gc, x * 12.011) and np.array_equal(convert(gc, "g C/m3", "mol/m3"), gc / 12.011)
    assert np.array_equal(x, [5.0, 0.3, 7.25]) and convert(x, "mol/m3", "mol/m3") is not x


def test_depth_per_interval_and_rate():
    assert float(convert(2.0, "mm", "mm/h", interval=1 / 1440)) == pytest.approx(120.0)
    assert float(convert(120.0, "mm/h", "mm", interval=1 / 1440)) == pytest.approx(2.0)
    with pytest.raises(UnitError, match="interval must be a positive number of days"):
        convert(2.0, "mm", "mm/h", interval=0.0)
    with pytest.raises(UnitError, match="interval= converts a depth per interval"):
        convert(2.0, "m3/d", "L/s", interval=1.0)


@pytest.mark.parametrize("a, b, message", [
    ("m3/d", "g/m3", r"cannot convert 'm3/d' \(flow\) to 'g/m3' \(mass concentration\)$"),
    ("m3/x", "m3/d", r"from_unit: unknown unit 'm3/x'; did you mean 'm3/s' or 'm3/h' or 'm3/d'\?"),
    ("m3/d", "furlong", r"to_unit: unknown unit 'furlong'"),
    ("g N/m3", "g P/m3", r"they measure different species \(N and P\)"),
    ("mol/m3", "g N/m3", r"alkalinity converts between mol/m3 and a mass of C or CaCO3"),
    ("mm", "mm/h", r"a depth per interval converts to a rate with interval="),
    ("mol NH4/m3", "mol/m3", r"an amount concentration measures alkalinity"),
    ("as given", "g/m3", r"unknown unit 'as given'"),
])
def test_refused_conversions_say_why(a, b, message):
    with pytest.raises(UnitError, match=message):
        convert(1.0, a, b)
    assert not units.compatible(a, b)


def test_unit_error_is_a_value_error_and_non_strings_are_refused():
    assert issubclass(UnitError, ValueError)
    with pytest.raises(UnitError, match="from_unit must be a unit string, not int"):
        convert(1.0, 3, "m3/d")
