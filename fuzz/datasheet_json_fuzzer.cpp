// libFuzzer target: arbitrary bytes become a constant record whose datasheet must be strict JSON
// that reads back to the same name, units, status and numbers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datasheet_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fault = vellora::fuzz::check_datasheet_input(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "datasheet_json_fuzzer: %s\n", fault.c_str());
    std::abort();  // libFuzzer saves the input as a crash artifact
  }
  return 0;
}
