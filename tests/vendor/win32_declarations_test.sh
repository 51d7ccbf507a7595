#!/bin/sh
# The 32-bit Windows build's declarations, checked by compiling (no 32-bit wine needed): the
# header's calling convention, the tool's Windows sources and the stand-in vendor library.
# Usage: win32_declarations_test.sh <mingw-w64 g++> <mingw-w64 gcc> <source dir>
set -eu
cxx=$1
cc=$2
src=$3
flags="-m32 -fsyntax-only -Wall -Wextra -Werror -I$src/include -I$src/src -iquote$src/lib/io"
for file in tests/vendor/win32_calling_convention.cpp src/visa/visa_api.cpp \
            src/visa/installed_visa_windows.cpp src/platform/platform_windows.cpp; do
  $cxx -std=c++20 $flags "$src/$file"
done
$cc $flags "$src/tests/vendor/standin_visa.c"
echo "32-bit Windows declarations compile"
