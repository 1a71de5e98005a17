// cobaltmoth-typelib: writes the component's type library at build time, for the DLL to carry
// as its resource TYPELIB 1 (see type_library.hpp).
//
//   cobaltmoth-typelib win32|win64 FILE
//
// win32 writes the library of the 32-bit DLL, win64 that of the 64-bit one; either can be
// written by a writer of either pointer size. Exits with 0 when the file is written, 1 when
// writing failed (the HRESULT goes to standard error) and 2 on a wrong command line.
#include <cstdio>
#include <string>

#include "component/com/type_library.hpp"

int wmain(int argc, wchar_t** argv) {
  const std::wstring kind = argc == 3 ? argv[1] : L"";
  if (kind != L"win32" && kind != L"win64") {
    std::fputs("usage: cobaltmoth-typelib win32|win64 FILE\n", stderr);
    return 2;
  }
  const HRESULT hr = cobaltmoth::component::com::WriteTypeLibrary(
      argv[2], kind == L"win64" ? SYS_WIN64 : SYS_WIN32);
  if (FAILED(hr)) {
    std::fprintf(stderr, "cobaltmoth-typelib: cannot write %ls: HRESULT 0x%08lX\n", argv[2],
                 static_cast<unsigned long>(hr));
    return 1;
  }
  return 0;
}
