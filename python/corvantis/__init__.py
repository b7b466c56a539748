"""corvantis: physics constants, quark listings and a CKM matrix.

The native core lives in ``corvantis._vellora_core``; it is imported on first use, not here, so
that importing the package never fails where the extension cannot be loaded.
"""

__version__ = "2.3.0"
