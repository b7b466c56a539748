# The pure-Python twin of corvantis._vellora_core, for interpreters where the extension cannot be
# loaded (a subinterpreter, a machine without a build). It answers with the same shapes, values,
# docstrings, messages and exceptions. Each call builds its data afresh, as the extension does, so
# nothing a caller does to a result can leak into the next one.
#
# Callables take *args/**kwargs and bind them by hand: Python's own binder words its errors
# differently ("takes 1 positional argument") from the extension's, and the messages must match.
#
# The texts the extension shows (docstrings, text signatures) are set as values rather than
# written as docstrings: -OO strips docstrings, while the extension's texts live in C and stay.

from __future__ import annotations

__doc__ = "PyO3 module entry point. Wired as `corvantis._vellora_core`."

import sys
from math import ldexp as _ldexp

from corvantis import _NOT_FOUND_MESSAGE, __version__

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing is not imported at run time
    from collections.abc import Callable, Sequence
    from typing import Any, TypeVar

    _F = TypeVar("_F", bound=Callable[..., Any])
    _T = TypeVar("_T")

__all__ = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

# ---- Tables ---------------------------------------------------------------------------------

# (name, value, units): the seeded constants.
_SEEDS = (
    ("b3", 24.0, "dimensionless"),
    ("chi_eff", 72.0, "dimensionless"),
    ("n_gen", 3.0, "count"),
    ("roots_total", 288.0, "count"),
    ("visible_sector", 125.0, "count"),
    ("sterile_sector", 163.0, "count"),
    ("phi", 1.618033988749895, "dimensionless"),
    ("gamma_em", 0.5772156649015329, "dimensionless"),
    ("jc_constant", 153.0, "count"),
    ("logic_closure", 288.0, "count"),
)
# (name, formula, units): formula constants are carried, never evaluated; each holds +0.0.
_FORMULAS = (
    ("v_higgs_mev", "246220", "MeV"),
    ("sterile_check", "roots_total - visible_sector", "count"),
    ("n_gen_sq", "n_gen * n_gen", "count"),
    ("h0_central", "70", "km/s/Mpc"),
    ("w0_central", "-1", "dimensionless"),
    ("m_tau_mev", "1776.86", "MeV"),
    ("topo_gen_check", "chi_eff / b3", "count"),
)
# Registration order of the standard-model quarks; listings sort them.
_QUARKS = ("up", "down", "strange", "charm", "bottom", "top")
# The rows of the matrix that PyCKMMatrix.from_topology() builds: the identity. The command line
# shows them from here, for the matrix object shows only its verdict and its J.
_TOPOLOGY_ROWS = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))


class _Record:
    """One constant's datasheet fields."""

    __slots__ = ("name", "value", "units", "uncertainty", "status", "formula")

    def __init__(self, name: str, value: float, units: str, status: str, formula: str | None = None) -> None:
        self.name = name
        self.value = value
        self.units = units
        self.uncertainty: float | None = None
        self.status = status
        self.formula = formula


def _seeded_records() -> dict[bytes, _Record]:
    """A new table of the seventeen constants, keyed by the UTF-8 bytes of each name."""
    records = {}
    for name, value, units in _SEEDS:
        records[name.encode()] = _Record(name, value, units, "Seed")
    for name, formula, units in _FORMULAS:
        records[name.encode()] = _Record(name, 0.0, units, "Pending", formula)
    return records


# ---- Datasheet JSON -------------------------------------------------------------------------

_STRING_ESCAPES = {code: f"\\u{code:04x}" for code in range(0x20)}
_STRING_ESCAPES.update({0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"})
_STRING_ESCAPES.update({ord('"'): '\\"', ord("\\"): "\\\\"})


def _json_string(text: str) -> str:
    return '"' + text.translate(_STRING_ESCAPES) + '"'


def _json_number(value: float) -> str:
    """Shortest round-trip digits: plain for decimal exponents -5..15, else 'd.ddde±X'."""
    if value != value or value in (float("inf"), float("-inf")):
        return "null"
    text = repr(value)
    sign = "-" if text.startswith("-") else ""
    if value == 0.0:
        return sign + "0.0"
    # repr gives the same shortest digits; only their layout differs ("1e-06", "0.0001").
    mantissa, _, exponent_text = text.lstrip("-").partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = whole + fraction
    significant = digits.lstrip("0")
    exponent = int(exponent_text or "0") + len(whole) - 1 - (len(digits) - len(significant))
    digits = significant.rstrip("0")
    count = len(digits)
    if -5 <= exponent <= 15:
        if exponent < 0:
            body = "0." + "0" * (-exponent - 1) + digits
        elif count <= exponent + 1:
            body = digits + "0" * (exponent + 1 - count) + ".0"
        else:
            body = digits[: exponent + 1] + "." + digits[exponent + 1 :]
    else:
        body = digits[0] + ("." + digits[1:] if count > 1 else "")
        body += ("e-" if exponent < 0 else "e+") + str(abs(exponent))
    return sign + body


def _datasheet_json(record: _Record) -> str:
    uncertainty = "null" if record.uncertainty is None else _json_number(record.uncertainty)
    return (
        '{"name":' + _json_string(record.name)
        + ',"status":"' + record.status
        + '","uncertainty":' + uncertainty
        + ',"units":' + _json_string(record.units)
        + ',"value":' + _json_number(record.value)
        + "}"
    )


# ---- Faults ---------------------------------------------------------------------------------


class PanicException(BaseException):
    __doc__ = """An internal fault of the extension (a broken invariant), not an error in the caller's input.

It derives from BaseException rather than Exception so that, like SystemExit, it propagates to
the top instead of being swallowed by `except Exception:` handlers."""


# The extension does not export its PanicException either; it is reached only through a fault.
_PanicException = PanicException
del PanicException


def _fault(message: str) -> BaseException:
    """Reports a broken invariant on standard error and returns the exception to raise."""
    line = sys._getframe(1).f_lineno
    if sys.stderr is not None:
        sys.stderr.write(f"vellora_core: internal fault at corvantis/_pyvellora.py:{line}:\n  {message}\n")
        sys.stderr.flush()
    return _PanicException(message)


# ---- Calling conventions --------------------------------------------------------------------

_MISSING = object()


def _type_name(cls: type) -> str:
    """What the interpreter's own messages call a type: its C-level name (tp_name). That is the
    dotted name of a type from an extension module ("array.array", even where the type is made
    from a spec), the bare name of a built-in type, and a class's current __name__ once it is
    renamed or when it was made in Python. Python shows that name only in such messages, so one is
    asked for: `base.__new__(cls)` with a `base` that `cls` does not derive from refuses it as
    "{base}.__new__({name}): {name} is not a subtype of {base}", and makes nothing."""
    base = dict if issubclass(cls, tuple) else tuple  # no class derives from both
    try:
        base.__new__(cls)
    except TypeError as error:
        message = str(error)
    else:  # pragma: no cover - the interpreter refuses every such call
        raise AssertionError(f"{base.__name__}.__new__ accepted {cls!r}")
    start = len(base.__name__) + len(".__new__(")
    name_length = (len(message) - 2 * len(base.__name__) - len(".__new__(): ") - len(" is not a subtype of ")) // 2
    return message[start : start + name_length]


def _bind(qualname: str, parameters: tuple[str, ...], args: tuple[object, ...], kwargs: dict[str, object]) -> list[object]:
    """Values for `parameters` (all required, by position or keyword), with the extension's messages."""
    if len(args) > len(parameters):
        verb = "was" if len(args) == 1 else "were"
        raise TypeError(f"{qualname}() takes {len(parameters)} positional arguments but {len(args)} {verb} given")
    slots = list(args) + [_MISSING] * (len(parameters) - len(args))
    for keyword, value in kwargs.items():
        keyword = str.__str__(keyword)
        if keyword not in parameters:
            raise TypeError(f"{qualname}() got an unexpected keyword argument '{keyword}'")
        index = parameters.index(keyword)
        if slots[index] is not _MISSING:
            raise TypeError(f"{qualname}() got multiple values for argument '{keyword}'")
        slots[index] = value
    missing = [f"'{name}'" for name, slot in zip(parameters, slots) if slot is _MISSING]
    if missing:
        if len(missing) == 1:
            names = missing[0]
        elif len(missing) == 2:
            names = " and ".join(missing)
        else:
            names = ", ".join(missing[:-1]) + ", and " + missing[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{qualname}() missing {len(missing)} required positional {noun}: {names}")
    return slots


def _no_arguments(function_text: str, args: tuple[object, ...], kwargs: dict[str, object]) -> None:
    """The interpreter's checks for a callable that takes nothing."""
    if kwargs:
        raise TypeError(f"{function_text} takes no keyword arguments")
    if args:
        raise TypeError(f"{function_text} takes no arguments ({len(args)} given)")


def _method_self(cls: type[_T], name: str, args: tuple[object, ...]) -> tuple[_T, tuple[object, ...]]:
    """Splits off `self` the way a method of a built-in type checks it."""
    if not args:
        raise TypeError(f"unbound method {cls.__qualname__}.{name}() needs an argument")
    if type(args[0]) is not cls:
        raise TypeError(
            f"descriptor '{name}' for '{_type_name(cls)[:100]}' objects "
            f"doesn't apply to a '{_type_name(type(args[0]))[:100]}' object"
        )
    return args[0], args[1:]


def _slot_self(cls: type[_T], name: str, args: tuple[object, ...], kwargs: dict[str, object]) -> _T:
    """Splits off `self` the way a slot wrapper (`__len__`) of a built-in type checks it."""
    if not args:
        raise TypeError(f"descriptor '{name}' of '{_type_name(cls)[:100]}' object needs an argument")
    if type(args[0]) is not cls:
        raise TypeError(
            f"descriptor '{name}' requires a '{_type_name(cls)[:100]}' object "
            f"but received a '{_type_name(type(args[0]))[:100]}'"
        )
    if kwargs:
        raise TypeError(f"wrapper {name}() takes no keyword arguments")
    if len(args) > 1:
        raise TypeError(f"expected 0 arguments, got {len(args) - 1}")
    return args[0]


def _new_arguments(cls: type, args: tuple[object, ...]) -> tuple[object, ...]:
    """Checks the class that `cls.__new__(...)` is given, as the interpreter does for a built-in
    type; returns the arguments after it."""
    if not args:
        raise TypeError(f"{_type_name(cls)}.__new__(): not enough arguments")
    subtype = args[0]
    if not isinstance(subtype, type):
        raise TypeError(f"{_type_name(cls)}.__new__(X): X is not a type object ({_type_name(type(subtype))})")
    if not issubclass(subtype, cls):
        raise TypeError(
            f"{_type_name(cls)}.__new__({_type_name(subtype)}): "
            f"{_type_name(subtype)} is not a subtype of {_type_name(cls)}"
        )
    return args[1:]


def _not_found(key: bytes) -> KeyError:
    return KeyError(_NOT_FOUND_MESSAGE.format(key.decode()))


def _text_argument(value: Any, parameter: str) -> bytes:
    """A str argument as UTF-8 bytes; a lone surrogate raises the codec's UnicodeEncodeError."""
    if not issubclass(type(value), str):
        raise TypeError(f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to 'PyString'")
    return str.encode(value, "utf-8")


# A call in one line, whose frame can stand for another: see _from_callers_line.
_CALL = (lambda function, *args: function(*args)).__code__


def _caller() -> Any:
    """The frame of the line that called the twin: the innermost one whose code is not the twin's.
    The extension has no frames of its own, so that line is the frame above all that it calls."""
    frame: Any = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename == _CALL.co_filename:
        frame = frame.f_back
    return frame


def _from_callers_line(function: Callable[..., _T], *args: object) -> _T:
    """function(*args) in a frame that stands for the line that called the twin's callable: that
    line's file, number and globals. So a warning issued with a stacklevel by what it calls (the
    interpreter converting an argument, json.loads, an import hook) names the line the
    extension's would name, and is filtered by that line's module."""
    caller = _caller()
    if caller is None:  # called from C, with no Python frame above
        return function(*args)
    code = _CALL.replace(co_filename=caller.f_code.co_filename, co_firstlineno=caller.f_lineno or 0)
    return type(_from_callers_line)(code, caller.f_globals)(function, *args)


def _real_argument(value: object, parameter: str) -> float:
    """`value` converted as the extension converts a real number: a float as it is, anything else
    by the interpreter's own conversion (PyFloat_AsDouble, which math.ldexp applies to its first
    argument), whose messages and warnings are the running interpreter's. A TypeError (exactly
    that type) gets the parameter's name in front."""
    if type(value) is float:
        return value
    try:
        return _from_callers_line(_ldexp, value, 0)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        failure = error
    # Raised outside the handler, so the conversion error is not chained as its context.
    try:
        renamed = TypeError(f"argument '{parameter}': {failure}")
    except BaseException as message_failure:
        # The failure to write the message is raised instead, given the conversion error's cause.
        if failure.__cause__ is not None:
            message_failure.__cause__ = failure.__cause__
        raise
    if failure.__cause__ is not None:
        raise renamed from failure.__cause__
    raise renamed


def _texts(signature: str | None, doc: str | None) -> Callable[[_F], _F]:
    """Gives a function the text signature (which inspect reads) and the docstring that the
    extension's callable has."""

    def attach(function: _F) -> _F:
        function.__doc__ = doc
        setattr(function, "__text_signature__", signature)
        return function

    return attach


class _Unshared(str):
    """A slot name equal to no other string but itself.

    The interpreter lets `obj.__class__ = cls` through between classes laid out alike: the same
    base and slots of equal names. Each class of the twin names its slot with one of these, so no
    other class is laid out like it: no object can be made one of its instances that way, and none
    of its instances can be made anything else, as with the extension's types."""

    __slots__ = ()
    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other


_BUILTIN_METHOD = type(object.__new__)


class _Constructor:
    """A class's own __new__, shown as the interpreter shows that of a type made in C: a built-in
    method bound to the class, with object.__new__'s docstring and text signature.

    That binding also refuses to pickle an instance, as for the extension's: the interpreter's base
    reduction (object.__reduce__, copyreg._reduce_ex) rebuilds an instance from the nearest class
    whose __new__ is a built-in method bound to it, and refuses when that class is the instance's
    own. (From protocol 2 on the interpreter refuses by itself: the class shows no slot to save.)"""

    __slots__ = ("__self__", "_make")
    __doc__ = object.__new__.__doc__
    __text_signature__ = object.__new__.__text_signature__
    __module__ = None  # type: ignore[assignment]  # a built-in method belongs to no module
    __name__ = "__new__"

    def __init__(self, make: Callable[..., Any]) -> None:
        self._make = make

    # isinstance() falls back on __class__, so the interpreter's checks (inspect's, copyreg's) see
    # a built-in method; type() still tells the truth.
    @property  # type: ignore[misc]
    def __class__(self) -> type:  # type: ignore[override]
        return _BUILTIN_METHOD

    def __getattr__(self, name: str) -> Any:
        # A class statement takes __qualname__ as the class's own, so an instance's is made here.
        if name == "__qualname__":
            return f"{self.__self__.__qualname__}.__new__"
        return getattr(object.__new__, name)  # refused in the interpreter's words

    def __call__(self, /, *args: object, **kwargs: object) -> Any:
        return self._make(*args, **kwargs)


# Per class of the twin: the descriptor of the slot that holds an instance's value, the class's
# own __new__, and its name as the extension's messages write it.
_OWN: dict[type, tuple[Any, Any, str]] = {}


# The type of the twin's classes, which makes them behave as an extension's final types.
class _ExtensionType(type):
    # A docstring here would shadow type's own __doc__ descriptor for the classes, which then let
    # `del cls.__doc__` through; with it, the interpreter refuses as it does for the extension's.
    __doc__ = type.__dict__["__doc__"]

    def __new__(
        mcs, name: str, bases: tuple[type, ...], namespace: dict[str, Any], /, **kwargs: Any
    ) -> _ExtensionType:
        for base in bases:
            if isinstance(base, _ExtensionType):
                raise TypeError(f"type '{_type_name(base)}' is not an acceptable base type")
        # The extension's classes and their methods belong to `builtins`: so the interpreter's
        # messages about a call (`f(*5)`, a keyword given twice) name them by their qualified
        # name alone, and pydoc finds each method at home in its class.
        namespace["__module__"] = "builtins"
        for attribute in namespace.values():
            function = getattr(attribute, "__func__", attribute)
            if type(function) is type(_texts):
                function.__module__ = "builtins"
        namespace["__slots__"] = (_Unshared("_value"),)
        namespace["__new__"] = constructor = _Constructor(namespace["__new__"])
        cls = super().__new__(mcs, name, bases, namespace, **kwargs)
        constructor.__self__ = cls
        # The slot is reached through its descriptor alone, kept here: the class shows neither
        # the slot nor its __slots__, so an instance exposes no value, takes none, and pickles none.
        _OWN[cls] = (vars(cls)["_value"], vars(cls)["__new__"], name)
        del cls._value, cls.__slots__
        # The docstring starts with the text signature, as the extension's internal docs do: the
        # type keeps that text (so __text_signature__ reads it) while __doc__ shows only the prose.
        _, marker, prose = (cls.__doc__ or "").partition("\n--\n\n")
        if marker:
            cls.__doc__ = prose
        return cls

    def __call__(cls, /, *args: Any, **kwargs: Any) -> Any:
        if _new_replaced(cls):
            return super().__call__(*args, **kwargs)
        self = _OWN[cls][1]._make(cls, *args, **kwargs)
        # As the interpreter does after any constructor: the __init__ of the instance's type runs,
        # so one set from Python does, and it must return None.
        returned = type(self).__init__(self, *args, **kwargs)
        if returned is not None:
            _InitReturns(returned)
        return self

    # What inspect reads for each class: no parameters, as the extension's text signature says.
    setattr(__call__, "__text_signature__", "($cls)")

    def __setattr__(cls, name: str, value: Any) -> None:
        super().__setattr__(name, value)
        if name == "__new__":
            _note_new(cls, value)


# The interpreter keeps a type's own constructor when __new__ is deleted or set to a built-in
# type's __new__ (object.__new__) or its own again. Any other __new__ replaces it for good: from
# then on a call of the type calls whatever __new__ the type has.
def _note_new(cls: type, new: object) -> None:
    if new is not _OWN[cls][1] and not (isinstance(new, _BUILTIN_METHOD) and new.__name__ == "__new__"):
        _NEW_REPLACED.add(cls)


def _new_replaced(cls: type) -> bool:
    """Whether a __new__ set from Python has replaced the class's own constructor. One set by
    type.__setattr__ passes the metaclass by; it is seen here, on the class's next use."""
    _note_new(cls, vars(cls).get("__new__", _OWN[cls][1]))
    return cls in _NEW_REPLACED


# The classes whose own constructor a __new__ set from Python has replaced.
_NEW_REPLACED: set[type] = set()


class _InitReturns:
    """Made with a value that is not None, it has the interpreter refuse an __init__ that returned
    that value, in the interpreter's own words."""

    __init__: Any = lambda self, value: value  # noqa: E731


def _made(cls: type[_T], value: object) -> _T:
    """A new instance of `cls` holding `value`."""
    self = object.__new__(cls)
    _OWN[cls][0].__set__(self, value)
    return self


def _value_of(cls: type, self: object) -> Any:
    """The value that `self`, an instance of `cls`, holds.

    object.__new__(cls) makes an instance without its value. The extension refuses that call at
    once, unless a __new__ written in Python has replaced its own, in which case the instance is
    made and refuses its first use. Pure Python cannot stop the call, so here the instance always
    refuses its first use, with the text the extension would have given."""
    slot, _, name = _OWN[cls]
    try:
        return slot.__get__(self)
    except AttributeError:
        pass
    if not _new_replaced(cls):
        raise TypeError(f"object.__new__({_type_name(cls)}) is not safe, use {_type_name(cls)}.__new__()")
    raise TypeError(f"{name} object was made without its constructor")


def _version_function(version_text: str) -> Callable[..., str]:
    """PyFormulasRegistry.version, holding the version it was made with: like the extension's, it
    answers the same whatever later happens to the module's attributes."""

    @_texts("()", "Library-version round-trip helper.")
    def version(*args: object, **kwargs: object) -> str:
        _no_arguments("PyFormulasRegistry.version()", args, kwargs)
        return version_text

    version.__qualname__ = "PyFormulasRegistry.version"
    return version


# ---- Classes --------------------------------------------------------------------------------


class PyFormulasRegistry(metaclass=_ExtensionType):
    __doc__ = """PyFormulasRegistry()
--

Python wrapper for [`FormulasRegistry`]."""

    def __new__(*args: object, **kwargs: object) -> PyFormulasRegistry:
        _bind("PyFormulasRegistry.__new__", (), _new_arguments(PyFormulasRegistry, args), kwargs)
        return _made(PyFormulasRegistry, _seeded_records())

    @_texts("($self, name)", "Retrieve the numeric value for `name`.")
    def get(*args: object, **kwargs: object) -> float:
        self, args = _method_self(PyFormulasRegistry, "get", args)
        (name,) = _bind("PyFormulasRegistry.get", ("name",), args, kwargs)
        records = _value_of(PyFormulasRegistry, self)
        key = _text_argument(name, "name")
        record = records.get(key)
        if record is None:
            raise _not_found(key)
        return record.value

    version = staticmethod(_version_function(__version__))

    @_texts(list.__len__.__text_signature__, list.__len__.__doc__)  # the interpreter's own
    def __len__(*args: object, **kwargs: object) -> int:
        return len(_value_of(PyFormulasRegistry, _slot_self(PyFormulasRegistry, "__len__", args, kwargs)))


class PyQuarkRegistry(metaclass=_ExtensionType):
    __doc__ = """PyQuarkRegistry()
--

Python wrapper for [`QuarkRegistry`]."""

    def __new__(*args: object, **kwargs: object) -> PyQuarkRegistry:
        _bind("PyQuarkRegistry.__new__", (), _new_arguments(PyQuarkRegistry, args), kwargs)
        return _made(PyQuarkRegistry, {})  # an empty registry, as the extension's class holds

    @_texts(list.__len__.__text_signature__, list.__len__.__doc__)  # the interpreter's own
    def __len__(*args: object, **kwargs: object) -> int:
        return len(_value_of(PyQuarkRegistry, _slot_self(PyQuarkRegistry, "__len__", args, kwargs)))


class PyCKMMatrix(metaclass=_ExtensionType):
    __doc__ = """Python wrapper for [`CKMMatrix`]."""

    def __new__(*args: object, **kwargs: object) -> PyCKMMatrix:
        _new_arguments(PyCKMMatrix, args)
        raise TypeError(f"No constructor defined for {PyCKMMatrix.__name__}")

    @staticmethod
    @_texts("()", "Build the CKM matrix from the underlying topology.")
    def from_topology(*args: object, **kwargs: object) -> PyCKMMatrix:
        _no_arguments("PyCKMMatrix.from_topology()", args, kwargs)
        return _ckm_matrix(_TOPOLOGY_ROWS, 0.0)

    @_texts("($self, tol)", "`True` when the matrix is unitary within `tol`.")
    def is_unitary(*args: object, **kwargs: object) -> bool:
        self, args = _method_self(PyCKMMatrix, "is_unitary", args)
        (tol,) = _bind("PyCKMMatrix.is_unitary", ("tol",), args, kwargs)
        elements, _ = _value_of(PyCKMMatrix, self)
        tol = _real_argument(tol, "tol")
        worst = _max_deviation(elements)
        # A NaN or infinite deviation never passes, not even at an infinite tolerance.
        return worst <= sys.float_info.max and tol >= worst

    @_texts("($self)", "CP-violation Jarlskog invariant J.")
    def jarlskog(*args: object, **kwargs: object) -> float:
        self, args = _method_self(PyCKMMatrix, "jarlskog", args)
        _no_arguments("PyCKMMatrix.jarlskog()", args, kwargs)
        return _value_of(PyCKMMatrix, self)[1]  # type: ignore[no-any-return]


def _ckm_matrix(elements: Sequence[Sequence[float]], jarlskog: float) -> PyCKMMatrix:
    """A PyCKMMatrix holding `elements` (three rows of three floats); the class itself refuses calls."""
    rows = tuple(tuple(float(x) for x in row) for row in elements)
    return _made(PyCKMMatrix, (rows, float(jarlskog)))


def _max_deviation(e: Sequence[Sequence[float]]) -> float:
    """The largest |(V·Vᵀ)ij − δij|, summed in the extension's order; a NaN sticks."""
    worst = 0.0
    for i in range(3):
        for j in range(i, 3):
            dot = (e[i][0] * e[j][0] + e[i][1] * e[j][1]) + e[i][2] * e[j][2]
            deviation = abs(dot - (1.0 if i == j else 0.0))
            if deviation > worst or deviation != deviation:
                worst = deviation
    return worst


# ---- Module functions -----------------------------------------------------------------------


@_texts(
    "()",
    """Rust-accelerated twin of `corvantis.list_constants`.

Returns all known constant names from the FormulasRegistry.""",
)
def py_list_constants(*args: object, **kwargs: object) -> list[str]:
    _no_arguments(f"{__name__}.py_list_constants()", args, kwargs)
    return [key.decode() for key in sorted(_seeded_records())]  # bytes order, as the extension sorts


@_texts(
    "()",
    """Rust-accelerated twin of `corvantis.list_quarks`.

Returns all SM quark names from the QuarkRegistry.""",
)
def py_list_quarks(*args: object, **kwargs: object) -> list[str]:
    _no_arguments(f"{__name__}.py_list_quarks()", args, kwargs)
    return sorted(_QUARKS, key=str.encode)


@_texts(
    "(name)",
    """Rust-accelerated twin of `corvantis.Get` for the constants branch.

Returns a JSON-serialised dict with `name`, `value`, `units`,
`uncertainty`, and `status` fields \u2014 matching the Python constant
datasheet schema so callers don't need to branch.

Raises `PyKeyError` when `name` is not in the registry.""",
)
def py_get_constant(*args: object, **kwargs: object) -> Any:
    (name,) = _bind("py_get_constant", ("name",), args, kwargs)
    key = _text_argument(name, "name")
    if not key:
        raise _fault("py_get_constant: name must be non-empty")
    record = _seeded_records().get(key)
    if record is None:
        raise _not_found(key)
    # json is imported on every call, so whatever sys.modules holds at that moment is used.
    return _from_callers_line(_import_module("json").loads, _datasheet_json(record))


def _import_module(name: str) -> Any:
    """Imports `name` as the extension does, through the interpreter's PyImport_Import: the
    caller's `__import__` is called for its effect only, then the module is read from sys.modules
    (KeyError when an import hook left it out)."""
    caller = _caller()
    if caller is not None:
        caller_globals = caller.f_globals
    else:  # called from C with no Python frame: the interpreter's own builtins
        import builtins

        caller_globals = {"__builtins__": builtins}
    builtins_namespace = caller_globals["__builtins__"]
    if isinstance(builtins_namespace, dict):
        importer = builtins_namespace["__import__"]
    else:
        importer = builtins_namespace.__import__
    _from_callers_line(importer, name, caller_globals, caller_globals, [], 0)
    return sys.modules[name]


# Like the extension's functions, these report the module as their __self__, and its static
# methods None.
for _function in (py_list_constants, py_list_quarks, py_get_constant):
    setattr(_function, "__self__", sys.modules[__name__])
for _function in (PyFormulasRegistry.version, PyCKMMatrix.from_topology):
    setattr(_function, "__self__", None)
del _function
