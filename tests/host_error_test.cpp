#include "component/base/host_error.hpp"

#include <cobaltmoth/error_line.hpp>
#include <gtest/gtest.h>

#include <thread>

#include "fake_platform.hpp"
#include "platform/platform.hpp"

namespace cobaltmoth {
namespace {

TEST(HostError, NotInitialisedErrorCarriesTheClassAndTheExactTexts) {
  EXPECT_HOST_ERROR(host::RaiseNotInitialized(u"ProcBug"), -2147220503,
                    "Cobaltmoth.dll - Class ProcBug",
                    "You must initialize this class with Init sub before using any method");
  EXPECT_EQ(kNotInitializedError, static_cast<std::int32_t>(0x800403E9u));
}

TEST(HostError, StandardErrorsUseTheHostLanguagesTexts) {
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(5), 5, "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(9), 9, "Subscript out of range");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(457), 457,
                       "This key is already associated with an element of this collection");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(76), 76, "Path not found");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(70), 70, "Permission denied");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(61), 61, "Disk full");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(91), 91,
                       "Object variable or With block variable not set");
  EXPECT_RUNTIME_ERROR(host::RaiseRuntime(1234), 1234,
                       "Application-defined or object-defined error");
}

TEST(HostError, WhatIsReadableUtf8) {
  const Error error(61, u"Cobaltmoth", u"Disk full \u00E8");
  EXPECT_STREQ(error.what(), "Disk full \xC3\xA8 (61) in Cobaltmoth");
}

TEST(ErrorLine, BelongsToTheCallingThreadAndReachesThePlatform) {
  SetErl(120);
  int other_thread_saw = -1;
  std::thread([&] { other_thread_saw = platform::ThreadErrorLine()->Erl(); }).join();
  EXPECT_EQ(other_thread_saw, 0);
  EXPECT_EQ(platform::ThreadErrorLine()->Erl(), 120);
  SetErl(0);
  EXPECT_EQ(Erl(), 0);
}

}  // namespace
}  // namespace cobaltmoth
