// The POSIX backend's clock: the local time, written in the user's LC_TIME locale.
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/posix/posix_platform.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix {
namespace {

// Now as text in the user's LC_TIME locale: its short date (with the year in full) and its
// time, the way the host converts a date to text.
class PosixClock final : public Clock {
 public:
  explicit PosixClock(const char* locale_name)
      : locale_(MakeTimeLocale(locale_name)),
        pattern_(NowTextPattern(locale_)),
        charset_(locale_) {}
  ~PosixClock() override { ::freelocale(locale_); }
  PosixClock(const PosixClock&) = delete;
  PosixClock& operator=(const PosixClock&) = delete;

  LocalTime Now() override {
    const struct tm l = LocalNow();
    return {l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_wday, l.tm_hour, l.tm_min, l.tm_sec};
  }

  std::u16string TimeSeparator() override {
    // The character the locale's time format puts between hours and minutes.
    const std::string_view format = ::nl_langinfo_l(T_FMT, locale_);
    const std::size_t hour = format.find_first_of("HIkl");
    if (hour != std::string_view::npos && hour + 1 < format.size() && format[hour + 1] != '%') {
      return charset_.Text(format.substr(hour + 1, 1));
    }
    return u":";
  }

  std::u16string NowText() override {
    const struct tm local = LocalNow();
    char buffer[128];
    const std::size_t length = ::strftime_l(buffer, sizeof buffer, pattern_.c_str(), &local,
                                            locale_);
    return charset_.Text(std::string_view(buffer, length));
  }

  std::u16string DayName(int weekday) override {
    return charset_.Text(
        ::nl_langinfo_l(DAY_1 + (weekday >= 0 && weekday <= 6 ? weekday : 0), locale_));
  }

  std::u16string MonthName(int month) override {
    return charset_.Text(
        ::nl_langinfo_l(MON_1 + (month >= 1 && month <= 12 ? month - 1 : 0), locale_));
  }

 private:
  static struct tm LocalNow() {
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    return local;
  }

  locale_t locale_;
  std::string pattern_;
  LocaleCharset charset_;
};

}  // namespace

locale_t MakeTimeLocale(const char* locale_name) {
  constexpr locale_t kNone = static_cast<locale_t>(0);
  locale_t locale = ::newlocale(LC_TIME_MASK, locale_name, kNone);
  if (locale == kNone) locale = ::newlocale(LC_TIME_MASK, "C", kNone);
  if (locale == kNone) return kNone;
  // "" takes each category from its own variables, so the time locale's name is asked for and
  // its character set added by that name, not by the user's LC_CTYPE.
  const std::string name = ::nl_langinfo_l(_NL_LOCALE_NAME(LC_TIME), locale);
  if (const locale_t both = ::newlocale(LC_CTYPE_MASK, name.c_str(), locale); both != kNone) {
    return both;
  }
  return locale;
}

LocaleCharset::LocaleCharset() noexcept {
  for (int byte = 0; byte < 256; ++byte) bytes_[byte] = byte < 0x80 ? byte : u'?';
}

LocaleCharset::LocaleCharset(locale_t locale) : LocaleCharset() {
  if (locale == static_cast<locale_t>(0)) return;
  utf8_ = std::strcmp(::nl_langinfo_l(CODESET, locale), "UTF-8") == 0;
  if (utf8_) return;
  const locale_t previous = ::uselocale(locale);
  for (int byte = 0x80; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    wchar_t wide = 0;
    std::mbstate_t state{};
    if (std::mbrtowc(&wide, &c, 1, &state) != 1) continue;  // part of a wider character
    if (wide < 0xD800 || (wide >= 0xE000 && wide <= 0xFFFF)) {
      bytes_[byte] = static_cast<char16_t>(wide);
    }
  }
  ::uselocale(previous);
}

void LocaleCharset::AppendTo(runtime::TextOut& out, std::string_view bytes) const {
  if (utf8_) {
    runtime::AppendUtf8(out, bytes);
    return;
  }
  for (const char c : bytes) out.Append(bytes_[static_cast<unsigned char>(c)]);
}

std::u16string LocaleCharset::Text(std::string_view bytes) const {
  std::u16string text;
  runtime::StringOut out(text);
  AppendTo(out, bytes);
  return text;
}

std::string NowTextPattern(locale_t locale) {
  std::string date = ::nl_langinfo_l(D_FMT, locale);
  for (std::size_t at = date.find("%y"); at != std::string::npos; at = date.find("%y", at)) {
    date[at + 1] = 'Y';
  }
  return date + " " + ::nl_langinfo_l(T_FMT, locale);
}

std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name) {
  return std::make_unique<PosixClock>(locale_name);
}

}  // namespace cobaltmoth::platform::posix
