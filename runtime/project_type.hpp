// runtime/project_type.hpp - what the kind of host project means for its file name.
#pragma once

#include <cstdint>
#include <string_view>

namespace cobaltmoth::runtime {

// The extension of the application file for a project type: ".exe" for 0 and 1, ".dll" for 2,
// ".ocx" for 3 (".EXE", ".DLL", ".OCX" when `upper_case`); empty for any other value, which
// leaves a file name as it was.
constexpr std::u16string_view ProjectExtension(std::int32_t project_type, bool upper_case) {
  switch (project_type) {
    case 0:
    case 1:
      return upper_case ? u".EXE" : u".exe";
    case 2:
      return upper_case ? u".DLL" : u".dll";
    case 3:
      return upper_case ? u".OCX" : u".ocx";
    default:
      return {};
  }
}

}  // namespace cobaltmoth::runtime
