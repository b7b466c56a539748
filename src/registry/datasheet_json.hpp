// The datasheet of one constant as compact JSON text.
#pragma once

#include <string>
#include <string_view>

#include "registry/constant_record.hpp"

namespace vellora {

/// Appends `bytes` as a JSON string: quoted, with `"`, `\` and the control bytes escaped, every
/// other byte (`/`, 0x7F and all of multi-byte UTF-8 included) written as it is.
void append_json_string(std::string& out, std::string_view bytes);

/// Appends the datasheet of `record`: the members "name", "status", "uncertainty", "units",
/// "value" in byte order of their keys, with no white space; absent or non-finite numbers as null.
void append_datasheet_json(std::string& out, const ConstantRecord& record);

/// The datasheet text of `record` in a new string.
std::string datasheet_json(const ConstantRecord& record);

}  // namespace vellora
