// The POSIX backend's clock: the local time, written in the user's LC_TIME locale.
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstring>
#include <string>

#include "component/base/text.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth::platform {
namespace {

// Now as text in the user's LC_TIME locale: its short date (with the year in full) and its
// time, the way the host converts a date to text.
class PosixClock final : public Clock {
 public:
  explicit PosixClock(const char* locale_name)
      : locale_(MakeTimeLocale(locale_name)), pattern_(NowTextPattern(locale_)) {
    utf8_ = std::strcmp(::nl_langinfo_l(CODESET, locale_), "UTF-8") == 0;
  }
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
      return text::FromUtf8(format.substr(hour + 1, 1));
    }
    return u":";
  }

  std::u16string NowText() override {
    const struct tm local = LocalNow();
    char buffer[128];
    const std::size_t length = ::strftime_l(buffer, sizeof buffer, pattern_.c_str(), &local,
                                            locale_);
    return Text(std::string_view(buffer, length));
  }

  std::u16string DayName(int weekday) override {
    return Text(::nl_langinfo_l(DAY_1 + (weekday >= 0 && weekday <= 6 ? weekday : 0), locale_));
  }

  std::u16string MonthName(int month) override {
    return Text(::nl_langinfo_l(MON_1 + (month >= 1 && month <= 12 ? month - 1 : 0), locale_));
  }

 private:
  // The locale's bytes as text: UTF-8, or else Latin-1.
  std::u16string Text(std::string_view bytes) const {
    if (utf8_) return text::FromUtf8(bytes);
    std::u16string latin1;
    for (unsigned char c : bytes) latin1 += static_cast<char16_t>(c);
    return latin1;
  }

  static struct tm LocalNow() {
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    return local;
  }

  locale_t locale_;
  std::string pattern_;
  bool utf8_ = false;
};

}  // namespace

locale_t MakeTimeLocale(const char* locale_name) {
  locale_t locale = ::newlocale(LC_TIME_MASK, locale_name, static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) {
    locale = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  return locale;
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

}  // namespace cobaltmoth::platform
