// Result objects handed back to Python; a failure to make one is an internal fault.
#include "pyfacade/results.hpp"

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "pyfacade/cpython_internals.hpp"
#include "pyfacade/errors.hpp"
#include "support/byte_loads.hpp"

namespace vellora::py {
namespace {

/// True when every byte is below 0x80, tested eight at a time.
bool is_ascii(std::string_view text) noexcept {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) seen |= load_le64(bytes + i);
  seen |= load_partial_le(bytes + i, text.size() - i);
  return (seen & 0x8080808080808080ULL) == 0;
}

/// A copy of two or more bytes: a name takes at most two overlapping moves, where a call to
/// memcpy costs more than the copy; longer texts go to memcpy.
void copy_text(char* to, std::string_view text) noexcept {
  const char* const from = text.data();
  const std::size_t count = text.size();
  const auto copy_ends = [&]<typename Word>(Word) {
    Word head;
    Word tail;
    std::memcpy(&head, from, sizeof(Word));
    std::memcpy(&tail, from + count - sizeof(Word), sizeof(Word));
    std::memcpy(to, &head, sizeof(Word));
    std::memcpy(to + count - sizeof(Word), &tail, sizeof(Word));
  };
  if (count > 16) std::memcpy(to, from, count);
  else if (count >= 8) copy_ends(std::uint64_t{});
  else if (count >= 4) copy_ends(std::uint32_t{});
  else copy_ends(std::uint16_t{});
}

PyObject* make_str(std::string_view text) noexcept {
  const auto size = static_cast<Py_ssize_t>(text.size());
  // ASCII text, as every name here is, is copied straight into a new compact str where the build
  // may write one: the same object the UTF-8 decoder would build, without its scan. Texts of fewer
  // than two characters go to the interpreter, which hands out its shared one-character and empty
  // strings for them.
  if (cpython::kWritesStrText && size >= 2 && is_ascii(text)) [[likely]]
    return cpython::new_ascii_str(text, copy_text);
  return PyUnicode_FromStringAndSize(text.data(), size);
}

}  // namespace

Outcome<OwnedRef> new_text_list(std::span<const std::string_view> texts) {
  OwnedRef list = OwnedRef::consuming(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) [[unlikely]]
    return result_creation_failed();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* const item = make_str(texts[i]);
    if (item == nullptr) [[unlikely]]
      return result_creation_failed();
    cpython::fill_list_slot(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

Outcome<OwnedRef> new_float(double value) {
  OwnedRef result = OwnedRef::consuming(PyFloat_FromDouble(value));
  if (!result) [[unlikely]]
    return result_creation_failed();
  return result;
}

Outcome<OwnedRef> new_text(std::string_view text) {
  OwnedRef result = OwnedRef::consuming(make_str(text));
  if (!result) [[unlikely]]
    return result_creation_failed();
  return result;
}

OwnedRef str_from_utf8(std::string_view text) noexcept { return OwnedRef::consuming(make_str(text)); }

}  // namespace vellora::py
