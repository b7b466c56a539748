"""python -m corvantis: the command line (see corvantis.cli)."""

from corvantis.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
