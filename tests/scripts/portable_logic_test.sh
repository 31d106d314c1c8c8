#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Source checks of the driver's logic (driver/ device/ hwn/ vibration/ trace/), which the kit's compiler
# builds for the target. One case per argument:
#   lint SRC                 no compiler-specific spelling in the logic: builtins, attributes, typeof,
#                            statement expressions, inline assembly, vendor pragmas and directives...
#   lint-catches             the lint finds each such spelling in a sample, and passes the standard ones
#   placement SRC            #pragma alloc_text places in PAGE exactly the functions that call PAGED_CODE(),
#                            DriverEntry alone in INIT, under #ifdef ALLOC_PRAGMA, before each definition
#   placement-catches SRC    the placement check fails on a copy of the logic with one PAGE entry left out
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
logic_dirs=(driver device hwn vibration trace)

# The logic's files, relative to the current directory (the sources' root).
logic_files() {
  find "${logic_dirs[@]}" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' \) | sort
}

# Prints FILE:LINE: WHAT: TEXT for every compiler-specific spelling in the files.
# Names that begin with two underscores belong to the compiler, except these, which the language defines.
standard_names='__func__|__FILE__|__LINE__|__DATE__|__TIME__|__cplusplus|__VA_ARGS__|__VA_OPT__'
standard_names+='|__STDC__|__STDC_HOSTED__|__STDC_VERSION__|__has_include|__has_cpp_attribute'
rules=(
  'a GNU extension: typeof|\btypeof\b'
  'a statement expression|\(\{'
  'inline assembly|\b(asm|_asm)\b'
  'a vendor attribute|\[\[[[:space:]]*(gnu|clang|msvc)::'
  'a GNU preprocessor directive|^[[:space:]]*#[[:space:]]*(include_next|import|ident|sccs|assert|unassert|warning)\b'
  'a case range|\bcase\b[^:]*\.\.\.'
  'the GNU conditional with the middle left out|\?[[:space:]]*:([^:]|$)'
  'a computed goto|\bgoto[[:space:]]*\*'
  'a compiler-detection macro|\b_MSC_[A-Z_]+|\b_M_[A-Z0-9_]+'
)
lint() {
  local file rule
  for file in "$@"; do
    grep -noE '(^|[^A-Za-z0-9_])__[A-Za-z0-9_]+' "$file" | sed -E 's/:[^_]*(__)/:\1/' |
      grep -vE ":($standard_names)\$" | sed "s|^|$file:|; s|:__|: a compiler-specific name: __|"
    for rule in "${rules[@]}"; do
      grep -nE -- "${rule#*|}" "$file" | sed "s|^\([0-9]*\):|$file:\1: ${rule%%|*}: |"
    done
    grep -nE '^[[:space:]]*#[[:space:]]*pragma\b|\b_Pragma\b' "$file" |
      grep -vE '^[0-9]+:[[:space:]]*#[[:space:]]*pragma[[:space:]]+(once|pack|alloc_text)\b' |
      sed "s|^\([0-9]*\):|$file:\1: a pragma other than once, pack or alloc_text: |"
  done
}

case ${1:-} in
lint)
  cd "$2" || exit 1
  mapfile -t files < <(logic_files)
  ((${#files[@]} > 10)) || { echo "FAIL: found only ${#files[@]} logic files under $2" >&2; exit 1; }
  findings=$(lint "${files[@]}")
  if [[ -n $findings ]]; then
    echo "$findings" >&2
    echo "FAIL: the logic is built by the kit's compiler: use the kernel's routines and platform/ annotations" >&2
    exit 1
  fi
  echo "lint: ${#files[@]} logic files, no compiler-specific spelling"
  ;;
lint-catches)
  # Each sample line must be found; the clean file must not be.
  samples=(
    'if (!__atomic_exchange_n(&Flag, 1, __ATOMIC_SEQ_CST)) {'
    '__sync_synchronize();'
    'RtlZeroMemory(x, n); __builtin_memset(x, 0, n);'
    'VOID Print(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));'
    '__declspec(noinline) VOID F(VOID);'
    'typeof(x) y = x;'
    'LONG v = ({ LONG t = 1; t; });'
    'asm volatile("dmb ish");'
    '[[gnu::always_inline]] VOID F(VOID);'
    '#pragma GCC diagnostic ignored "-Wunused"'
    '  #  pragma warning(disable : 4100)'
    '#pragma optimize("", off)'
    '_Pragma("GCC poison x")'
    '#include_next <ntddk.h>'
    '#warning not yet'
    'case 1 ... 3:'
    'x = y ?: z;'
    'goto *Table[i];'
    '#if _MSC_VER >= 1900'
    '#ifdef _M_ARM64'
    'int __int64 big;'
  )
  for sample in "${samples[@]}"; do
    printf '%s\n' "$sample" > "$scratch/sample.cpp"
    [[ -n $(lint "$scratch/sample.cpp") ]] || { echo "FAIL: the lint does not find: $sample" >&2; failures=1; }
  done
  cat > "$scratch/clean.cpp" <<'EOF'
#pragma once
#pragma pack(push, 4)
#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_StopDevice)
#endif
PAGED_CODE_CHECK(__func__, __FILE__, __LINE__);
x = y ? z : w;
x = y ? ::Global : w;
static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
EOF
  if [[ -n $(lint "$scratch/clean.cpp") ]]; then
    lint "$scratch/clean.cpp" >&2
    echo "FAIL: the lint finds standard spellings" >&2
    failures=1
  fi
  ((${failures:-0} == 0)) || exit 1
  echo "lint-catches: ${#samples[@]} samples found, the standard spellings passed"
  ;;
placement)
  cd "$2" || exit 1
  mapfile -t files < <(logic_files)
  awk -f "$here/placement.awk" "${files[@]}" >&2 || exit 1
  echo "placement: passed"
  ;;
placement-catches)
  # Leaves out the first function of the first PAGE placement and expects the check to name it.
  for dir in "${logic_dirs[@]}"; do cp -r "$2/$dir" "$scratch/"; done
  cd "$scratch" || exit 1
  mapfile -t files < <(logic_files)
  first=$(grep -hoE '^#pragma alloc_text\(PAGE, *[A-Za-z0-9_]+' "${files[@]}" | head -n 1 | sed 's/.*, *//')
  [[ -n $first ]] || { echo "FAIL: no PAGE placement to leave out" >&2; exit 1; }
  sed -i -E -e "s/^(#pragma alloc_text\(PAGE, *)$first *\)/\/\/ left out: $first/" \
    -e "s/^(#pragma alloc_text\(PAGE, *)$first *, */\1/" "${files[@]}"
  if output=$(awk -f "$here/placement.awk" "${files[@]}" 2>&1); then
    echo "FAIL: the placement check passed with $first left out of PAGE" >&2
    exit 1
  fi
  grep -q "$first" <<<"$output" || { echo "FAIL: the check failed without naming $first: $output" >&2; exit 1; }
  echo "placement-catches: leaving $first out of PAGE is found"
  ;;
*)
  echo "unknown case ${1:-}" >&2; exit 2 ;;
esac
