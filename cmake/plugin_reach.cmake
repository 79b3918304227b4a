# The check that only the entry points, the lifecycle and the tests' seam name the plug-in's global state.
# cmake -DSOURCE_DIR=<repository> -P cmake/plugin_reach.cmake
# cmake -DSELF_TEST=<scratch folder> -P cmake/plugin_reach.cmake   (the check on a planted tree)
cmake_minimum_required(VERSION 3.25)

# Every other room is handed its part of the state at set-up; these alone may name the state itself.
set(allowed
  src/mach3/entry_points.cpp
  src/mach3/lifecycle.cpp
  src/mach3/plugin_state.cpp
  src/mach3/plugin_state.h
  tests/support/plugin_access.h)
set(name_pattern "(^|[^A-Za-z0-9_])(plugin[ \t]*\\(\\)|g_plugin([^A-Za-z0-9_]|$))")

# The files below root, relative to it, that name the state without being allowed to.
function(unallowed_names root out)
  set(found)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root}
       ${root}/src/*.c ${root}/src/*.cpp ${root}/src/*.h ${root}/sim/*.cpp ${root}/sim/*.h
       ${root}/tests/*.c ${root}/tests/*.cpp ${root}/tests/*.h ${root}/fuzz/*.cpp ${root}/fuzz/*.h
       ${root}/bench/*.cpp ${root}/bench/*.h)
  list(SORT files)
  foreach(file IN LISTS files)
    if(file IN_LIST allowed)
      continue()
    endif()
    file(READ ${root}/${file} text)
    if(text MATCHES "${name_pattern}")
      list(APPEND found ${file})
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

if(SELF_TEST)
  # Each planted file: its path, what it holds, and whether the check must name it.
  set(cases
    "src/mach3/log.cpp|    return plugin().log.file|yes"
    "sim/profile_setup.cpp|g_plugin.id.ProfilePath = path|yes"
    "src/mach3/dialog/config_dialog.cpp|plugin().settings at a line's start|yes"
    "bench/bench_main.cpp|x = plugin ().scan|yes"
    "tests/mach3/update/update_test.cpp|g_plugin|yes"
    "src/mach3/lifecycle.cpp|PluginState& p = plugin()|no"
    "tests/support/plugin_access.h|return plugin()|no"
    "fuzz/fuzz_plugin.cpp|int fuzz_plugin() and g_plugins and my_g_plugin|no"
    "tests/mach3/lifecycle_test.cpp|testsupport::State().settings|no")
  file(REMOVE_RECURSE ${SELF_TEST})
  set(expected)
  foreach(c IN LISTS cases)
    string(REPLACE "|" ";" parts "${c}")
    list(GET parts 0 path)
    list(GET parts 1 content)
    list(GET parts 2 flagged)
    file(WRITE ${SELF_TEST}/${path} "// planted\n${content}\n")
    if(flagged STREQUAL "yes")
      list(APPEND expected ${path})
    endif()
  endforeach()
  unallowed_names(${SELF_TEST} found)
  list(SORT expected)
  file(REMOVE_RECURSE ${SELF_TEST})
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "the check named [${found}], the planted tree wants [${expected}]")
  endif()
  return()
endif()

if(NOT SOURCE_DIR)
  get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()
unallowed_names(${SOURCE_DIR} found)
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "these files name plugin() or g_plugin; hand them their part of the state at set-up "
                      "instead, or reach it through tests/support/plugin_access.h in tests:\n  ${text}")
endif()
