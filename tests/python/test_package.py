"""The corvantis package: its functions, the fall-back to the twin, the type stubs, signatures and
the README's examples."""

import ast
import doctest
import inspect
import json
import pathlib
import re
import subprocess
import sys
import textwrap
import typing
import warnings

import pytest

import corvantis
from support import HANG_TIMEOUT, blocks


@pytest.fixture
def no_extension(monkeypatch):
    """Makes `from corvantis import _vellora_core` fail, as it does where the module cannot load,
    and forgets the module chosen so far."""
    monkeypatch.setattr(corvantis, "_chosen", None)
    monkeypatch.setitem(sys.modules, "corvantis._vellora_core", None)
    monkeypatch.delattr(corvantis, "_vellora_core", raising=False)


def calls(module):
    return module.py_list_constants(), module.py_list_quarks(), module.py_get_constant("phi")


def package_calls():
    return corvantis.list_constants(), corvantis.list_quarks(), corvantis.get_constant("phi")


CLASSES = ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"]


def assert_package_answers_as(module, capfd):
    assert corvantis.backend() is module
    assert [getattr(corvantis, name) for name in CLASSES] == [getattr(module, name) for name in CLASSES]
    # The empty name is unknown, as to the registry, and no fault is reported.
    with pytest.raises(KeyError) as package_answer:
        corvantis.get_constant("")
    with pytest.raises(KeyError) as registry_answer:
        module.PyFormulasRegistry().get("")
    assert package_answer.value.args == registry_answer.value.args and capfd.readouterr().err == ""


def test_functions_answer_from_the_extension_without_a_warning(native, monkeypatch, capfd):
    monkeypatch.setattr(corvantis, "_chosen", None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert package_calls() == calls(native)
        assert_package_answers_as(native, capfd)
    with pytest.raises(KeyError, match="constant `nope` not found in registry"):
        corvantis.get_constant("nope")


def test_fallback_warns_once_and_answers_as_the_twin(twin, no_extension, capfd):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert package_calls() == package_calls() == calls(twin)
    assert [w.category for w in caught] == [corvantis.NativeUnavailableWarning]
    assert issubclass(corvantis.NativeUnavailableWarning, RuntimeWarning)
    assert_package_answers_as(twin, capfd)


def test_public_names_and_their_type_hints(core):
    shown = dir(corvantis)
    assert set(corvantis.__all__) <= set(shown) and all(not name.startswith("_") for name in set(shown) - {"__version__"})
    # Every hint resolves at run time, and says what the result is.
    for function, args in ((corvantis.backend, ()), (corvantis.list_constants, ()), (corvantis.get_constant, ("phi",))):
        hint = typing.get_type_hints(function)["return"]
        assert isinstance(function(*args), typing.get_origin(hint) or hint), function
    for cls in [corvantis.NativeUnavailableWarning, *(getattr(core, name) for name in CLASSES)]:
        for member in [cls, *(getattr(cls, name) for name in vars(cls) if not name.startswith("_"))]:
            typing.get_type_hints(member)


def test_subinterpreter_falls_back_to_the_twin(tmp_path):
    _interpreters = pytest.importorskip("_interpreters")
    out = tmp_path / "out.json"
    code = textwrap.dedent(
        f"""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import corvantis
            seen = [corvantis.list_constants(), corvantis.get_constant("phi"), corvantis.backend().__name__]
        with open({str(out)!r}, "w") as f:
            json.dump(seen + [[w.category.__name__ for w in caught]], f)
        """
    )
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.run_string(interp, code)
    finally:
        _interpreters.destroy(interp)
    assert failure is None, failure.formatted
    names, sheet, backend, caught = json.loads(out.read_text())
    assert (names, sheet) == (corvantis.list_constants(), corvantis.get_constant("phi"))
    assert (backend, caught) == ("corvantis._pyvellora", ["NativeUnavailableWarning"])


# Others' code that uses the package on the same thread while the package runs code that can call
# it: an audit hook while the first use imports the module that answers, and a profile hook while
# the warning class is made. Each prints the module that answers and whether the hook's answer is
# the package's.
SAME_THREAD_START = """
import sys
if sys.argv[1] == "_pyvellora":
    sys.modules["corvantis._vellora_core"] = None  # as where the extension cannot be loaded
import corvantis
seen, answers = [], []
"""
USE_DURING = {
    "the import": """
def hook(event, args):
    if event == "import" and str(args[0]).startswith("corvantis._") and not seen:
        seen.append(args[0])
        answers.append(corvantis.list_quarks())
sys.addaudithook(hook)
print(corvantis.backend().__name__, answers == [corvantis.list_quarks()])
""",
    "the warning class": """
def hook(frame, event, arg):
    if event == "c_call" and arg is __build_class__ and not seen:
        seen.append(arg)
        answers.append(corvantis.NativeUnavailableWarning)
sys.setprofile(hook)
answer = corvantis.NativeUnavailableWarning
sys.setprofile(None)
print(corvantis.backend().__name__, answers == [answer])
""",
}


@pytest.mark.parametrize("during", list(USE_DURING))
@pytest.mark.parametrize("module", ["_vellora_core", "_pyvellora"])
def test_the_package_used_on_the_same_thread_while_it_runs_others_code(module, during):
    result = subprocess.run([sys.executable, "-c", SAME_THREAD_START + USE_DURING[during], module],
                            capture_output=True, text=True, timeout=HANG_TIMEOUT)
    assert result.stdout == f"corvantis.{module} True\n"
    assert result.stderr.count("NativeUnavailableWarning") == (module == "_pyvellora")


def test_importing_the_package_loads_no_extension():
    code = "import sys, corvantis; print('corvantis._vellora_core' in sys.modules, corvantis.__version__)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.split() == ["False", "2.3.0"]


def test_importing_the_package_imports_no_other_module():
    code = "import sys; before = set(sys.modules); import corvantis; print(*sorted(set(sys.modules) - before))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.split() == ["corvantis"]


FIRST_CALLS = {  # each on one line: the warning must name that line
    "backend": lambda: corvantis.backend(),
    "PyCKMMatrix": lambda: corvantis.PyCKMMatrix,
    "list_quarks": lambda: corvantis.list_quarks(),
    "get_constant": lambda: corvantis.get_constant("phi"),
}


@pytest.mark.parametrize("call", list(FIRST_CALLS.values()), ids=list(FIRST_CALLS))
def test_fallback_warning_names_the_callers_line(no_extension, call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    assert [(w.filename, w.lineno) for w in caught] == [(__file__, call.__code__.co_firstlineno)]


@pytest.mark.parametrize("call", list(FIRST_CALLS.values()), ids=list(FIRST_CALLS))
def test_fallback_settles_on_the_twin_when_the_warning_is_an_error(twin, no_extension, call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(corvantis.NativeUnavailableWarning):
            call()
        assert package_calls() == calls(twin) and corvantis.backend() is twin


@pytest.mark.python_level
def test_stub_is_installed_and_matches_the_classes(native):
    folder = pathlib.Path(native.__file__).parent
    assert (folder / "py.typed").is_file()
    tree = ast.parse((folder / "_vellora_core.pyi").read_text(encoding="utf-8"))
    # Types the stub names for type checkers alone (type_check_only) are not the module's.
    stub_only = [
        node for node in tree.body
        if any(getattr(d, "id", None) == "type_check_only" for d in getattr(node, "decorator_list", ()))
    ]
    assert [node.name for node in stub_only] == ["Datasheet"] and not hasattr(native, "Datasheet")
    body = [node for node in tree.body if node not in stub_only]
    declared = [node.name if hasattr(node, "name") else node.target.id for node in body[3:]]
    assert declared == native.__all__[-1:] + native.__all__[:-1]
    assert ast.literal_eval(body[2].value) == native.__all__
    for node in (node for node in body if isinstance(node, ast.ClassDef)):
        runtime = vars(getattr(native, node.name))
        methods = {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        assert set(methods) - {"__new__"} == {name for name in runtime if not name.startswith("__") or name == "__len__"}
        for name, item in methods.items():
            static = any(getattr(d, "id", None) == "staticmethod" for d in item.decorator_list)
            assert static == isinstance(runtime[name], staticmethod), name


@pytest.mark.typecheck
@pytest.mark.python_level
def test_stubtest_finds_no_difference():
    pytest.importorskip("mypy", reason="mypy comes with the package's test extra")
    command = [sys.executable, "-m", "mypy.stubtest", "corvantis._vellora_core"]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "path, expected",
    [
        ("PyFormulasRegistry", "()"), ("PyFormulasRegistry.get", "(self, /, name)"),
        ("PyFormulasRegistry.version", "()"), ("PyFormulasRegistry.__len__", "(self, /)"),
        ("PyQuarkRegistry", "()"), ("PyCKMMatrix.from_topology", "()"),
        ("PyCKMMatrix.is_unitary", "(self, /, tol)"), ("PyCKMMatrix.jarlskog", "(self, /)"),
        ("py_list_constants", "()"), ("py_list_quarks", "()"), ("py_get_constant", "(name)"),
    ],
)
def test_inspect_signature(core, path, expected):
    target = core
    for name in path.split("."):
        target = getattr(target, name)
    assert str(inspect.signature(target)) == expected


def test_signatures_of_bound_methods(core):
    registry, matrix = core.PyFormulasRegistry(), core.PyCKMMatrix.from_topology()
    assert [str(inspect.signature(f)) for f in (registry.get, matrix.is_unitary, matrix.jarlskog)] == ["(name)", "(tol)", "()"]
    with pytest.raises(TypeError):
        inspect.signature(matrix.is_unitary).bind(1.0, 2.0)


README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = blocks("python", "(>>>.*?)")


@pytest.mark.python_level
@pytest.mark.parametrize("example", EXAMPLES)
def test_readme_examples_run_as_shown(example):
    test = doctest.DocTestParser().get_doctest(example, {}, "README", str(README), 0)
    runner, output = doctest.DocTestRunner(), []
    runner.run(test, out=output.append)
    assert runner.tries > 0 and runner.failures == 0, "".join(output)


@pytest.mark.python_level
def test_readme_shows_every_callable(native):
    shown = "".join(EXAMPLES)
    for name in [*native.__all__, ".get(", ".version()", ".from_topology()", ".is_unitary(", ".jarlskog()", "len(core.PyQuarkRegistry())"]:
        assert name in shown, name


@pytest.mark.typecheck
@pytest.mark.python_level
def test_readme_code_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy comes with the package's test extra")
    for index, example in enumerate(EXAMPLES):
        (tmp_path / f"readme_{index}.py").write_text(doctest.script_from_examples(example), encoding="utf-8")
    # Run where no configuration file is found, against the installed package and its stub.
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "."]
    result = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path)
    assert (result.returncode, len(EXAMPLES)) == (0, len(blocks("python"))), result.stdout


@pytest.mark.python_level
def test_readme_table_of_constants_is_the_registrys():
    rows = re.findall(r"^\| `(\w+)` \| (\S+) \| (\S+) \| (\w+) \|$", README.read_text(encoding="utf-8"), re.MULTILINE)
    sheets = [corvantis.get_constant(name) for name in corvantis.list_constants()]
    assert rows == [(s["name"], repr(s["value"]), s["units"], s["status"]) for s in sheets]
