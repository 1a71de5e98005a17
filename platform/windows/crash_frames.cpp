// A crashed thread's native frames, walked from its context and named with dbghelp
// (platform/windows/crash_parts.hpp): "module!function+0x1c at file:line" where symbols exist.
#include "platform/windows/crash_parts.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace cobaltmoth::platform::windows {
namespace {

// dbghelp, once, knowing the modules loaded now.
void ReadySymbols() noexcept {
  static bool ready = false;
  if (ready) {
    ::SymRefreshModuleList(::GetCurrentProcess());
    return;
  }
  ::SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME |
                  SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
  ready = ::SymInitializeW(::GetCurrentProcess(), nullptr, TRUE) != FALSE;
}

// Whether `address` is in std::terminate or in the runtime's throw, where the handling
// began (x86-64: by the function tables, which every module has).
bool InTerminateOrThrow(DWORD64 address) noexcept {
#if defined(__x86_64__)
  DWORD64 image = 0;
  const RUNTIME_FUNCTION* function = ::RtlLookupFunctionEntry(address, &image, nullptr);
  if (function == nullptr) return false;
  const DWORD64 start = image + function->BeginAddress;
  return start == reinterpret_cast<DWORD64>(&std::terminate) ||
         start == reinterpret_cast<DWORD64>(&abi::__cxa_throw) ||
         start == reinterpret_cast<DWORD64>(&abi::__cxa_rethrow);
#else
  (void)address;
  return false;
#endif
}

}  // namespace

void NativeFrames::Take(const CONTEXT& context, HANDLE thread, bool drop_own) noexcept {
  ReadySymbols();
  CONTEXT walked = context;
  STACKFRAME64 frame {};
  DWORD machine;
#if defined(_M_X64) || defined(__x86_64__)
  machine = IMAGE_FILE_MACHINE_AMD64;
  frame.AddrPC.Offset = walked.Rip;
  frame.AddrFrame.Offset = walked.Rbp;
  frame.AddrStack.Offset = walked.Rsp;
#else
  machine = IMAGE_FILE_MACHINE_I386;
  frame.AddrPC.Offset = walked.Eip;
  frame.AddrFrame.Offset = walked.Ebp;
  frame.AddrStack.Offset = walked.Esp;
#endif
  frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
  count_ = 0;
  first_ = 0;
  while (count_ < kMaxFrames &&
         ::StackWalk64(machine, ::GetCurrentProcess(), thread, &frame, &walked, nullptr,
                       ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr) &&
         frame.AddrPC.Offset != 0) {
    addresses_[count_] = frame.AddrPC.Offset;
    bases_[count_] = ::SymGetModuleBase64(::GetCurrentProcess(), frame.AddrPC.Offset);
    if (drop_own && InTerminateOrThrow(addresses_[count_] - 1)) first_ = count_ + 1;
    ++count_;
  }
  // Without the runtime's frames to go by, a DLL's own frames at the top are the handling.
  const auto own = reinterpret_cast<DWORD64>(ThisModule());
  if (drop_own && first_ == 0 && own != reinterpret_cast<DWORD64>(::GetModuleHandleW(nullptr))) {
    while (first_ < count_ && bases_[first_] == own) ++first_;
  }
  // A return address is one past its call, which may be the next line's code: the call
  // itself is looked up. The innermost frame of an exception is the faulting instruction.
  interrupted_ = !drop_own;
}

void NativeFrames::WriteTo(runtime::TextOut& out) const noexcept {
  out.Append(u"Native Stack:\r\n-------------\r\n");
  const HANDLE process = ::GetCurrentProcess();
  for (int i = first_; i < count_; ++i) {
    const DWORD64 address = addresses_[i];
    const DWORD64 looked_up = address - (interrupted_ && i == 0 ? 0 : 1);
    const int number = i - first_;
    out.Append(u'#');
    out.Append(static_cast<char16_t>(u'0' + number / 10));
    out.Append(static_cast<char16_t>(u'0' + number % 10));
    out.Append(u' ');
    out.AppendHex(address, 2 * static_cast<int>(sizeof(void*)));
    out.Append(u' ');
    wchar_t module[MAX_PATH] = {};
    if (bases_[i] == 0 ||
        ::GetModuleFileNameW(reinterpret_cast<HMODULE>(bases_[i]), module, MAX_PATH) == 0) {
      out.Append(u"?\r\n");
      continue;
    }
    AppendWide(out, FileNameOf(module));
    alignas(SYMBOL_INFOW) static unsigned char room[sizeof(SYMBOL_INFOW) + 512 * sizeof(WCHAR)];
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(room);
    std::memset(room, 0, sizeof room);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 512;
    DWORD64 displacement = 0;
    if (::SymFromAddrW(process, looked_up, &displacement, symbol) && symbol->NameLen > 0) {
      out.Append(u'!');
      out.Append(std::u16string_view(reinterpret_cast<const char16_t*>(symbol->Name),
                                     std::min<ULONG>(symbol->NameLen, 512)));
      out.Append(u'+');
      out.AppendHex(address - symbol->Address, 1);
    } else {
      out.Append(u'+');
      out.AppendHex(address - bases_[i], 1);
    }
    IMAGEHLP_LINEW64 line {};
    line.SizeOfStruct = sizeof line;
    DWORD column = 0;
    if (::SymGetLineFromAddrW64(process, looked_up, &column, &line) && line.FileName != nullptr) {
      out.Append(u" at ");
      AppendWide(out, line.FileName);
      out.Append(u':');
      out.AppendDecimal(line.LineNumber);
    }
    out.Append(u"\r\n");
  }
  WriteModules(out);
}

// Each module the frames are in, once, by its whole path, so that a reader of the report can
// tell which copy of a DLL was loaded.
void NativeFrames::WriteModules(runtime::TextOut& out) const noexcept {
  bool any = false;
  for (int i = first_; i < count_; ++i) {
    if (bases_[i] == 0) continue;
    bool seen = false;
    for (int j = first_; j < i && !seen; ++j) seen = bases_[j] == bases_[i];
    wchar_t module[MAX_PATH] = {};
    if (seen ||
        ::GetModuleFileNameW(reinterpret_cast<HMODULE>(bases_[i]), module, MAX_PATH) == 0) {
      continue;
    }
    if (!any) out.Append(u"Modules:\r\n");
    any = true;
    AppendWide(out, module);
    out.Append(u"\r\n");
  }
}

}  // namespace cobaltmoth::platform::windows
