# The Debian package: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does both) makes
# voluna_VERSION_amd64.deb with everything `cmake --install` installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voluna)
set(CPACK_PACKAGE_VENDOR "The Voluna developers")
set(CPACK_PACKAGE_CONTACT "Voluna maintainers <maintainers@users.noreply.c-seed-ee201b7e.example>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer and filter that smooth 3D volumes along their own structure")
# CPack puts the summary first, indents these lines and marks the empty one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "For every voxel the filter finds the direction along which the volume varies
least over a short line through the voxel, then averages the volume along the
field of those directions, on an NVIDIA GPU where there is one, else on every
CPU core with the same arithmetic.

The package holds the viewer (voluna), the command-line filter
(voluna-filter), which is also a command-line module for 3D Slicer, the
Python package voluna, and the C++ libraries libvoluna-filter and
libvoluna-io with their headers and CMake and pkg-config files.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

# Libraries from dpkg-shlibdeps, which reads every installed program and
# library; what it cannot see is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(VOLUNA_DEB_DEPENDS "")
set(VOLUNA_DEB_RECOMMENDS "")
if(VOLUNA_PYTHON)
  # The compiled module is built for this interpreter's version, and the
  # package imports numpy; dask and tqdm are used when present.
  set(minor ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  math(EXPR next "${Python3_VERSION_MINOR} + 1")
  list(APPEND VOLUNA_DEB_DEPENDS "python3 (>= ${minor}~)" "python3 (<< ${Python3_VERSION_MAJOR}.${next})"
       python3-numpy)
  list(APPEND VOLUNA_DEB_RECOMMENDS python3-tqdm python3-dask)
endif()
list(JOIN VOLUNA_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
list(JOIN VOLUNA_DEB_RECOMMENDS ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
