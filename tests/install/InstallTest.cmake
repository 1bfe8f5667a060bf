# Installs Kestrum into a fresh prefix, builds examples/embed against it twice
# (with find_package, and as one file with the flags of pkg-config), compiles
# every installed header, runs both programs and compares their targets with
# the installed kestrum tool's.
# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DLIBDIR= -DCXX= -DGENERATOR= -DPKG_CONFIG= -P InstallTest.cmake
function(Run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE Status OUTPUT_VARIABLE Out ERROR_VARIABLE Out)
  if(NOT Status EQUAL 0)
    message(FATAL_ERROR "failed (${Status}): ${ARGN}\n${Out}")
  endif()
  message(STATUS "${Out}")
endfunction()

set(Prefix ${WORK_DIR}/prefix)
set(Example ${SOURCE_DIR}/examples/embed)
set(Source ${SOURCE_DIR}/examples/example.wav)
set(Filter ${SOURCE_DIR}/examples/lowpass.fir)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

Run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${Prefix})
Run(${CMAKE_COMMAND} -S ${Example} -B ${WORK_DIR}/embed -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Werror" -DCMAKE_PREFIX_PATH=${Prefix})
Run(${CMAKE_COMMAND} --build ${WORK_DIR}/embed)

# Only the prefix's .pc files: a Kestrum installed on the machine is not seen.
set(ENV{PKG_CONFIG_LIBDIR} ${Prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kestrum RESULT_VARIABLE Status OUTPUT_VARIABLE Flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT Status EQUAL 0)
  message(FATAL_ERROR "pkg-config does not find kestrum in ${Prefix}")
endif()
separate_arguments(Flags UNIX_COMMAND "${Flags}")
Run(${CXX} -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror ${Example}/main.cpp ${Flags} -o ${WORK_DIR}/embed-pc)

# The installed headers compile in a host: none includes one that is not
# installed.
file(GLOB_RECURSE Headers RELATIVE ${Prefix}/include ${Prefix}/include/kestrum/*.h)
set(Includes "")
foreach(Header ${Headers})
  string(APPEND Includes "#include <${Header}>\n")
endforeach()
file(WRITE ${WORK_DIR}/headers.cpp "${Includes}")
Run(${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror ${WORK_DIR}/headers.cpp ${Flags})

Run(${Prefix}/bin/kestrum ${Source} ${WORK_DIR}/cli.wav ${Filter})
foreach(Program embed/embed embed-pc)
  Run(${WORK_DIR}/${Program} ${Source} ${Filter} ${WORK_DIR}/file.wav ${WORK_DIR}/memory.wav)
  foreach(Target file.wav memory.wav)
    Run(${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/cli.wav ${WORK_DIR}/${Target})
  endforeach()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
