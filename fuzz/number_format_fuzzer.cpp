// libFuzzer target: arbitrary doubles (raw bits, or '#' and a decimal text) through every number
// layout; each text must be well formed, shortest, and read back as the same double.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datasheet_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fault = vellora::fuzz::check_number_input(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "number_format_fuzzer: %s\n", fault.c_str());
    std::abort();  // libFuzzer saves the input as a crash artifact
  }
  return 0;
}
