"""What the runner asks an interpreter, wherever it runs: probe.py QUESTION [ARGS...]

config NAME...     sysconfig's value of each name, one per line
modules FT         imports what the suites need; fails unless the GIL is off just when FT is True
loads-from FOLDER  fails unless corvantis and its extension are imported from FOLDER
libc               the glibc version, as MAJOR.MINOR
purelib            where pure-Python packages are installed
"""

import importlib
import platform
import sys
import sysconfig


def main(question: str, *args: str) -> None:
    if question == "config":
        print("\n".join(str(sysconfig.get_config_var(name) or "") for name in args))
    elif question == "modules":
        for name in ("ctypes", "sqlite3", "venv", "zlib"):
            importlib.import_module(name)
        gil = sys._is_gil_enabled()
        assert gil != (args[0] == "True"), f"the GIL is {'on' if gil else 'off'}"
    elif question == "loads-from":
        import corvantis
        import corvantis._vellora_core as core

        for module in (corvantis, core):
            assert module.__file__.startswith(args[0]), module.__file__
    elif question == "libc":
        print(platform.libc_ver()[1])
    elif question == "purelib":
        print(sysconfig.get_path("purelib"))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(*sys.argv[1:])
