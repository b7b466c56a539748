"""Reads a valgrind memcheck XML report and fails on any error whose stack passes through the
extension: a definitely-lost block allocated from it, or an invalid access, uninitialised use or
bad free inside it. The interpreter's own reports (it frees little at exit) are counted, not failed.

usage: python valgrind_check.py REPORT.xml [--module _vellora_core]
       python valgrind_check.py --self-test
"""

import argparse
import sys
import xml.etree.ElementTree as ElementTree

# Kinds that are never acceptable from the extension; possibly-lost and still-reachable blocks are
# what any process holding module-level objects at exit shows, and are not reported with these flags.
FAILING_LEAK_KINDS = {"Leak_DefinitelyLost"}


def frames(error):
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            yield " ".join(frame.findtext(tag, "") for tag in ("fn", "obj", "file"))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    top = "\n    ".join(list(frames(error))[:12])
    return f"{error.findtext('kind')}: {what}\n    {top}"


def check(xml_text, module):
    """(failures, other error count) for the report text."""
    root = ElementTree.fromstring(xml_text)
    failures, others = [], 0
    for error in root.iter("error"):
        kind = error.findtext("kind", "")
        ours = any(module in frame for frame in frames(error))
        if ours and (kind in FAILING_LEAK_KINDS or not kind.startswith("Leak_")):
            failures.append(describe(error))
        else:
            others += 1
    return failures, others


def self_test():
    """The parser must flag the extension's leak and invalid read and let the interpreter's pass."""

    def error(kind, fn, obj):
        return (f"<error><kind>{kind}</kind><what>w</what><stack><frame><fn>malloc</fn><obj>vgpreload</obj></frame>"
                f"<frame><fn>{fn}</fn><obj>{obj}</obj></frame></stack></error>")

    report = ("<valgrindoutput>"
              + error("Leak_DefinitelyLost", "vellora::py::get", "/x/_vellora_core.cpython-3XY.so")
              + error("InvalidRead", "vellora::py::get", "/x/_vellora_core.cpython-3XY.so")
              + error("Leak_DefinitelyLost", "_PyObject_New", "/x/libpython3.XY.so")
              + error("Leak_PossiblyLost", "PyType_FromSpec", "/x/_vellora_core.cpython-3XY.so")
              + "</valgrindoutput>")
    failures, others = check(report, "_vellora_core")
    assert len(failures) == 2 and others == 2, (failures, others)
    assert check("<valgrindoutput></valgrindoutput>", "_vellora_core") == ([], 0)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("report", nargs="?")
    parser.add_argument("--module", default="_vellora_core")
    parser.add_argument("--self-test", action="store_true")
    options = parser.parse_args()
    if options.self_test:
        return self_test()
    with open(options.report, encoding="utf-8", errors="replace") as report:
        text = report.read()
    if "</valgrindoutput>" not in text:
        print(f"valgrind_check: {options.report} is incomplete (valgrind did not finish)", file=sys.stderr)
        return 1
    failures, others = check(text, options.module)
    print(f"valgrind_check: {len(failures)} report(s) through {options.module}; "
          f"{others} report(s) of the interpreter itself, not counted")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
