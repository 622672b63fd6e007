#!/bin/sh
# The sources as clang-format writes them (the repository's .clang-format,
# nothing rewritten: a dry run that fails on the first difference) and the
# shell scripts clean under shellcheck at warning level. Runs first: it takes
# seconds and needs no build.
set -eu
. tools/lib.sh
need_packages clang-format shellcheck git

# The tracked files only, so that build folders and generated files are left
# alone.
git ls-files -- '*.c' '*.h' '*.cpp' '*.cc' '*.hpp' >"${TMPDIR:-/tmp}/tractwave-lint.$$"
trap 'rm -f "${TMPDIR:-/tmp}/tractwave-lint.$$"' EXIT
count=$(wc -l <"${TMPDIR:-/tmp}/tractwave-lint.$$")
if ! xargs clang-format --dry-run -Werror <"${TMPDIR:-/tmp}/tractwave-lint.$$"; then
  echo "lint: clang-format would change the files above (run clang-format -i on them)"
  exit 1
fi
echo "lint: $count C and C++ files as clang-format writes them"

# Every tracked script: *.sh and the files that start with a sh shebang.
# tools/lib.sh has no shebang (it is sourced) and sets variables only its
# users read, so it is checked as sh without the unused-variable warning.
scripts=$(git ls-files | while read -r f; do
  case $f in
  tools/lib.sh) ;;
  *.sh) echo "$f" ;;
  *) if head -n 1 "$f" 2>/dev/null | grep -q '^#!/bin/\(ba\)\{0,1\}sh'; then echo "$f"; fi ;;
  esac
done)
# shellcheck disable=SC2086
shellcheck -x -S warning $scripts
shellcheck -s sh -S warning -e SC2034 tools/lib.sh
echo "lint: $(echo "$scripts" | wc -l) scripts and tools/lib.sh clean under shellcheck"
