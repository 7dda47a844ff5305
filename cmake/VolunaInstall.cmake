# What `cmake --install` puts under the prefix. Every path is relative to
# the prefix, so `cmake --install build --prefix P` works for any P; nothing
# installed refers to the build folder.
include(CMakePackageConfigHelpers)

# Programs. They link Voluna's internal libraries statically and need no
# library of Voluna's at run time, so they carry no run path.
install(TARGETS voluna-filter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
if(TARGET voluna)
  install(TARGETS voluna RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/data/crossing-tubes.mhd ${PROJECT_SOURCE_DIR}/data/crossing-tubes.raw
        DESTINATION ${CMAKE_INSTALL_DATADIR}/voluna COMPONENT programs)

# The documentation, where the man pages point, laid out as in the source
# so that its links hold.
file(GLOB VOLUNA_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voluna COMPONENT programs)
install(FILES ${VOLUNA_DOCS} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voluna/docs COMPONENT programs)

# The libraries others link, their headers and their CMake and pkg-config
# descriptions.
install(TARGETS voluna_filter_api voluna_io_api EXPORT VolunaTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES
          ${PROJECT_SOURCE_DIR}/include/voluna/export.h
          ${PROJECT_SOURCE_DIR}/include/voluna/filter.h
          ${PROJECT_SOURCE_DIR}/include/voluna/image.h
          ${PROJECT_SOURCE_DIR}/include/voluna/io.h
          ${PROJECT_SOURCE_DIR}/include/voluna/status.h
          ${PROJECT_BINARY_DIR}/include/voluna/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/voluna COMPONENT library)
set(VOLUNA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Voluna)
install(EXPORT VolunaTargets NAMESPACE Voluna:: DESTINATION ${VOLUNA_CMAKE_DIR} COMPONENT library)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VolunaConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/cmake/VolunaConfig.cmake INSTALL_DESTINATION ${VOLUNA_CMAKE_DIR})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/VolunaConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/VolunaConfig.cmake ${PROJECT_BINARY_DIR}/cmake/VolunaConfigVersion.cmake
        DESTINATION ${VOLUNA_CMAKE_DIR} COMPONENT library)
# The .pc file finds the prefix from its own place, as the CMake files do.
file(RELATIVE_PATH VOLUNA_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/voluna.pc.in ${PROJECT_BINARY_DIR}/cmake/voluna.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/voluna.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

# A man page for each program, made from its --help at build time.
find_program(VOLUNA_HELP2MAN help2man)
find_program(VOLUNA_GZIP gzip)
if(VOLUNA_HELP2MAN AND VOLUNA_GZIP)
  set(VOLUNA_MAN_PAGES "")
  function(voluna_man_page program summary)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    # Instrumented builds run the program too; what it leaves at exit is
    # not this page's business.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              ${VOLUNA_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${summary}
              --include=${PROJECT_SOURCE_DIR}/packaging/see-also.h2m --output=${page} $<TARGET_FILE:${program}>
      COMMAND ${VOLUNA_GZIP} -9nf ${page}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/see-also.h2m
      COMMENT "Making the man page of ${program}"
      VERBATIM)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
    set(VOLUNA_MAN_PAGES ${VOLUNA_MAN_PAGES} ${page}.gz PARENT_SCOPE)
  endfunction()
  voluna_man_page(voluna-filter "smooth a 3D volume along its own structure")
  if(TARGET voluna)
    voluna_man_page(voluna "view 3D volumes and smooth them along their own structure")
  endif()
  add_custom_target(voluna-man-pages ALL DEPENDS ${VOLUNA_MAN_PAGES})
else()
  message(WARNING "help2man or gzip not found: no man pages (scripts/setup.sh installs help2man)")
endif()

# The desktop entry, its icon and the volume types it opens, so that a file
# manager opens volumes with Voluna.
if(TARGET voluna)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/voluna.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/voluna.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/voluna-volumes.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages COMPONENT desktop)
endif()

# 3D Slicer runs every program in a module folder with --xml to learn what
# it is, so voluna-filter gets a folder of its own, through a link that
# stays right wherever the prefix is.
set(VOLUNA_SLICER_MODULE_DIR ${CMAKE_INSTALL_LIBEXECDIR}/voluna/slicer-modules)
file(RELATIVE_PATH VOLUNA_SLICER_TO_BIN /prefix/${VOLUNA_SLICER_MODULE_DIR} /prefix/${CMAKE_INSTALL_BINDIR})
install(CODE "
  set(folder \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VOLUNA_SLICER_MODULE_DIR}\")
  file(MAKE_DIRECTORY \"\${folder}\")
  message(STATUS \"Installing: \${folder}/VolunaFilter\")
  file(CREATE_LINK \"${VOLUNA_SLICER_TO_BIN}/voluna-filter\" \"\${folder}/VolunaFilter\" SYMBOLIC)
" COMPONENT programs)
