#!/usr/bin/env bash
# Installs a built tree into a fresh prefix and uses it from there alone, the
# way a user and another project would:
#   check_install.sh SOURCE_DIR BUILD_DIR PYTHON_DIR GUI(ON|OFF) PYTHON(ON|OFF)
# PYTHON_DIR is where the Python package goes, relative to the prefix.
# VOLUNA_CHECK_CXX_FLAGS and VOLUNA_CHECK_LINK_FLAGS build the outside
# projects as the tree was built (an instrumented tree needs them).
set -euo pipefail
source_dir=$1 build_dir=$2 python_dir=$3 gui=$4 python=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/voluna-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() {
  echo "install check: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log"

# What the prefix must hold, wherever GNUInstallDirs put the libraries.
libdir=$(cd "$prefix" && dirname "$(find . -name 'libvoluna-filter.so' | head -n 1)")
libdir=${libdir#./}
expected=(bin/voluna-filter "$libdir/libvoluna-filter.so" "$libdir/libvoluna-io.so"
          include/voluna/filter.h include/voluna/io.h include/voluna/image.h include/voluna/status.h
          include/voluna/export.h include/voluna/version.h
          "$libdir/cmake/Voluna/VolunaConfig.cmake" "$libdir/cmake/Voluna/VolunaConfigVersion.cmake"
          "$libdir/cmake/Voluna/VolunaTargets.cmake" "$libdir/pkgconfig/voluna.pc"
          share/man/man1/voluna-filter.1.gz share/voluna/crossing-tubes.mhd share/voluna/crossing-tubes.raw
          libexec/voluna/slicer-modules/VolunaFilter)
if [ "$gui" = ON ]; then
  expected+=(bin/voluna share/man/man1/voluna.1.gz share/applications/voluna.desktop
             share/icons/hicolor/scalable/apps/voluna.svg share/mime/packages/voluna-volumes.xml)
fi
if [ "$python" = ON ]; then
  expected+=("$python_dir/voluna/__init__.py")
fi
for file in "${expected[@]}"; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
done

# Nothing installed may lead back to the build folder: no run path, and no
# path in the CMake and pkg-config files.
while IFS= read -r file; do
  if cmp -s -n 4 "$file" <(printf '\177ELF'); then
    if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -v '\$ORIGIN' | grep -q .; then
      fail "$file has a run path that is not relative to itself: $(readelf -d "$file" | grep -E 'R(UN)?PATH')"
    fi
  elif grep -q -F "$build_dir" "$file"; then
    fail "$file names the build folder"
  fi
done < <(find "$prefix" -type f)

# The libraries export their public functions and nothing else.
for library in "$prefix/$libdir"/libvoluna-filter.so "$prefix/$libdir"/libvoluna-io.so; do
  others=$(nm -D --defined-only "$library" | c++filt | awk '{ $1 = ""; $2 = ""; print }' |
           grep -v '^ *voluna::api::' || true)
  [ -z "$others" ] || fail "$(basename "$library") exports more than voluna::api: $others"
done
# The filter library knows no files.
if readelf -d "$prefix/$libdir/libvoluna-filter.so" | grep -E 'NEEDED.*(ITK|gdcm|vtk|Qt)'; then
  fail "libvoluna-filter depends on a file-format or window library"
fi

sample=$prefix/share/voluna/crossing-tubes.mhd
cd "$work"
run_filter() { env -u LD_LIBRARY_PATH "$prefix/bin/voluna-filter" "$@" > /dev/null; }
run_filter -o reference.nrrd "$sample" || fail "the installed voluna-filter did not run"
run_filter --preserve-edges -o reference-edges.nrrd "$sample" || fail "voluna-filter --preserve-edges did not run"

# Another project: find_package(Voluna) against the prefix alone.
generator=()
command -v ninja > /dev/null && generator=(-G Ninja)
outside() {
  local name=$1
  cmake -S "$source_dir/tests/install/$name" -B "$work/$name" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="${VOLUNA_CHECK_CXX_FLAGS:-}" \
        -DCMAKE_EXE_LINKER_FLAGS="${VOLUNA_CHECK_LINK_FLAGS:-}" > "$work/$name.log" 2>&1 &&
    cmake --build "$work/$name" >> "$work/$name.log" 2>&1
}
if outside consumer; then
  consumer=$work/consumer/voluna-consumer
  "$consumer" "$sample" library.nrrd > /dev/null && cmp reference.nrrd library.nrrd ||
    fail "the library's result differs from voluna-filter's"
  "$consumer" --preserve-edges "$sample" library-edges.nrrd > /dev/null &&
    cmp reference-edges.nrrd library-edges.nrrd || fail "the library's --preserve-edges result differs"
else
  cat "$work/consumer.log" >&2
  fail "the find_package(Voluna) project did not build"
fi
outside headers || { cat "$work/headers.log" >&2; fail "an installed header does not compile on its own"; }

# The same program through pkg-config.
if command -v pkg-config > /dev/null; then
  flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs voluna)
  # shellcheck disable=SC2086
  if c++ ${VOLUNA_CHECK_CXX_FLAGS:-} "$source_dir/tests/install/consumer/main.cpp" $flags \
        ${VOLUNA_CHECK_LINK_FLAGS:-} -Wl,-rpath,"$prefix/$libdir" -o pc-consumer; then
    ./pc-consumer "$sample" pc.nrrd > /dev/null && cmp reference.nrrd pc.nrrd || fail "the pkg-config build differs"
  else
    fail "the pkg-config flags do not build a program"
  fi
fi

# The example in docs/library.md builds as printed there.
sed -n '/^```cpp$/,/^```$/p' "$source_dir/docs/library.md" | sed '1d;$d' > docs-example.cpp
if [ -s docs-example.cpp ] && [ -n "${flags:-}" ]; then
  # shellcheck disable=SC2086
  c++ ${VOLUNA_CHECK_CXX_FLAGS:-} -Wall -Wextra -Werror docs-example.cpp $flags ${VOLUNA_CHECK_LINK_FLAGS:-} \
      -Wl,-rpath,"$prefix/$libdir" -o docs-example && ./docs-example "$sample" docs.nrrd 2> /dev/null > /dev/null &&
    cmp reference-edges.nrrd docs.nrrd || fail "the example in docs/library.md does not build or run"
fi

# 3D Slicer's view: the module folder's program describes itself.
module=$prefix/libexec/voluna/slicer-modules/VolunaFilter
[ "$("$module" --xml)" = "$("$prefix/bin/voluna-filter" --xml)" ] || fail "the Slicer module link does not work"

# The man pages say what --help says.
if command -v man > /dev/null; then
  for program in voluna-filter $([ "$gui" = ON ] && echo voluna); do
    page=$(MANWIDTH=100 man -l -P cat "$prefix/share/man/man1/$program.1.gz" 2> /dev/null || true)
    grep -q -- "--help" <<< "$page" && grep -q "SEE ALSO" <<< "$page" || fail "the man page of $program is empty"
  done
  MANWIDTH=100 man -l -P cat "$prefix/share/man/man1/voluna-filter.1.gz" 2> /dev/null | grep -q -- "--samples" ||
    fail "the man page of voluna-filter lacks --samples"
fi

if [ "$gui" = ON ]; then
  if command -v desktop-file-validate > /dev/null; then
    desktop-file-validate "$prefix/share/applications/voluna.desktop" || fail "the desktop entry is not valid"
  fi
  # A file manager's view of volumes, through shared-mime-info's own tools.
  if command -v update-mime-database > /dev/null && command -v gio > /dev/null; then
    mkdir -p "$work/xdg/mime/packages" "$work/files"
    cp "$prefix/share/mime/packages/voluna-volumes.xml" "$work/xdg/mime/packages/"
    update-mime-database "$work/xdg/mime" > /dev/null 2>&1
    cp reference.nrrd "$work/files/scan.nrrd"
    gzip -c reference.nrrd > "$work/files/scan.nii.gz"
    cp "$sample" "$work/files/scan.mhd"
    for pair in scan.nrrd:image/x-nrrd scan.nii.gz:image/x-nifti-gzip scan.mhd:image/x-metaimage-header; do
      type=$(XDG_DATA_HOME="$work/xdg" XDG_DATA_DIRS=/usr/share gio info -a standard::content-type \
             "$work/files/${pair%%:*}" 2> /dev/null | sed -n 's/.*standard::content-type: //p')
      [ "$type" = "${pair#*:}" ] || fail "${pair%%:*} is taken for '$type', not ${pair#*:}"
    done
    grep -q "MimeType=.*image/x-nifti-gzip" "$prefix/share/applications/voluna.desktop" ||
      fail "the desktop entry does not open .nii.gz files"
  fi
  [ "$(env -u LD_LIBRARY_PATH "$prefix/bin/voluna" --help | head -n 1)" = "Usage: voluna [QT OPTIONS] [VOLUME]" ] ||
    fail "the installed voluna does not start"
fi

if [ "$python" = ON ]; then
  PYTHONPATH="$prefix/$python_dir" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$prefix" "$sample" << 'EOF' > /dev/null ||
import sys, voluna
prefix, sample = sys.argv[1], sys.argv[2]
assert voluna.__file__.startswith(prefix), "voluna came from %s" % voluna.__file__
image = voluna.read(sample)
result = voluna.filter(image.array)
assert (result == voluna.read("reference.nrrd").array).all(), "the Python result differs"
EOF
    fail "the installed Python package does not give voluna-filter's result"
fi

if [ "$failures" -ne 0 ]; then
  echo "install check: $failures problems" >&2
  exit 1
fi
echo "install check: $(find "$prefix" -type f -o -type l | wc -l) files installed and used from $prefix alone"
