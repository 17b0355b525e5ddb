# The bash completion of velmorix-cli offers what the command line takes, and
# the manual pages the build made are gzipped, clean for man and complete.
# Usage: bash completion_test.sh BUILD_FOLDER SOURCE_FOLDER
# shellcheck shell=bash
set -uo pipefail

build=$1
source=$2
program=$build/bin/velmorix-cli
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME=$scratch/config
mkdir -p "$scratch/site/docs"
touch "$scratch/site/data.txt"

for name in alpha "my site"; do
  "$program" add "$name" --url 127.0.0.1 >/dev/null || fail "velmorix-cli add '$name'"
done

# shellcheck source=packaging/velmorix-cli.bash-completion
source "$source/packaging/velmorix-cli.bash-completion"

# check LABEL EXPECTED WORD...: completing the last word of the command line
# offers EXPECTED, the words joined by "|" in any order.
check() {
  local label=$1 expected=$2 offered
  shift 2
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _velmorix_cli
  offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
  expected=$(tr '|' '\n' <<<"$expected" | sort | paste -sd '|')
  [ "$offered" = "$expected" ] || fail "$label: offered '$offered', not '$expected'"
}

check "command prefix" "transfer" tr
check "command prefix of test" "test" te
check "every name" 'alpha|my\ site' transfer ""
check "name prefix" "alpha" list al
check "name with a space, escaped" 'my\ site' delete my
check "name with a space, in quotes" "my site" transfer '"my'
check "name after an option's value" "alpha" set --local /tmp a
check "no second name" "" transfer alpha a
check "no names for a command without one" "" destinations a
check "options of a command without a name" "--delete-message|--keep-dot-files" switches ""
check "option prefix of set" "--skip-underscore-folders|--skip-images-folder" set alpha --skip
check "an option is not offered twice" "--dry-run|--progress|--no-progress|--max-delete" transfer alpha --yes --
check "--progress excludes --no-progress" "--yes|--dry-run|--max-delete" transfer alpha --no-progress --
check "switch value" "on|off" set alpha --only-newer ""
check "choice value" "tls-if-available|tls" add x --security tl
check "value after =" "passive" set alpha --data-mode = pa
check "value right after =" "auto|utf-8|shift_jis|euc-jp" update alpha --encoding =
check "no value for a free text" "" add x --url 127
check "protocol value" "ftp|sftp" update alpha --protocol ""
check "folders for --local" "$scratch/site/docs" set alpha --local "$scratch/site/d"

# The manual pages: velmorix.1 only where the window program is built.
pages=(velmorix-cli.1)
if grep -q '^VELMORIX_BUILD_UI:BOOL=ON$' "$build/CMakeCache.txt"; then
  pages+=(velmorix.1)
fi
for page in "${pages[@]}"; do
  gzipped=$build/packaging/$page.gz
  if ! gzip -t "$gzipped" 2>/dev/null; then
    fail "$gzipped is missing or not gzip"
    continue
  fi
  # As lintian looks at it: anything man says on the side is a fault.
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$gzipped" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man --warnings $page:"$'\n'"$warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$gzipped" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION FILES ENVIRONMENT "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$page has no section $section"
  done
  # A page made from a build must not describe the build's own copy; help2man
  # writes a "-" as "\-".
  if zcat "$gzipped" | grep -qF -e "$build" -e "${build//-/\\-}"; then
    fail "$page names the build folder $build"
  fi
done
cli_page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$build/packaging/velmorix-cli.1.gz" 2>/dev/null)
grep -qx "EXIT STATUS" <<<"$cli_page" || fail "velmorix-cli.1 has no section EXIT STATUS"
# A command's description starts a line of its own, below its synopsis.
grep -qE '^ +Adds +a +destination' <<<"$cli_page" ||
  fail "velmorix-cli.1 runs the synopsis of add into its description"

[ "$failures" -eq 0 ] || exit 1
echo "completion and manual pages are fine"
