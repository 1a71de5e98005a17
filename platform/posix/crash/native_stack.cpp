// Native frames of a crashed thread (platform/posix/crash/native_stack.hpp): taken and written
// out; symbolizer.cpp names them.
//
// Everything here is safe in a signal handler: system calls, fixed buffers, no allocation, no
// lock, no stdio. backtrace() loads its unwinder once, on its first call; the crash handling
// makes that call when it is armed.
#include "platform/posix/crash/native_stack.hpp"

#include <execinfo.h>
#include <string.h>

#include <cstring>
#include <string_view>

#include "platform/posix/crash/memory_map.hpp"

namespace cobaltmoth::platform::posix::crash {

void NativeFrames::Take(const void* interrupted) noexcept {
  void* raw[kMaxFrames];
  const int taken = ::backtrace(raw, kMaxFrames);
  int from = 1;  // this function
  drop_own_ = true;
  for (int i = 0; interrupted != nullptr && i < taken; ++i) {
    if (raw[i] == interrupted) {
      from = i;
      drop_own_ = false;
      break;
    }
  }
  count_ = 0;
  for (int i = from; i < taken; ++i) {
    frames_[count_] = Frame();
    frames_[count_++].address = reinterpret_cast<std::uintptr_t>(raw[i]);
  }
  first_ = 0;
  named_ = false;
  unnamed_ = Unnamed::kNo;
}

// A module's first mapping (offset 0) is where it was loaded; the symbolizer counts from there.
void NativeFrames::Place() noexcept {
  struct Search {
    NativeFrames* frames;
    char loaded_path[kPathSize] = {};
    std::uintptr_t loaded_at = 0;
  } search{this};
  ForEachMapping(
      [](const Mapping& mapping, void* context) {
        auto& s = *static_cast<Search*>(context);
        if (*mapping.path != '/') return;
        if (mapping.offset == 0) {
          std::strncpy(s.loaded_path, mapping.path, kPathSize - 1);
          s.loaded_at = mapping.start;
        }
        for (int i = 0; i < s.frames->count_; ++i) {
          Frame& frame = s.frames->frames_[i];
          if (frame.address < mapping.start || frame.address >= mapping.end) continue;
          std::strncpy(frame.module, mapping.path, kPathSize - 1);
          frame.base = std::strcmp(s.loaded_path, frame.module) == 0
                           ? s.loaded_at
                           : mapping.start - mapping.offset;
        }
      },
      &search);
}

void NativeFrames::WriteTo(runtime::TextOut& out) const noexcept {
  out.Append(u"Native Stack:\r\n-------------\r\n");
  for (int i = first_; i < count_; ++i) {
    const Frame& frame = frames_[i];
    const int number = i - first_;
    out.Append(u'#');
    out.Append(static_cast<char16_t>(u'0' + number / 10));
    out.Append(static_cast<char16_t>(u'0' + number % 10));
    out.Append(u' ');
    out.AppendHex(frame.address, 2 * static_cast<int>(sizeof frame.address));
    out.Append(u' ');
    if (frame.base == 0) {
      out.Append(u'?');
    } else {
      const char* slash = std::strrchr(frame.module, '/');
      runtime::AppendUtf8(out, slash == nullptr ? frame.module : slash + 1);
      out.Append(u'+');
      out.AppendHex(frame.address - frame.base);
    }
    if (frame.name != nullptr) {
      out.Append(u' ');
      runtime::AppendUtf8(out, std::string_view(frame.name, frame.name_size));
    }
    out.Append(u"\r\n");
  }
  if (unnamed_ != Unnamed::kNo) WriteWhyUnnamed(out);
  WriteModules(out);
}

// Each module the frames are in, once, by its whole path, so that a reader of the report can
// tell which copy of a library was loaded.
void NativeFrames::WriteModules(runtime::TextOut& out) const noexcept {
  bool any = false;
  for (int i = first_; i < count_; ++i) {
    const Frame& frame = frames_[i];
    if (frame.base == 0) continue;
    bool seen = false;
    for (int j = first_; j < i && !seen; ++j) {
      seen = frames_[j].base != 0 && std::strcmp(frames_[j].module, frame.module) == 0;
    }
    if (seen) continue;
    if (!any) out.Append(u"Modules:\r\n");
    any = true;
    runtime::AppendUtf8(out, frame.module);
    out.Append(u"\r\n");
  }
}

void NativeFrames::WriteWhyUnnamed(runtime::TextOut& out) const noexcept {
  out.Append(u"Frames not named: ");
  if (unnamed_ == Unnamed::kNoSymbolizer) {
    out.Append(u"cobaltmoth-crash was not found");
  } else {
    runtime::AppendUtf8(out, symbolizer_);
    if (unnamed_ == Unnamed::kTooSlow) {
      out.Append(u" did not answer in time");
    } else {
      out.Append(u" could not be started (");
      const char* name = ::strerrorname_np(start_error_);
      if (name != nullptr) {
        runtime::AppendUtf8(out, name);
      } else {
        out.Append(u"error ");
        out.AppendDecimal(start_error_);
      }
      out.Append(u')');
    }
  }
  out.Append(u"\r\n");
}

}  // namespace cobaltmoth::platform::posix::crash
