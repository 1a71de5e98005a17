// tracing/app_identity.hpp - what Init records of the application for the titles: its file
// name and its version, shared by the tracer and the bug handler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/project_type.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::tracing {

// The application's title is a text piece: it writes itself without being made first.
struct AppIdentity final : runtime::TextPiece {
  std::u16string app_file;  // the name plus the project type's extension; empty until set
  std::u16string app_major;
  std::u16string app_minor;
  std::u16string app_revision;

  // Stores the version as decimal text and, for a project type from 0 to 3, the file name with
  // its extension (upper case when asked); another type leaves the file name as it was.
  void Set(std::u16string_view app_name, std::int16_t major, std::int16_t minor,
           std::int16_t revision, std::int32_t project_type, bool upper_case) {
    app_major = runtime::Decimal(major);
    app_minor = runtime::Decimal(minor);
    app_revision = runtime::Decimal(revision);
    const std::u16string_view extension = runtime::ProjectExtension(project_type, upper_case);
    if (!extension.empty()) {
      app_file.assign(app_name);
      app_file += extension;
    }
  }

  // app_file + " ver. " + major + "." + minor + "." + revision.
  std::u16string Title() const {
    std::u16string title;
    runtime::StringOut out(title);
    AppendTitle(out);
    return title;
  }
  void WriteTo(runtime::TextOut& out) const override { AppendTitle(out); }
  void AppendTitle(runtime::TextOut& out) const {
    for (const std::u16string_view part :
         {std::u16string_view(app_file), std::u16string_view(u" ver. "),
          std::u16string_view(app_major), std::u16string_view(u"."),
          std::u16string_view(app_minor), std::u16string_view(u"."),
          std::u16string_view(app_revision)}) {
      out.Append(part);
    }
  }
};

}  // namespace cobaltmoth::tracing
