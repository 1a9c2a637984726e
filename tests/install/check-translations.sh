#!/usr/bin/env bash
# Checks the notification translations:
#   - the template holds the texts the service looks up, and the sources
#     still use each of them verbatim (a text changed on one side only
#     would never be translated);
#   - every language of LINGUAS translates every text, with nothing fuzzy;
#   - each translation keeps the "%@" and "%i" of its original and has no
#     other "%" directive (the service fills in only those two);
#   - the catalogue compiled into the build tree is up to date, and
#     gettext finds it the way the service does (LANGUAGE with C.UTF-8).
#
# usage: check-translations.sh PO_DIR BUILD_LOCALE_DIR SRC_DIR
set -euo pipefail

po_dir=${1:?po folder}
locale_dir=${2:?build locale folder}
src_dir=${3:?source folder}
domain=ZivuvFolderMonitor
pot="$po_dir/$domain.pot"

expected=(
  "Repository Automatically Added"
  "Zivuv is now monitoring the folder %@"
  "%i Repositories Added"
  "Zivuv is now monitoring %i more repositories"
  "Open"
)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes msgid NUL msgstr NUL for every message but the header.
pairs() {
  msgexec -i "$1" sh -c '[ -n "$MSGEXEC_MSGID" ] || exit 0; printf "%s\0" "$MSGEXEC_MSGID"; cat; printf "\0"'
}

# The "%" directives of a text, one a line, sorted.
directives() { grep -o '%.' <<<"$1" | sort || true; }

# --- The template --------------------------------------------------------

before=$failures
mapfile -d '' template < <(pairs "$pot")
ids=()
for ((i = 0; i < ${#template[@]}; i += 2)); do ids+=("${template[i]}"); done
if [ "$(printf '%s\n' "${ids[@]}" | sort)" != "$(printf '%s\n' "${expected[@]}" | sort)" ]; then
  fail "template texts differ from the expected ones: $(printf '[%s] ' "${ids[@]}")"
fi
grep -q 'no-c-format' "$pot" || fail "template entries are not marked no-c-format"
for id in "${ids[@]}"; do
  if ! grep -rqF --include='*.cpp' --include='*.hpp' --include='*.h' --include='*.cc' \
      "\"$id\"" "$src_dir"; then
    fail "no source under $src_dir uses the text \"$id\""
  fi
done
[ "$failures" -eq "$before" ] && pass "template holds the ${#ids[@]} texts the sources use"

# --- Each language ---------------------------------------------------------

mapfile -t languages < <(grep -v '^#' "$po_dir/LINGUAS" | tr -s ' \t' '\n' | sed '/^$/d')
[ "${#languages[@]}" -gt 0 ] || fail "LINGUAS lists no language"

for lang in "${languages[@]}"; do
  before=$failures
  po="$po_dir/$lang.po"
  if [ ! -f "$po" ]; then fail "$lang: $po missing"; continue; fi

  stats=$(LC_ALL=C msgfmt --check-header --statistics -o "$work/$lang.mo" "$po" 2>&1) \
    || fail "$lang: msgfmt: $stats"
  case "$stats" in
    *fuzzy*|*untranslated*) fail "$lang: not fully translated: $stats" ;;
  esac
  msgcmp "$po" "$pot" 2>"$work/cmp" || fail "$lang: texts differ from the template: $(cat "$work/cmp")"

  mapfile -d '' entries < <(pairs "$po")
  for ((i = 0; i < ${#entries[@]}; i += 2)); do
    id=${entries[i]} str=${entries[i + 1]}
    if [ "$(directives "$id")" != "$(directives "$str")" ]; then
      fail "$lang: \"$str\" does not keep the placeholders of \"$id\""
    fi
    if grep -q '%[^@i]' <<<"$str" || grep -q '%$' <<<"$str"; then
      fail "$lang: \"$str\" has a % directive other than %@ and %i"
    fi
  done

  mo="$locale_dir/$lang/LC_MESSAGES/$domain.mo"
  if [ ! -f "$mo" ]; then
    fail "$lang: $mo was not built"
  else
    cmp -s "$mo" "$work/$lang.mo" || fail "$lang: $mo is out of date with $po"
    # The lookup the service makes: C.UTF-8 locale, language from LANGUAGE.
    for ((i = 0; i < ${#entries[@]}; i += 2)); do
      got=$(LC_ALL=C.UTF-8 LANGUAGE="$lang" TEXTDOMAINDIR="$locale_dir" gettext -d "$domain" -- "${entries[i]}")
      [ "$got" = "${entries[i + 1]}" ] || fail "$lang: gettext gives \"$got\" for \"${entries[i]}\""
    done
  fi
  [ "$failures" -eq "$before" ] && pass "$lang: complete, placeholders kept, catalogue built and found"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
