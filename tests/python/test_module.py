"""Import, registration and the shape of what the module exposes."""

import functools
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

from support import FREE_THREADED, HANG_TIMEOUT

def attribute(module, path):
    """The object at dotted `path` inside `module`."""
    obj = module
    for name in path.split("."):
        obj = getattr(obj, name)
    return obj


def test_module_attributes(core):
    assert core.__version__ == "2.3.0" and type(core.__version__) is str
    assert core.__doc__ == "PyO3 module entry point. Wired as `corvantis._vellora_core`."
    assert not hasattr(core, "PanicException")


def test_repeated_import_returns_the_same_module(core, skip_twin):
    skip_twin("a Python module is executed afresh when imported again")
    name = core.__name__
    saved = sys.modules.pop(name)
    try:
        import importlib

        again = importlib.import_module(name)
        assert again is saved
    finally:
        sys.modules[name] = saved


def test_second_interpreter_is_refused(core, skip_twin):
    skip_twin("pure Python loads in any interpreter; that is what makes it the fallback there")
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.run_string(interp, f"import {core.__name__}")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    own = failure.msg.startswith("PyO3 modules do not yet support subinterpreters, see")
    # A free-threaded interpreter checks every second interpreter for single-phase modules itself,
    # before the module's init runs, so its own refusal is the message there.
    interpreters = FREE_THREADED and failure.msg == f"module {core.__name__} does not support loading in subinterpreters"
    assert own or interpreters, failure.msg


@pytest.mark.parametrize("name", ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"])
def test_classes_are_final(core, name):
    cls = getattr(core, name)
    assert cls.__qualname__ == name
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"])
def test_class_docstrings_cannot_be_deleted(core, name):
    cls = getattr(core, name)
    doc = cls.__doc__
    with pytest.raises(TypeError):
        del cls.__doc__
    assert cls.__doc__ == doc


@pytest.mark.parametrize("name", ["PyFormulasRegistry", "PyQuarkRegistry", "PyCKMMatrix"])
def test_classes_are_builtins_types(core, skip_twin, name):
    skip_twin("the interpreter names a class written in Python without the builtins. prefix")
    cls = getattr(core, name)
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize(
    "path, signature, doc",
    [
        ("PyFormulasRegistry", "()", "Python wrapper for [`FormulasRegistry`]."),
        ("PyQuarkRegistry", "()", "Python wrapper for [`QuarkRegistry`]."),
        ("PyCKMMatrix", None, "Python wrapper for [`CKMMatrix`]."),
        ("PyFormulasRegistry.get", "($self, name)", "Retrieve the numeric value for `name`."),
        ("PyFormulasRegistry.version", "()", "Library-version round-trip helper."),
        ("PyCKMMatrix.from_topology", "()", "Build the CKM matrix from the underlying topology."),
        ("PyCKMMatrix.is_unitary", "($self, tol)", "`True` when the matrix is unitary within `tol`."),
        ("PyCKMMatrix.jarlskog", "($self)", "CP-violation Jarlskog invariant J."),
        (
            "py_list_constants",
            "()",
            "Rust-accelerated twin of `corvantis.list_constants`.\n\n"
            "Returns all known constant names from the FormulasRegistry.",
        ),
        (
            "py_list_quarks",
            "()",
            "Rust-accelerated twin of `corvantis.list_quarks`.\n\n"
            "Returns all SM quark names from the QuarkRegistry.",
        ),
        (
            "py_get_constant",
            "(name)",
            "Rust-accelerated twin of `corvantis.Get` for the constants branch.\n\n"
            "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
            "`uncertainty`, and `status` fields \u2014 matching the Python constant\n"
            "datasheet schema so callers don't need to branch.\n\n"
            "Raises `PyKeyError` when `name` is not in the registry.",
        ),
    ],
)
def test_docstrings_and_text_signatures(core, path, signature, doc):
    obj = attribute(core, path)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_help_renders_the_module_and_its_classes(core):
    import pydoc

    for target in (core, core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix):
        text = pydoc.render_doc(target, renderer=pydoc.plaintext)
        assert target.__name__ in text
    registry = pydoc.render_doc(core.PyFormulasRegistry, renderer=pydoc.plaintext)
    assert " from " not in registry, "each method is shown at home in its class"


@pytest.mark.parametrize("name", ["py_list_constants", "py_list_quarks", "py_get_constant"])
def test_functions_belong_to_the_module(core, name):
    function = getattr(core, name)
    assert function.__module__ == core.__name__
    assert function.__self__ is core
    assert function.__name__ == name


def test_instances_take_no_attributes_and_no_weak_references(core):
    import weakref

    registry = core.PyFormulasRegistry()
    with pytest.raises(AttributeError):
        registry.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(registry)


def test_fresh_interpreter_imports_cleanly(core):
    """The whole import in a new process, as a user's first import would be."""
    code = textwrap.dedent(
        f"""
        import {core.__name__} as m
        assert m.__all__[-1] == "__version__"
        print(len(m.PyFormulasRegistry()))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                            timeout=HANG_TIMEOUT)
    assert result.stdout.strip() == "17"


EMBEDDING_PROGRAM = r"""
#include <Python.h>

int main(int argc, char **argv) {
    (void)argc;
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || failed) return 1 + round;
    }
    return 0;
}
"""


def embedding_program(directory):
    """A program that runs Python twice in one process, built with this interpreter's own build
    settings; skips where there is no C compiler or no library to embed."""
    import os
    import shlex
    import shutil
    import sysconfig

    config = sysconfig.get_config_var
    compiler = shlex.split(config("CC") or "cc")
    header = os.path.join(config("INCLUDEPY") or "", "Python.h")
    libraries = [os.path.join(config("LIBDIR") or "", config("LDLIBRARY") or ""),
                 os.path.join(config("LIBPL") or "", config("LIBRARY") or "")]
    library = next((path for path in libraries if os.path.isfile(path)), None)
    if not compiler or shutil.which(compiler[0]) is None or not os.path.isfile(header) or library is None:
        pytest.skip("no C compiler, Python.h or libpython to embed the interpreter")
    source, program = directory / "embed.c", directory / "embed"
    source.write_text(EMBEDDING_PROGRAM)
    command = [*compiler, f"-I{config('INCLUDEPY')}", str(source), "-o", str(program), library,
               f"-Wl,-rpath,{os.path.dirname(library)}",
               *shlex.split(config("LIBS") or ""), *shlex.split(config("SYSLIBS") or ""),
               *shlex.split(config("LINKFORSHARED") or "")]
    built = subprocess.run(command, capture_output=True, text=True, timeout=HANG_TIMEOUT)
    if built.returncode != 0:
        pytest.skip(f"cannot build an embedding program here: {built.stderr[-500:]}")
    return program


def test_each_embedded_runtime_gets_a_working_module(native, tmp_path):
    """A program that initializes and finalizes Python twice imports a live module each time."""
    import os

    program = embedding_program(tmp_path)
    code = textwrap.dedent(
        f"""
        import importlib, {native.__name__} as m
        assert importlib.import_module("{native.__name__}") is m
        print(len(m.PyFormulasRegistry()), m.py_list_constants()[0], m.__version__ == "{native.__version__}")
        """
    )
    path = os.pathsep.join(entry for entry in sys.path if entry)
    result = subprocess.run([str(program), code], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": path}, timeout=HANG_TIMEOUT)
    assert (result.returncode, result.stdout) == (0, "17 b3 True\n" * 2), result.stderr


# The runner names the x86-64 abi3 wheel where a free-threaded CPython of this machine is proven.
ABI3_WHEEL = os.environ.get("VELLORA_ABI3_WHEEL")


@pytest.mark.skipif(not (FREE_THREADED and ABI3_WHEEL), reason="needs the abi3 wheel on a free-threaded CPython")
def test_abi3_build_refuses_a_free_threaded_cpython_and_the_twin_answers(tmp_path):
    # An older pip, a --target folder or a shared PYTHONPATH puts the abi3 module where a
    # free-threaded CPython imports it: it must refuse in one line rather than crash there.
    with zipfile.ZipFile(ABI3_WHEEL) as wheel:
        wheel.extractall(tmp_path)
    run = functools.partial(subprocess.run, capture_output=True, text=True, timeout=HANG_TIMEOUT, cwd=tmp_path,
                            env={**os.environ, "PYTHONPATH": str(tmp_path)})
    refused = run([sys.executable, "-c", "import corvantis._vellora_core"])
    assert refused.returncode == 1, refused.stderr
    assert refused.stderr.splitlines()[-1] == (
        "ImportError: this build of corvantis._vellora_core (abi3) needs a CPython with the GIL; a free-threaded "
        "CPython needs the build made for it: its own wheel (cp313t, cp314t) or the sdist")
    code = "import corvantis; print(corvantis.backend().__name__, corvantis.get_constant('phi')['value'])"
    answered = run([sys.executable, "-c", code])
    assert answered.returncode == 0, answered.stderr
    assert answered.stdout == "corvantis._pyvellora 1.618033988749895\n"
    assert "NativeUnavailableWarning: corvantis._vellora_core cannot be imported (this build of" in answered.stderr
