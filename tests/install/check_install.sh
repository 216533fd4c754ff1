#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the C++ example against
# the installed copy twice, through pkg-config and through the CMake package;
# both programs must solve, and so must the installed Python package where the
# build has one. Usage: check_install.sh <build dir> <example.cpp>
set -euo pipefail
build=$1 example=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" >/dev/null
pc_dir=$(dirname "$(find "$prefix" -name tessar.pc)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs tessar)
# shellcheck disable=SC2086
g++ "$example" $flags -o "$prefix/with_pkg_config"
LD_LIBRARY_PATH=$(dirname "$pc_dir") "$prefix/with_pkg_config"
mkdir "$prefix/app"
cp "$example" "$prefix/app/solve.cpp"
printf '%s\n' 'cmake_minimum_required(VERSION 3.22)' 'project(app CXX)' 'set(CMAKE_CXX_STANDARD 20)' \
  'find_package(tessar REQUIRED)' 'add_executable(app solve.cpp)' 'target_link_libraries(app tessar::tessar)' \
  >"$prefix/app/CMakeLists.txt"
cmake -S "$prefix/app" -B "$prefix/app/build" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/app/build" >/dev/null
"$prefix/app/build/app"
# The Python package, where the build has one.
package=$(find "$prefix" -path "*dist-packages/tessar" -type d)
if [ -n "$package" ]; then
  PYTHONPATH=$(dirname "$package") /usr/bin/python3 -c \
    'import numpy, scipy.sparse, tessar; print("python residual", abs(tessar.spsolve(scipy.sparse.identity(3) * 2.0, numpy.ones(3)) - 0.5).max())'
fi
