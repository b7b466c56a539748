"""PyFormulasRegistry and the calling rules shared by every callable."""

import struct

import pytest

from support import VALUES


def not_found(name):
    return f"constant `{name}` not found in registry"


@pytest.fixture
def registry(core):
    return core.PyFormulasRegistry()


def test_instances_are_independent_and_full(core):
    first, second = core.PyFormulasRegistry(), core.PyFormulasRegistry()
    assert first is not second
    assert len(first) == len(second) == 17
    assert bool(first) is True


@pytest.mark.parametrize("name, value", sorted(VALUES.items()))
def test_get_returns_the_value_bit_for_bit(registry, name, value):
    got = registry.get(name)
    assert type(got) is float
    assert struct.pack("<d", got) == struct.pack("<d", value)
    assert registry.get(name=name) == got


@pytest.mark.parametrize(
    "name",
    ["PHI", "phi ", " phi", "", "nope", "a`b", 'quote"d', "line\nbreak", "nul\0byte", "x" * 1_000_000, "\u00b5"],
)
def test_unknown_names_raise_key_error_with_the_name_verbatim(registry, name):
    with pytest.raises(KeyError) as raised:
        registry.get(name)
    assert raised.value.args == (not_found(name),)


def test_version_on_class_and_instance(core, registry):
    assert core.PyFormulasRegistry.version() == "2.3.0"
    assert registry.version() == "2.3.0"
    with pytest.raises(TypeError):
        registry.version(1)


def test_version_does_not_depend_on_the_module_attribute(core, monkeypatch):
    monkeypatch.delattr(core, "__version__")
    assert core.PyFormulasRegistry.version() == "2.3.0"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r, core: r.get(), "PyFormulasRegistry.get() missing 1 required positional argument: 'name'"),
        (lambda r, core: r.get("a", "b"), "PyFormulasRegistry.get() takes 1 positional arguments but 2 were given"),
        (lambda r, core: r.get("a", "b", "c"), "PyFormulasRegistry.get() takes 1 positional arguments but 3 were given"),
        (lambda r, core: r.get("a", name="b"), "PyFormulasRegistry.get() got multiple values for argument 'name'"),
        (lambda r, core: r.get(nam="b"), "PyFormulasRegistry.get() got an unexpected keyword argument 'nam'"),
        (lambda r, core: r.get(name="phi", x=1), "PyFormulasRegistry.get() got an unexpected keyword argument 'x'"),
        (lambda r, core: r.get(123), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda r, core: r.get(None), "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda r, core: r.get(b"phi"), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda r, core: r.get(name=1.5), "argument 'name': 'float' object cannot be converted to 'PyString'"),
        (lambda r, core: core.PyFormulasRegistry(1), "PyFormulasRegistry.__new__() takes 0 positional arguments but 1 was given"),
        (lambda r, core: core.PyFormulasRegistry(1, 2), "PyFormulasRegistry.__new__() takes 0 positional arguments but 2 were given"),
        (lambda r, core: core.PyFormulasRegistry(x=1), "PyFormulasRegistry.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_and_conversion_errors(core, registry, call, message):
    with pytest.raises(TypeError) as raised:
        call(registry, core)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


def test_a_str_subclass_is_accepted(registry):
    class Name(str):
        def __eq__(self, other):
            return False

        def __hash__(self):
            return 0

    assert registry.get(Name("phi")) == VALUES["phi"]


def test_lone_surrogate_passes_the_interpreters_error_unchanged(registry):
    with pytest.raises(UnicodeEncodeError):
        registry.get("\ud800")


def test_embedded_nul_is_part_of_the_name(registry):
    with pytest.raises(KeyError) as raised:
        registry.get("phi\0")
    assert raised.value.args == (not_found("phi\0"),)


def test_empty_name_is_a_key_error_here_but_a_fault_in_py_get_constant(core, registry, panic_type):
    with pytest.raises(KeyError) as raised:
        registry.get("")
    assert raised.value.args == ("constant `` not found in registry",)
    with pytest.raises(panic_type):
        core.py_get_constant("")


def test_panic_is_not_an_exception_and_leaves_the_module_usable(core, panic_type, capfd):
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert panic_type.__bases__ == (BaseException,)
    assert "BaseException" in panic_type.__doc__
    caught = None
    try:
        try:
            core.py_get_constant(name="")
        except Exception:  # noqa: BLE001 - must not catch the fault
            pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as error:  # noqa: BLE001
        caught = error
    assert type(caught) is panic_type
    assert caught.args == ("py_get_constant: name must be non-empty",)
    report = capfd.readouterr().err
    assert "vellora_core: internal fault at " in report
    assert "py_get_constant: name must be non-empty" in report
    assert core.py_get_constant("n_gen")["value"] == 3.0
    assert len(core.PyFormulasRegistry()) == 17


def test_fault_report_names_the_source_position(core, skip_twin, panic_type, capfd):
    skip_twin("its report names its own Python source line, not a src/pyfacade/ position")
    with pytest.raises(panic_type):
        core.py_get_constant("")
    assert "src/pyfacade/" in capfd.readouterr().err


def test_unbound_method_checks_self(core):
    with pytest.raises(TypeError):
        core.PyFormulasRegistry.get(object(), "phi")
    with pytest.raises(TypeError):
        core.PyFormulasRegistry.__len__(core.PyQuarkRegistry())
