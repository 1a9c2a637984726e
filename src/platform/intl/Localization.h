#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zivuv::platform {

// The text domain of the service's translations.
inline constexpr const char* kTextDomain = "ZivuvFolderMonitor";

// Sets the locale from the environment and binds the text domain to
// localeDir (the build tree's catalogues in tests, the system's otherwise).
void initLocalization(const std::string& localeDir);

// The translation of key in the service's text domain, or key itself.
std::string localizedString(const char* key);

using FormatArgument = std::variant<std::string, std::int64_t>;

// Substitutes "%@" (text) and "%i" (decimal integer) with the arguments in
// order, and "%%" with "%". Any other directive, and a directive without an
// argument left, stays as written: a translated format can never read an
// argument that is not there.
std::string formatText(std::string_view format, const std::vector<FormatArgument>& arguments);

}  // namespace zivuv::platform
