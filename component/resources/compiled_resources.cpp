// The resources compiled into the library: the generated string table and icon 101, in the
// language a function answers at each call. Portable, so every build can use it.
#include <utility>

#include "component/base/host_error.hpp"
#include "component/resources/icon101.hpp"
#include "component/resources/string_ids.hpp"
#include "component/resources/string_table.hpp"
#include "platform/resources.hpp"

namespace cobaltmoth::platform {
namespace {

class CompiledIn final : public Resources {
 public:
  explicit CompiledIn(std::function<std::int32_t()> language) : language_(std::move(language)) {}

  std::int32_t LanguageId() override {
    return language_() == strings::kItalian ? strings::kItalian : strings::kEnglish;
  }

  std::u16string LoadResString(std::int16_t id) override {
    const auto found = strings::Find(id, LanguageId());
    if (!found) host::RaiseRuntime(host::kInvalidProcedureCall);
    return std::u16string(*found);
  }

  Icon LoadResIcon(std::int16_t id) override {
    if (id != strings::kIconId) host::RaiseRuntime(host::kInvalidProcedureCall);
    return Icon{icons::Icon101Ico(), icons::kIcon101Size, icons::kIcon101Size,
                icons::Icon101Rgba()};
  }

 private:
  std::function<std::int32_t()> language_;
};

}  // namespace

std::shared_ptr<Resources> CompiledInResources(std::function<std::int32_t()> language) {
  return std::make_shared<CompiledIn>(std::move(language));
}

}  // namespace cobaltmoth::platform
