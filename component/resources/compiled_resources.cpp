// The resources compiled into the library (component/resources/compiled_resources.hpp).
#include "component/resources/compiled_resources.hpp"

#include <utility>

#include "component/resources/icon101.hpp"
#include "component/resources/string_table.hpp"
#include "runtime/host_error.hpp"

namespace cobaltmoth::component::resources {
namespace {

class CompiledIn final : public platform::Resources {
 public:
  explicit CompiledIn(std::function<std::int32_t()> language) : language_(std::move(language)) {}

  std::int32_t LanguageId() override {
    return language_() == platform::kItalian ? platform::kItalian : platform::kEnglish;
  }

  std::u16string LoadResString(std::int16_t id) override {
    const auto found = Find(id, LanguageId());
    if (!found) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    return std::u16string(*found);
  }

  platform::Icon LoadResIcon(std::int16_t id) override {
    if (id != platform::kIconId) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    return platform::Icon{Icon101Ico(), kIcon101Size, kIcon101Size,
                Icon101Rgba()};
  }

 private:
  std::function<std::int32_t()> language_;
};

}  // namespace

std::shared_ptr<platform::Resources> CompiledInResources(std::function<std::int32_t()> language) {
  return std::make_shared<CompiledIn>(std::move(language));
}

}  // namespace cobaltmoth::component::resources
