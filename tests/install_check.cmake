# Installs the build into a temporary prefix, checks that every program,
# tallylock.o and every manual page are in place, runs one program from
# there, and has groff check each manual page.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
set(programs tallylock tallybare gridflip spawnwait tubenote tubechain
             stephost stepguest boardhost boardguest)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(program IN LISTS programs)
  if(NOT EXISTS ${PREFIX}/bin/${program})
    message(FATAL_ERROR "not installed: bin/${program}")
  endif()
  set(page ${PREFIX}/share/man/man1/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "not installed: share/man/man1/${program}.1")
  endif()
  find_program(GROFF groff)
  if(GROFF)
    execute_process(COMMAND ${GROFF} -ww -z -man ${page}
                    ERROR_VARIABLE warnings RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
      message(FATAL_ERROR "${program}.1 does not render cleanly:\n${warnings}")
    endif()
  endif()
endforeach()
file(GLOB object ${PREFIX}/lib*/tallylock.o)
if(NOT object)
  message(FATAL_ERROR "not installed: lib/tallylock.o")
endif()

# tubenote needs no IPC key or port, so it can run from here safely.
execute_process(COMMAND ${PREFIX}/bin/tubenote
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result TIMEOUT 30)
if(NOT result EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "father wrote\n"
   OR NOT out MATCHES "child read Greetings\n")
  message(FATAL_ERROR "installed tubenote: status ${result}, out '${out}', err '${err}'")
endif()
file(REMOVE_RECURSE ${PREFIX})
message(STATUS "installed and ran tubenote from ${PREFIX}")
