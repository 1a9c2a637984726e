#include "discovery/FolderPattern.h"

#include <array>
#include <cctype>
#include <optional>

namespace zivuv::discovery {
namespace {

constexpr auto npos = std::string_view::npos;

// The outcome of matching from one position. AbortAll: the text ran out
// first, so no later start can match either; AbortToStarStar: a '*' met a
// '/', which only an enclosing "**" may step over. Both end the search of
// every '*' that cannot cross levels, which keeps a pattern with many stars
// from trying every split of the text.
enum class Wild { Match, NoMatch, AbortAll, AbortToStarStar };

struct CharacterClass {
  std::string_view name;
  int (*test)(int);
};
constexpr std::array<CharacterClass, 12> kClasses{{{"alnum", ::isalnum},
                                                   {"alpha", ::isalpha},
                                                   {"blank", ::isblank},
                                                   {"cntrl", ::iscntrl},
                                                   {"digit", ::isdigit},
                                                   {"graph", ::isgraph},
                                                   {"lower", ::islower},
                                                   {"print", ::isprint},
                                                   {"punct", ::ispunct},
                                                   {"space", ::isspace},
                                                   {"upper", ::isupper},
                                                   {"xdigit", ::isxdigit}}};

// The bracket expression that opens at p[at] ('['): whether c is in it,
// and the position of its closing ']'; nullopt when it is malformed (never
// closed, a '\' at the end, an unknown "[:class:]"), which matches nothing.
std::optional<std::size_t> bracket(std::string_view p, std::size_t at, unsigned char c,
                                   bool& matched) {
  std::size_t i = at + 1;
  bool negated = false;
  if (i < p.size() && (p[i] == '!' || p[i] == '^')) {
    negated = true;
    ++i;
  }
  matched = false;
  unsigned char previous = 0;  // the last single character, for a range
  for (bool first = true; first || i >= p.size() || p[i] != ']'; first = false) {
    if (i >= p.size()) return std::nullopt;
    auto ch = static_cast<unsigned char>(p[i]);
    if (ch == '\\') {
      if (++i >= p.size()) return std::nullopt;
      ch = static_cast<unsigned char>(p[i]);
      matched |= c == ch;
    } else if (ch == '-' && previous != 0 && i + 1 < p.size() && p[i + 1] != ']') {
      auto last = static_cast<unsigned char>(p[++i]);
      if (last == '\\') {
        if (++i >= p.size()) return std::nullopt;
        last = static_cast<unsigned char>(p[i]);
      }
      matched |= c >= previous && c <= last;
      ch = 0;
    } else if (ch == '[' && i + 1 < p.size() && p[i + 1] == ':') {
      const std::size_t close = p.find(']', i + 2);
      if (close == npos) return std::nullopt;
      if (close < i + 3 || p[close - 1] != ':') {
        // No ":]": an ordinary '['.
        matched |= c == '[';
      } else {
        const std::string_view name = p.substr(i + 2, close - i - 3);
        bool known = false;
        for (const auto& cls : kClasses) {
          if (cls.name != name) continue;
          known = true;
          matched |= cls.test(c) != 0;
        }
        if (!known) return std::nullopt;
        i = close;
        ch = 0;
      }
    } else {
      matched |= c == ch;
    }
    previous = ch;
    ++i;
  }
  if (negated) matched = !matched;
  return i;
}

// Matches pattern p against the whole of text t. With pathname, '*', '?'
// and brackets never match '/', and "**" between levels crosses them.
Wild wild(std::string_view p, std::string_view t, bool pathname) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < p.size(); ++i, ++j) {
    const char pc = p[i];
    if (j >= t.size() && pc != '*') return Wild::AbortAll;
    switch (pc) {
      case '\\':
        if (++i >= p.size()) return Wild::AbortAll;
        if (t[j] != p[i]) return Wild::NoMatch;
        continue;
      case '?':
        if (pathname && t[j] == '/') return Wild::NoMatch;
        continue;
      case '[': {
        bool matched = false;
        const auto close = bracket(p, i, static_cast<unsigned char>(t[j]), matched);
        if (!close) return Wild::AbortAll;
        if (!matched || (pathname && t[j] == '/')) return Wild::NoMatch;
        i = *close;
        continue;
      }
      case '*': break;
      default:
        if (t[j] != pc) return Wild::NoMatch;
        continue;
    }
    // A run of stars.
    const std::size_t first = i;
    while (i + 1 < p.size() && p[i + 1] == '*') ++i;
    bool crossesLevels = !pathname;
    if (pathname && i > first) {
      const bool wholeLevel =
          (first == 0 || p[first - 1] == '/') && (i + 1 == p.size() || p[i + 1] == '/');
      if (wholeLevel) {
        // "**/" may stand for no level at all.
        if (i + 1 < p.size() && wild(p.substr(i + 2), t.substr(j), pathname) == Wild::Match) {
          return Wild::Match;
        }
        crossesLevels = true;
      }
    }
    const std::string_view rest = p.substr(i + 1);
    if (rest.empty()) {
      if (!crossesLevels && t.find('/', j) != npos) return Wild::AbortToStarStar;
      return Wild::Match;
    }
    if (!crossesLevels && rest.front() == '/') {
      // "*/": the star takes the rest of this level.
      const std::size_t slash = t.find('/', j);
      if (slash == npos) return Wild::NoMatch;
      ++i;  // the loop steps over both slashes
      j = slash;
      continue;
    }
    for (;; ++j) {
      const Wild result = wild(rest, t.substr(j), pathname);
      if (result != Wild::NoMatch) {
        if (!crossesLevels || result != Wild::AbortToStarStar) return result;
      } else if (!crossesLevels && j < t.size() && t[j] == '/') {
        return Wild::AbortToStarStar;
      }
      if (j >= t.size()) return Wild::AbortAll;
    }
  }
  return j == t.size() ? Wild::Match : Wild::NoMatch;
}

// The pattern without its one trailing '/', which changes nothing for
// folders.
std::string_view withoutTrailingSlash(std::string_view pattern) {
  if (!pattern.empty() && pattern.back() == '/') pattern.remove_suffix(1);
  return pattern;
}

}  // namespace

bool patternMatchesPaths(std::string_view pattern) {
  return withoutTrailingSlash(pattern).find('/') != npos;
}

bool folderPatternMatches(std::string_view pattern, std::string_view name,
                          std::string_view relativePath) {
  pattern = withoutTrailingSlash(pattern);
  if (pattern.find('/') == npos) return wild(pattern, name, false) == Wild::Match;
  if (pattern.front() == '/') pattern.remove_prefix(1);
  return wild(pattern, relativePath, true) == Wild::Match;
}

std::string patternProblem(std::string_view pattern) {
  std::string_view body = withoutTrailingSlash(pattern);
  if (!body.empty() && body.front() == '/') body.remove_prefix(1);
  if (body.empty()) return "it names no folder";
  for (std::size_t at = 0; at <= body.size();) {
    const std::size_t end = std::min(body.find('/', at), body.size());
    const std::string_view level = body.substr(at, end - at);
    if (level.empty()) return "it has an empty level ('//'), which no folder's path has";
    if (level == "." || level == "..") {
      return "it has a level '" + std::string(level) + "', which no folder's path has";
    }
    at = end + 1;
  }
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\') {
      if (++i >= body.size()) return "it ends with a '\\' that escapes nothing";
    } else if (body[i] == '[') {
      bool matched = false;
      const auto close = bracket(body, i, 0, matched);
      if (!close) return "its '[' has no matching ']' (or names an unknown [:class:])";
      i = *close;
    }
  }
  return {};
}

}  // namespace zivuv::discovery
