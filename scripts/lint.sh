#!/usr/bin/env bash
# Format check and clang-tidy.
#
#   scripts/lint.sh [--all] [--changed-lines] [BUILD_DIR]
#
# 1. clang-format --dry-run -Werror on every C/C++ file under src, sim, tests.
# 2. clang-tidy (checks in .clang-tidy) over BUILD_DIR/compile_commands.json
#    (default BUILD_DIR: build; configure or build it first, e.g. scripts/test.sh):
#    - default: the files changed against LINT_BASE (default HEAD~1; every file
#      when there is no such commit), uncommitted changes included;
#    - --all or LINT_ALL=1: every file (about 15 minutes on 2 cores);
#    - --changed-lines or LINT_CHANGED_LINES=1: of the changed files, only
#      findings on the changed lines count (CI: existing findings elsewhere in a
#      touched file do not fail someone else's change).
#    A changed header brings in the source file of the same name.
# LINT_FORMAT=0 or LINT_TIDY=0 skips a part. Exit status: 0 clean, 1 findings,
# 2 bad usage or a missing tool or build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

all=${LINT_ALL:-0}
lines=${LINT_CHANGED_LINES:-0}
build=build
for arg in "$@"; do
    case $arg in
    --all) all=1 ;;
    --changed-lines) lines=1 ;;
    -h | --help)
        sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*)
        echo "lint: unknown option $arg" >&2
        exit 2
        ;;
    *) build=$arg ;;
    esac
done

pick() {
    local p
    for p in "$@"; do
        if command -v "$p" >/dev/null 2>&1; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# Every C/C++ file of the project (tracked ones; a plain copy without .git
# falls back to find).
sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- src sim tests
    else
        find src sim tests -type f
    fi | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' || true
}

status=0

if [ "${LINT_FORMAT:-1}" != 0 ]; then
    format=$(pick clang-format clang-format-14) || {
        echo "lint: clang-format is not installed (scripts/install-deps.sh)" >&2
        exit 2
    }
    mapfile -t files < <(sources)
    echo "lint: clang-format on ${#files[@]} files"
    if ! "$format" --dry-run -Werror "${files[@]}"; then
        echo "lint: formatting differs from .clang-format (fix: clang-format -i FILE)" >&2
        status=1
    fi
fi

if [ "${LINT_TIDY:-1}" != 0 ]; then
    tidy=$(pick clang-tidy-14 clang-tidy) || {
        echo "lint: clang-tidy is not installed (scripts/install-deps.sh)" >&2
        exit 2
    }
    db=$build/compile_commands.json
    if [ ! -f "$db" ]; then
        echo "lint: no $db; configure the build first (cmake -S . -B $build -G Ninja)" >&2
        exit 2
    fi
    base=${LINT_BASE:-HEAD~1}
    if [ "$all" != 1 ] && ! git rev-parse --verify -q "$base^{commit}" >/dev/null 2>&1; then
        echo "lint: no base commit $base; checking every file"
        all=1
    fi
    changed=""
    if [ "$all" != 1 ]; then
        changed=$(git diff --name-only --diff-filter=d "$base" -- src sim tests)
    fi
    # The translation units to check (absolute paths, one a line) and, in
    # changed-lines mode, the -line-filter JSON.
    plan=$(ROOT="$root" DB="$db" ALL="$all" LINES="$lines" BASE="$base" CHANGED="$changed" \
        python3 - <<'EOF'
import json, os, re, subprocess

root = os.environ["ROOT"]
units = sorted({os.path.realpath(os.path.join(e["directory"], e["file"]))
                for e in json.load(open(os.environ["DB"]))})
# Only the project's own sources; the build's generated files are not ours.
ours = re.compile(re.escape(root) + r"/(src|sim|tests)/")
units = [u for u in units if ours.match(u)]
if os.environ["ALL"] == "1":
    print(json.dumps({"files": units, "filter": None}))
    raise SystemExit
changed = [c for c in os.environ["CHANGED"].split("\n") if c]
by_stem = {}
for u in units:
    by_stem.setdefault(os.path.splitext(u)[0], []).append(u)
picked = set()
for c in changed:
    path = os.path.join(root, c)
    if path in units:
        picked.add(path)
    elif c.endswith((".h", ".hh", ".hpp")):
        picked.update(by_stem.get(os.path.splitext(path)[0], []))
filt = None
if os.environ["LINES"] == "1":
    filt = []
    for c in changed:
        diff = subprocess.run(["git", "diff", "-U0", os.environ["BASE"], "--", c],
                              cwd=root, capture_output=True, text=True, check=True).stdout
        ranges = []
        for m in re.finditer(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", diff, re.M):
            start, count = int(m.group(1)), int(m.group(2) or 1)
            # A pure deletion: the lines on either side of the gap.
            ranges.append([max(start, 1), start + count - 1] if count else [max(start, 1), start + 1])
        if ranges:
            filt.append({"name": os.path.join(root, c), "lines": ranges})
print(json.dumps({"files": sorted(picked), "filter": filt}))
EOF
    )
    mapfile -t units < <(python3 -c 'import json,sys; print("\n".join(json.loads(sys.argv[1])["files"]))' "$plan" | sed '/^$/d')
    filter=$(python3 -c 'import json,sys; f=json.loads(sys.argv[1])["filter"]; print("" if f is None else json.dumps(f))' "$plan")
    if [ "${#units[@]}" -eq 0 ]; then
        echo "lint: clang-tidy: no changed source files against $base"
    else
        scope="every file"
        [ "$all" = 1 ] || scope="files changed against $base"
        [ -z "$filter" ] || scope="$scope, changed lines only"
        echo "lint: clang-tidy on ${#units[@]} files ($scope)"
        runner=$(pick run-clang-tidy-14 run-clang-tidy || true)
        args=(-p "$build" -quiet)
        [ -z "$filter" ] || args+=(-line-filter "$filter")
        jobs=$(nproc)
        tidy_ok=1
        if [ -n "$runner" ]; then
            # One anchored pattern naming exactly these files.
            pattern="^($(printf '%s\n' "${units[@]}" | sed 's/[][\.*^$+?(){}|]/\\&/g' | paste -sd'|'))\$"
            # Its diagnostics come coloured whatever the terminal, and it echoes each
            # command (with the whole line filter); plain findings for logs.
            "$runner" -clang-tidy-binary "$(command -v "$tidy")" -j "$jobs" "${args[@]}" "$pattern" 2>&1 \
                | sed -e 's/\x1b\[[0-9;]*m//g' -e '/^[0-9]* warnings\{0,1\} generated\.$/d' \
                    -e '/^[^ ]*clang-tidy[^ ]* --use-color /d' || tidy_ok=0
        else
            printf '%s\0' "${units[@]}" | xargs -0 -n 1 -P "$jobs" "$tidy" "${args[@]}" 2>&1 \
                | sed '/^[0-9]* warnings\{0,1\} generated\.$/d' || tidy_ok=0
        fi
        if [ "$tidy_ok" != 1 ]; then
            echo "lint: clang-tidy reported findings (checks: .clang-tidy)" >&2
            status=1
        fi
    fi
fi

[ "$status" = 0 ] && echo "lint: clean"
exit "$status"
