#!/usr/bin/env bash
# The checks that are not tests, for CI right after scripts/test.sh (and for anyone before a push): no
# pipeline in a pipefail script that can end its producer early without saying why it is safe;
# every shell script through shellcheck; the Windows workflow against the workflow schema; every target
# built with the second compiler (clang and lld for the same mingw-w64 target and libraries), the
# shipped programs with warnings as errors; clang-tidy over the shipped programs' sources; and
# clang-format over every tracked source. Each step prints what it found; the first that fails ends it.
# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$HALYARD_ROOT"

halyard_install_checks() {
    local missing=()
    command -v clang++ >/dev/null || missing+=(clang)
    command -v ld.lld >/dev/null || missing+=(lld)
    command -v llvm-dlltool >/dev/null || command -v llvm-dlltool-14 >/dev/null || missing+=(llvm)
    command -v clang-tidy >/dev/null || missing+=(clang-tidy)
    command -v clang-format >/dev/null || missing+=(clang-format)
    command -v shellcheck >/dev/null || missing+=(shellcheck)
    command -v npm >/dev/null || missing+=(npm)
    halyard_apt_install "${missing[@]}"
}
halyard_install
halyard_install_checks

shell_scripts() { git ls-files '*.sh' .ci/run; }

echo "== Pipelines that may end their producer early"
# Under pipefail, a producer piped into a quiet grep (or one that stops at a count, or head) fails at
# random when the reader stops first and the producer dies of SIGPIPE, and a negated one then passes.
# A line that must keep such a pipe says "# safe: <why>". One pipe, not "||"; the readers are joined
# at run time, so that this file's own text holds no such pipe.
readers=('grep[[:space:]]+(-[a-zA-Z]*[qm]|--quiet|--max-count)' 'head([[:space:]]|$)')
early_pipe="(^|[^|])[|][[:space:]]*(${readers[0]}|${readers[1]})"
early=""
while IFS= read -r script; do
    grep -q 'pipefail' "$script" || continue
    found="$(grep -nHE "$early_pipe" "$script" | grep -vE '^[^:]+:[0-9]+:[[:space:]]*#|#[[:space:]]*safe:' || true)"
    early+="${found:+$found$'\n'}"
done < <(shell_scripts)
if [ -n "$early" ]; then
    printf '%s' "$early"
    echo "FAILED: capture the producer's output first, or let the reader read to the end"
    exit 1
fi

echo "== shellcheck"
mapfile -t scripts < <(shell_scripts)
shellcheck "${scripts[@]}"

echo "== The Windows workflow against the workflow schema"
VALIDATOR="$HALYARD_BUILD/npm"
if [ ! -x "$VALIDATOR/node_modules/.bin/action-validator" ]; then
    npm install --prefix "$VALIDATOR" --no-audit --no-fund --silent @action-validator/cli@0.6.0 >/dev/null
fi
"$VALIDATOR/node_modules/.bin/action-validator" .github/workflows/windows.yml

echo "== The second compiler: clang and lld, warnings as errors in what ships"
cmake --preset clang -DHALYARD_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset clang

echo "== clang-tidy over the shipped programs' sources"
mapfile -t product < <(git ls-files '*.cpp' | grep -vE '^(tests|devtools|bench)/')
printf '%s\n' "${product[@]}" | xargs -P 2 -n 4 clang-tidy -p build-clang --quiet --warnings-as-errors='*' 2>/dev/null

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

echo "All checks passed."
