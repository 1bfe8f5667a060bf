# What `cmake --install` puts in place: the programs, the static libraries and
# their headers under include/kestrum/, a CMake package and a pkg-config file
# for hosts, the man page, the desktop entry, the README, the license and the
# example filters; and `cpack -G DEB` to package them.
include(CMakePackageConfigHelpers)

set(KESTRUM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrum)
set(KESTRUM_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrum)

set(KESTRUM_ROOMS base dsp wav filter kernel component design)
foreach(Room ${KESTRUM_ROOMS})
  set_target_properties(kestrum_${Room} PROPERTIES EXPORT_NAME ${Room})
  install(TARGETS kestrum_${Room} EXPORT KestrumTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endforeach()
# The public headers: what a host uses (the component, the in-memory streams,
# filters and their readers, the WAV reader and writer, errors, design and
# response), and the headers they include. The others (the engines' steps,
# the transforms, the floating-point guard) are the libraries' own. Installed
# as include/kestrum/<room>/, they are included as "kestrum/<room>/...".
set(KESTRUM_PUBLIC_HEADERS
  component/Kestrum.h
  kernel/Engine.h kernel/FirStream.h kernel/FftKernel.h kernel/Kernel.h kernel/Overflow.h
  filter/Filter.h filter/FirFile.h filter/LongFilter.h
  wav/ReadWavFile.h wav/WriteWavFile.h wav/WavHeader.h wav/TargetRule.h
  base/Errors.h base/Component.h base/OutputFile.h base/Bytes.h
  audio/Format.h dsp/FftConvolver.h dsp/RealFft.h
  design/Design.h design/FilterArgument.h design/Response.h)
foreach(Header ${KESTRUM_PUBLIC_HEADERS})
  get_filename_component(Room ${Header} DIRECTORY)
  install(FILES kestrum/${Header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrum/${Room})
endforeach()
install(EXPORT KestrumTargets NAMESPACE kestrum:: DESTINATION ${KESTRUM_CMAKE_DIR})
configure_package_config_file(cmake/KestrumConfig.cmake.in ${PROJECT_BINARY_DIR}/KestrumConfig.cmake
                              INSTALL_DESTINATION ${KESTRUM_CMAKE_DIR})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrumConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrumConfig.cmake ${PROJECT_BINARY_DIR}/KestrumConfigVersion.cmake
        DESTINATION ${KESTRUM_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so that the tree can be
# installed under any --prefix.
file(RELATIVE_PATH KESTRUM_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KESTRUM_PC_PREFIX "${KESTRUM_PC_PREFIX}")
configure_file(cmake/kestrum.pc.in ${PROJECT_BINARY_DIR}/kestrum.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrum.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages and the change log are installed compressed, as Debian's
# policy asks: gzip -n leaves no time stamp, so the bytes are reproducible.
function(kestrum_gzip Source Output)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${Output}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${Source} > ${PROJECT_BINARY_DIR}/${Output}
                     DEPENDS ${PROJECT_SOURCE_DIR}/${Source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${Output} Target)
  add_custom_target(${Target} ALL DEPENDS ${PROJECT_BINARY_DIR}/${Output})
endfunction()

if(TARGET kestrum)
  kestrum_gzip(doc/kestrum.1 kestrum.1.gz)
  install(TARGETS kestrum RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/kestrum.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET ProjectEssaiKestrum)
  kestrum_gzip(doc/ProjectEssaiKestrum.1 ProjectEssaiKestrum.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/ProjectEssaiKestrum.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT dialog)
  install(TARGETS ProjectEssaiKestrum RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dialog)
  install(FILES demo/ProjectEssaiKestrum.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications
          COMPONENT dialog)
  install(FILES demo/kestrum.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
            COMPONENT dialog)
endif()
kestrum_gzip(doc/changelog changelog.gz)
install(FILES README.md LICENSE DESTINATION ${KESTRUM_DOC_DIR})
# Every package carries its own copyright file and change log, in the folder
# named after it, as Debian's policy asks.
function(kestrum_package_docs Component Package)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${Package}
          COMPONENT ${Component})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${Package} RENAME copyright
          COMPONENT ${Component})
endfunction()
kestrum_package_docs(Unspecified kestrum)
if(TARGET ProjectEssaiKestrum)
  kestrum_package_docs(dialog kestrum-dialog)
endif()
if(KESTRUM_BUILD_PYTHON)
  kestrum_package_docs(python python3-kestrum)
endif()
install(DIRECTORY examples/ DESTINATION ${KESTRUM_DOC_DIR}/examples
        FILES_MATCHING PATTERN "*.fir" PATTERN "*.md" PATTERN "embed/*")

# Debian packages, one per install component, so that each installs without
# what it does not use: kestrum holds the tool, the libraries and their
# headers, and needs neither Qt nor Python; kestrum-dialog holds the Qt
# dialog; python3-kestrum the Python package. Library dependencies come from
# dpkg-shlibdeps. CPack puts the common summary before each package's own
# description; lines stay under 80 columns, and none starts with a dot, which
# Debian reads as a control statement.
set(CPACK_PACKAGE_NAME kestrum)
set(CPACK_PACKAGE_VENDOR "The Kestrum developers")
set(CPACK_PACKAGE_CONTACT "The Kestrum developers <dev@kestrum.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FIR filter for PCM WAV files with exact, defined arithmetic")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://kestrum.invalid/)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME kestrum)
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION
    "Kestrum applies a finite-impulse-response filter, described by a small
text file or a WAV impulse response, to an uncompressed WAV file and writes
the filtered signal as a new WAV file. This package holds the kestrum
command-line tool, and the static C++ libraries with their headers, CMake
package and pkg-config file.")
set(CPACK_DEBIAN_DIALOG_PACKAGE_NAME kestrum-dialog)
set(CPACK_DEBIAN_DIALOG_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_DIALOG_DESCRIPTION
    "This is Kestrum's desktop dialog, built with Qt: it picks a source WAV
file, a target and a filter file, and runs the filter with a progress bar.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrum)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(KESTRUM_BUILD_PYTHON)
  # The module is built for one Python version.
  math(EXPR KESTRUM_PYTHON_NEXT "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= 3.${Python_VERSION_MINOR}), python3 (<< 3.${KESTRUM_PYTHON_NEXT}), python3-numpy")
endif()
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "This is Kestrum's Python package: kestrum applies FIR filters to numpy
arrays and WAV files with the exact arithmetic of the kestrum tool,
designs filters and computes their response.")
include(CPack)
