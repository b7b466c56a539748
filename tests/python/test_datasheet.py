"""py_get_constant: the datasheet dict through the exact JSON text, and py_list_constants."""

import builtins
import struct
import sys

import pytest

from support import CONSTANTS, NAMES

KEYS = ["name", "status", "uncertainty", "units", "value"]


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize("name", NAMES)
def test_every_datasheet(core, name):
    sheet = core.py_get_constant(name)
    status, units, value = CONSTANTS[name]
    assert list(sheet) == KEYS
    assert sheet == {"name": name, "status": status, "uncertainty": None, "units": units, "value": value}
    assert type(sheet["value"]) is float and bits(sheet["value"]) == bits(value)
    assert core.py_get_constant(name=name) == sheet


def test_phi_and_gamma_em_bit_for_bit(core):
    assert bits(core.py_get_constant("phi")["value"]) == (0x3FF9E3779B97F4A8).to_bytes(8, "little")
    assert bits(core.py_get_constant("gamma_em")["value"]) == (0x3FE2788CFC6FB619).to_bytes(8, "little")


def test_every_call_returns_a_new_dict(core):
    first = core.py_get_constant("n_gen")
    first["value"] = -1
    second = core.py_get_constant("n_gen")
    assert second is not first and second["value"] == 3.0


class IdentityJson:
    """Stands in for the json module: loads hands back the text it was given."""

    @staticmethod
    def loads(text):
        return text


@pytest.fixture
def identity_json(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", IdentityJson)


def test_the_exact_text_reaches_json_loads(core, identity_json):
    assert core.py_get_constant("n_gen") == (
        '{"name":"n_gen","status":"Seed","uncertainty":null,"units":"count","value":3.0}'
    )
    assert core.py_get_constant("phi").endswith('"units":"dimensionless","value":1.618033988749895}')
    assert core.py_get_constant("gamma_em").endswith('"value":0.5772156649015329}')
    assert '"status":"Pending"' in core.py_get_constant("w0_central")


def test_failures_of_json_pass_unchanged(core, monkeypatch):
    class Broken:
        @staticmethod
        def loads(text):
            raise ZeroDivisionError("from loads")

    monkeypatch.setitem(sys.modules, "json", Broken)
    with pytest.raises(ZeroDivisionError, match="from loads"):
        core.py_get_constant("n_gen")
    monkeypatch.setitem(sys.modules, "json", None)  # makes the import itself fail
    with pytest.raises(ImportError):
        core.py_get_constant("n_gen")
    monkeypatch.setitem(sys.modules, "json", object())  # no loads attribute
    with pytest.raises(AttributeError):
        core.py_get_constant("n_gen")


def test_json_is_imported_through_the_callers_import_then_read_from_sys_modules(core, monkeypatch):
    seen, real_import = [], builtins.__import__

    def hook(name, *rest):
        if name != "json":
            return real_import(name, *rest)
        seen.append((rest[0]["__name__"], rest[2], rest[3]))
        return IdentityJson  # handed back, but never put in sys.modules

    monkeypatch.setattr(builtins, "__import__", hook)
    monkeypatch.setitem(sys.modules, "json", IdentityJson)
    assert core.py_get_constant("n_gen").startswith('{"name":"n_gen"')
    monkeypatch.delitem(sys.modules, "json")
    with pytest.raises(KeyError) as raised:
        core.py_get_constant("n_gen")
    assert raised.value.args == ("json",)
    assert seen == [(__name__, [], 0)] * 2


@pytest.mark.parametrize("name", ["N_GEN", " n_gen", "n_gen ", "nope", "a`b\n\"c", "\0", "x" * 1_000_000])
def test_unknown_names(core, name):
    with pytest.raises(KeyError) as raised:
        core.py_get_constant(name)
    assert raised.value.args == (f"constant `{name}` not found in registry",)


@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda core: core.py_get_constant(), TypeError, "py_get_constant() missing 1 required positional argument: 'name'"),
        (lambda core: core.py_get_constant("a", "b"), TypeError, "py_get_constant() takes 1 positional arguments but 2 were given"),
        (lambda core: core.py_get_constant("a", name="b"), TypeError, "py_get_constant() got multiple values for argument 'name'"),
        (lambda core: core.py_get_constant(key="b"), TypeError, "py_get_constant() got an unexpected keyword argument 'key'"),
        (lambda core: core.py_get_constant(3), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda core: core.py_get_constant(["n_gen"]), TypeError, "argument 'name': 'list' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_and_conversion_errors(core, call, exception, message):
    with pytest.raises(exception) as raised:
        call(core)
    assert type(raised.value) is exception and str(raised.value) == message


def test_surrogate_name_raises_unicode_encode_error(core):
    with pytest.raises(UnicodeEncodeError):
        core.py_get_constant("\udcff")


def test_list_constants(core):
    first, second = core.py_list_constants(), core.py_list_constants()
    assert first == NAMES == second
    assert first is not second
    first.append("extra")
    assert core.py_list_constants() == NAMES
    assert all(type(name) is str for name in second)
    with pytest.raises(TypeError):
        core.py_list_constants(1)
    assert [core.py_get_constant(name)["name"] for name in NAMES] == NAMES
