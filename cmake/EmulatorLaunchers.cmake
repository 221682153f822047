# Launchers for tests that start built programs themselves (Python end-to-end tests, scripts).
#
# When cross-compiling, a built program cannot be executed directly: it has to run through
# CMAKE_CROSSCOMPILING_EMULATOR (qemu-arm -L /). CTest does that for the test commands, but not
# for programs that a test starts on its own. For those, cee_emulator_launchers() writes small
# shell scripts that exec the emulator with the real program, into ${CMAKE_BINARY_DIR}/emulated/
# at the same relative place as the program in the build tree (emulated/src/agent/cee-agent,
# ...). A test can then be given the launcher wherever it would get the program, and a folder
# that stands for the build folder (CEE_BUILD_DIR) can be the launcher tree.
#
# Because the launcher execs the emulator, the process a test starts is the emulator, which
# passes signals on to the program and ends with its exit status.

# cee_emulated_environment(<var>): rewrites the CTest ENVIRONMENT list in <var>: every
# $<TARGET_FILE:target> becomes the target's launcher (written at generate time) and
# CEE_BUILD_DIR=${CMAKE_BINARY_DIR} becomes the launcher tree. Does nothing unless
# CMAKE_CROSSCOMPILING_EMULATOR is set.
function(cee_emulated_environment var)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  set(env "${${var}}")
  set(root "${CMAKE_BINARY_DIR}/emulated")
  string(REGEX MATCHALL [[\$<TARGET_FILE:[^>]+>]] refs "${env}")
  list(REMOVE_DUPLICATES refs)
  foreach(ref IN LISTS refs)
    string(REGEX REPLACE [[^\$<TARGET_FILE:([^>]+)>$]] [[\1]] target "${ref}")
    cee_emulator_launcher(launcher ${target})
    string(REPLACE "${ref}" "${launcher}" env "${env}")
  endforeach()
  string(REPLACE "CEE_BUILD_DIR=${CMAKE_BINARY_DIR};" "CEE_BUILD_DIR=${root};" env "${env}")
  set(${var} "${env}" PARENT_SCOPE)
endfunction()

# cee_emulator_launcher(<var> <target>): writes the launcher of an executable target and sets
# <var> to its path (a generator expression). Without an emulator <var> is the target file.
function(cee_emulator_launcher var target)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(path "${CMAKE_BINARY_DIR}/emulated/$<PATH:RELATIVE_PATH,$<TARGET_FILE:${target}>,${CMAKE_BINARY_DIR}>")
  get_property(done GLOBAL PROPERTY CEE_EMULATOR_LAUNCHER_${target})
  if(NOT done)
    set_property(GLOBAL PROPERTY CEE_EMULATOR_LAUNCHER_${target} TRUE)
    set(emulator "")
    foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
      string(APPEND emulator " '${word}'")
    endforeach()
    set(program "'$<TARGET_FILE:${target}>' \"$@\"")
    set(content "#!/bin/sh\n# Runs ${target} of this cross build through its emulator.\n")
    list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 first)
    get_filename_component(first "${first}" NAME)
    if(first MATCHES "^qemu-")
      # LD_PRELOAD is meant for the program, not for qemu. faketime names its library with
      # $LIB, which the program's loader resolves to the ARM build (libfaketime:armhf): the
      # program's own timed waits are then faked consistently, as in a native run. (Faking
      # qemu instead makes the program's absolute time-outs wrong in the kernel.) The
      # FAKETIME_SHARED segment of the faketime wrapper cannot be shared with a 32-bit program.
      string(APPEND content
        "if [ -n \"\${LD_PRELOAD-}\" ]; then\n"
        "    preload=\$LD_PRELOAD\n"
        "    unset LD_PRELOAD\n"
        "    exec${emulator} -E \"LD_PRELOAD=\$preload\" -U FAKETIME_SHARED ${program}\n"
        "fi\n")
    endif()
    string(APPEND content "exec${emulator} ${program}\n")
    file(GENERATE OUTPUT "${path}" CONTENT "${content}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
  endif()
  set(${var} "${path}" PARENT_SCOPE)
endfunction()
