#include "platform/intl/Localization.h"

#include <libintl.h>

#include <clocale>

namespace zivuv::platform {

void initLocalization(const std::string& localeDir) {
  (void)std::setlocale(LC_ALL, "");
  (void)bindtextdomain(kTextDomain, localeDir.c_str());
  (void)bind_textdomain_codeset(kTextDomain, "UTF-8");
}

std::string localizedString(const char* key) { return dgettext(kTextDomain, key); }

namespace {

std::string asText(const FormatArgument& argument) {
  if (const auto* text = std::get_if<std::string>(&argument)) return *text;
  return std::to_string(std::get<std::int64_t>(argument));
}

std::string asInteger(const FormatArgument& argument) {
  if (const auto* number = std::get_if<std::int64_t>(&argument)) return std::to_string(*number);
  // A text where a number belongs: show the text rather than invent a value.
  return std::get<std::string>(argument);
}

}  // namespace

std::string formatText(std::string_view format, const std::vector<FormatArgument>& arguments) {
  std::string out;
  out.reserve(format.size() + 16);
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    const char directive = format[i + 1];
    if (directive == '%') {
      out += '%';
      ++i;
    } else if ((directive == '@' || directive == 'i') && next < arguments.size()) {
      out += directive == '@' ? asText(arguments[next]) : asInteger(arguments[next]);
      ++next;
      ++i;
    } else {
      out += '%';
    }
  }
  return out;
}

}  // namespace zivuv::platform
