#!/usr/bin/env bash
# Installs a build into a throw-away prefix, moves the prefix somewhere else, and uses it the
# ways a caller would: pkg-config and a C compiler, a CMake project with find_package, and the
# command itself with its manual and bash completion. Moving the prefix proves that nothing in
# it remembers where it was installed. Everything happens under one temporary directory.
# Arguments: BUILD_DIR CMAKE C_COMPILER [C_FLAGS]
set -u
build=$1
cmake=$2
cc=$3
cflags=${4:-}

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvarin-install-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

if ! "$cmake" --install "$build" --prefix "$work/staged" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAILED: cmake --install"
  exit 1
fi
mv "$work/staged" "$work/moved"
prefix=$work/moved

pc=$(find "$prefix" -name kelvarin-shred.pc -path '*/pkgconfig/*' | head -n 1)
libdir=$(dirname "$(dirname "$pc")")
[ -n "$pc" ] || { echo "FAILED: no kelvarin-shred.pc installed"; exit 1; }
for f in include/kelvarin_shred.h bin/kelvarin-shred share/man/man1/kelvarin-shred.1 \
  share/bash-completion/completions/kelvarin-shred; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ -e "$libdir/libkelvarin-shred.so" ] || fail "no libkelvarin-shred.so beside the .pc's libdir"
[ -e "$libdir/cmake/kelvarin-shred/kelvarin-shred-config.cmake" ] || fail "no CMake package"

# The program every consumer builds: it must find the header, link, load the library from the
# prefix and shred a file with it.
cat >"$work/app.c" <<'EOF'
#include <stdio.h>
#include <string.h>

#include <kelvarin_shred.h>

int main(int argc, char** argv) {
  FILE* f;
  if (argc != 2) return 2;
  f = fopen(argv[1], "w");
  if (f == NULL) return 2;
  fputs("a secret worth destroying\n", f);
  fclose(f);
  if (shred_file(argv[1], SHRED_METHOD_DOD_3PASS) != 0) {
    fprintf(stderr, "shred_file: %s\n", shred_last_error());
    return 1;
  }
  if (fopen(argv[1], "r") != NULL) return 1;
  printf("%s\n", shred_stats_json());
  return strcmp(shred_method_name(SHRED_METHOD_GUTMANN), "Gutmann (35-pass)") == 0 ? 0 : 1;
}
EOF

# Which file the dynamic loader picks for the library: loaded_from PROGRAM [LD_LIBRARY_PATH].
loaded_from() {
  env -u LD_LIBRARY_PATH ${2:+LD_LIBRARY_PATH="$2"} ldd "$1" 2>/dev/null |
    awk '/libkelvarin-shred\.so/ { print $3 }'
}
# Whether that file is the moved prefix's, not a build tree's or another installation's.
from_prefix() {
  local lib
  lib=$(loaded_from "$@")
  [ -n "$lib" ] && [ "$(realpath "$(dirname "$lib")")" = "$(realpath "$libdir")" ]
}

# --- pkg-config ---
if ! command -v pkg-config >/dev/null 2>&1; then
  fail "pkg-config is not installed (scripts/test installs it)"
else
  export PKG_CONFIG_PATH="$(dirname "$pc")"
  pc_prefix=$(pkg-config --variable=prefix kelvarin-shred)
  [ "$(realpath -m "$pc_prefix")" = "$(realpath "$prefix")" ] ||
    fail "pkg-config prefix is '$pc_prefix', not the moved prefix $prefix"
  [ "$(pkg-config --modversion kelvarin-shred)" = "$(sed -n 's/^Version: //p' "$pc")" ] ||
    fail "pkg-config --modversion"
  # shellcheck disable=SC2046,SC2086
  if "$cc" $cflags -o "$work/app-pc" "$work/app.c" $(pkg-config --cflags --libs kelvarin-shred) \
    >"$work/pc.log" 2>&1; then
    if ! LD_LIBRARY_PATH="$libdir" "$work/app-pc" "$work/pc-victim" >"$work/pc-run.log" 2>&1; then
      cat "$work/pc-run.log"
      fail "the program built with pkg-config's flags does not run"
    fi
    from_prefix "$work/app-pc" "$libdir" ||
      fail "the pkg-config build loads '$(loaded_from "$work/app-pc" "$libdir")'"
  else
    cat "$work/pc.log"
    fail "compiling with pkg-config's flags: $(pkg-config --cflags --libs kelvarin-shred)"
  fi
  unset PKG_CONFIG_PATH
fi

# --- find_package ---
mkdir -p "$work/consumer"
cp "$work/app.c" "$work/consumer/app.c"
cat >"$work/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(consumer LANGUAGES C)
find_package(kelvarin-shred 0.1 REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE kelvarin::shred)
EOF
if "$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" >"$work/cm.log" 2>&1 &&
  "$cmake" --build "$work/consumer/build" >>"$work/cm.log" 2>&1; then
  # CMake records the imported library's directory as the build RPATH: no LD_LIBRARY_PATH.
  if ! env -u LD_LIBRARY_PATH "$work/consumer/build/app" "$work/cm-victim" >"$work/cm-run.log" 2>&1; then
    cat "$work/cm-run.log"
    fail "the program built with find_package does not run"
  fi
  from_prefix "$work/consumer/build/app" ||
    fail "the find_package build loads '$(loaded_from "$work/consumer/build/app")'"
else
  cat "$work/cm.log"
  fail "configuring or building a project with find_package(kelvarin-shred)"
fi

# --- the command, from the moved prefix, without help from the environment ---
command=$prefix/bin/kelvarin-shred
if ! out=$(env -u LD_LIBRARY_PATH "$command" --version 2>&1); then
  fail "the installed command does not start: $out"
else
  from_prefix "$command" || fail "the installed command loads '$(loaded_from "$command")'"
  echo "keep out" >"$work/cli-victim"
  env -u LD_LIBRARY_PATH "$command" -q "$work/cli-victim" || fail "the installed command fails to shred"
  [ ! -e "$work/cli-victim" ] || fail "the installed command left its file"
fi

# --- manual and completion: every long option of --help is documented and completed ---
help_options=$("$command" --help 2>/dev/null | grep -oE -- '--[a-z][a-z-]+' | sort -u)
[ -n "$help_options" ] || fail "no options found in --help"
manual=$prefix/share/man/man1/kelvarin-shred.1
completion=$prefix/share/bash-completion/completions/kelvarin-shred
for option in $help_options; do
  # The manual writes each hyphen of an option as "\-".
  grep -qF -- "${option//-/\\-}" "$manual" || fail "the manual does not document $option"
done
if command -v groff >/dev/null 2>&1; then
  warnings=$(groff -man -Tutf8 -ww -z "$manual" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about the manual: $warnings"
fi

complete_words() {
  # complete_words WORD...: the completions offered for the last word.
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
    _kelvarin_shred
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
offered=$(complete_words kelvarin-shred --)
for option in $help_options; do
  grep -qx -- "$option" <<<"$offered" || fail "completion does not offer $option"
done
methods=$(complete_words kelvarin-shred -m "" | sort | tr '\n' ' ')
[ "$methods" = "custom dod3 dod7 gutmann quick " ] || fail "completion of -m offers: $methods"
[ "$(complete_words kelvarin-shred --method = g)" = gutmann ] || fail "completion of --method=g"
mkdir -p "$work/dirs/only-dir"
touch "$work/dirs/only-file"
[ "$(cd "$work/dirs" && complete_words kelvarin-shred --free-space o)" = only-dir ] ||
  fail "completion of --free-space offers more than directories"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install into a moved prefix: pkg-config, find_package, command, manual, completion all work"
