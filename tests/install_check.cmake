# Installs the build into a temporary prefix, checks that every program,
# tallylock.o, the commands ipc-tour, ipc-lab, ipc-exercise and ipc-cleanup and every manual page
# are in place, has groff check each manual page, and runs from there, in
# another working directory: tubenote, the tour's tubenote part and its
# mistake, tallylock in a lab where a lab can be made, and
# ipc-exercise's list and start; the tour's part and the lab through
# symbolic links to ipc-tour and ipc-lab in another folder.
# Nothing may be written under the prefix by those runs.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
set(programs tallylock tallybare gridflip spawnwait tubenote tubechain
             stephost stepguest boardhost boardguest)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(program IN LISTS programs ITEMS ipc-tour ipc-lab ipc-exercise ipc-cleanup)
  if(NOT EXISTS ${PREFIX}/bin/${program})
    message(FATAL_ERROR "not installed: bin/${program}")
  endif()
  set(page ${PREFIX}/share/man/man1/${program}.1.gz)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "not installed: share/man/man1/${program}.1.gz")
  endif()
  find_program(GROFF groff)
  if(GROFF)
    execute_process(COMMAND gzip -dc ${page} COMMAND ${GROFF} -ww -z -man
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

# The tour and the lab of the installed programs, from elsewhere and
# through symbolic links in another folder (as a user's ~/bin may hold);
# they build nothing and write nothing under the prefix.
file(GLOB_RECURSE installed LIST_DIRECTORIES true ${PREFIX}/*)
get_filename_component(elsewhere ${PREFIX} DIRECTORY)
set(links ${elsewhere}/ipc-links-check)
file(REMOVE_RECURSE ${links})
file(MAKE_DIRECTORY ${links})
foreach(command ipc-tour ipc-lab)
  file(CREATE_LINK ${PREFIX}/bin/${command} ${links}/${command} SYMBOLIC)
endforeach()
execute_process(COMMAND ${links}/ipc-tour tubenote WORKING_DIRECTORY ${elsewhere}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result TIMEOUT 60)
if(NOT result EQUAL 0 OR NOT out MATCHES "\n== tubenote: .*child read Greetings\n")
  message(FATAL_ERROR "installed ipc-tour tubenote, through a link: status ${result}, out '${out}', err '${err}'")
endif()
execute_process(COMMAND ${PREFIX}/bin/ipc-lab --check RESULT_VARIABLE no_lab OUTPUT_QUIET ERROR_QUIET)
if(no_lab EQUAL 0)
  execute_process(COMMAND ${links}/ipc-lab tallylock 10 WORKING_DIRECTORY ${elsewhere}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result TIMEOUT 60)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "padre total= 50\n" OR NOT err STREQUAL "")
    message(FATAL_ERROR "installed ipc-lab tallylock 10, through a link: status ${result}, out '${out}', err '${err}'")
  endif()
else()
  message(STATUS "no lab can be made here: ipc-lab tallylock 10 left out")
endif()
# --mistakes builds the changed program under the user's cache, from the
# sources installed beside the tour. tubenote's mistake needs no key or port.
set(cache ${elsewhere}/ipc-tour-check-cache)
file(REMOVE_RECURSE ${cache})
execute_process(COMMAND ${CMAKE_COMMAND} -E env XDG_CACHE_HOME=${cache}
                        ${PREFIX}/bin/ipc-tour --mistakes tubenote
                WORKING_DIRECTORY ${elsewhere}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result TIMEOUT 120)
if(NOT result EQUAL 0 OR NOT out MATCHES "\nchild read nothing\n-- tubenote ended with status 141"
   OR NOT EXISTS ${cache}/ipc-tour/mistakes/tubenote-pipe-after-fork/build/bin/tubenote)
  message(FATAL_ERROR "installed ipc-tour --mistakes tubenote: status ${result}, out '${out}', err '${err}'")
endif()
file(REMOVE_RECURSE ${cache})
# ipc-cleanup names itself.
execute_process(COMMAND ${PREFIX}/bin/ipc-cleanup --bogus ERROR_VARIABLE err RESULT_VARIABLE result)
if(NOT result EQUAL 2 OR NOT err MATCHES "^ipc-cleanup: ")
  message(FATAL_ERROR "installed ipc-cleanup --bogus: status ${result}, err '${err}'")
endif()
# An exercise started from the installed sources, outside the prefix.
set(exercise ${elsewhere}/ipc-exercise-check)
file(REMOVE_RECURSE ${exercise})
execute_process(COMMAND ${PREFIX}/bin/ipc-exercise list
                OUTPUT_VARIABLE out RESULT_VARIABLE result TIMEOUT 30)
string(REGEX MATCHALL "\n" lines "${out}")
list(LENGTH lines count)
if(NOT result EQUAL 0 OR NOT count EQUAL 12)
  message(FATAL_ERROR "installed ipc-exercise list: status ${result}, out '${out}'")
endif()
execute_process(COMMAND ${PREFIX}/bin/ipc-exercise start tubenote-pipe-after-fork ${exercise}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result TIMEOUT 30)
if(NOT result EQUAL 0 OR NOT EXISTS ${exercise}/tubenote.cpp OR NOT EXISTS ${exercise}/task.txt)
  message(FATAL_ERROR "installed ipc-exercise start: status ${result}, out '${out}', err '${err}'")
endif()
file(READ ${exercise}/task.txt task)
if(NOT task MATCHES "ipc-exercise check" OR task MATCHES "@")
  message(FATAL_ERROR "the installed task names other commands:\n${task}")
endif()
file(REMOVE_RECURSE ${exercise} ${links})
file(GLOB_RECURSE after LIST_DIRECTORIES true ${PREFIX}/*)
if(NOT after STREQUAL installed)
  message(FATAL_ERROR "the tour or the lab wrote under ${PREFIX}")
endif()
file(REMOVE_RECURSE ${PREFIX})
message(STATUS "installed and ran tubenote, ipc-tour tubenote and --mistakes, ipc-lab and ipc-exercise from ${PREFIX}")
