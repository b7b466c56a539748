// Result objects handed back to Python.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "pyfacade/outcome.hpp"
#include "pyfacade/py_ref.hpp"

namespace vellora::py {

/// A new `float`; should the interpreter fail to make it, the call faults ("Python API call failed").
Outcome<OwnedRef> new_float(double value);

/// A new `str` from UTF-8 text, with the same failure rule.
Outcome<OwnedRef> new_text(std::string_view text);

/// A new `str` from UTF-8 text, or null with the interpreter's error set: for a text handed on to
/// Python code, whose failure is that code's to report, not a fault of this module.
OwnedRef str_from_utf8(std::string_view text) noexcept;

/// A new `list` of new `str`, in the order given, with the same failure rule.
Outcome<OwnedRef> new_text_list(std::span<const std::string_view> texts);

}  // namespace vellora::py
