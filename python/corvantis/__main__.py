"""python -m corvantis: show what the native core knows."""

from corvantis import _vellora_core as core


def main() -> int:
    registry = core.PyFormulasRegistry()
    print(f"corvantis {core.__version__}: {len(registry)} constants")
    for name in core.py_list_constants():
        sheet = core.py_get_constant(name)
        print(f"  {name:<16} {sheet['value']!r:>20} {sheet['units']:<14} {sheet['status']}")
    print("quarks:", ", ".join(core.py_list_quarks()))
    matrix = core.PyCKMMatrix.from_topology()
    print(f"CKM from topology: J = {matrix.jarlskog()}, unitary within 1e-12: {matrix.is_unitary(1e-12)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
