# The sfxpack package: the pack tool of a release folder (or of cmake --install) for CMake
# builds. With sfxpack_ROOT at the unpacked release:
#
#   find_package(sfxpack 1.1 CONFIG REQUIRED)
#   sfxpack_add_installer(<target> DIR <folder> AUTORUN <path> OUTPUT <file>
#       [ARGS <text>...] [REQUIRE <glob>...] [PLATFORM windows|windows-x64|linux]
#       [JAVA | JAVAX] [FOLDERS_TWICE] [STUB <launcher>] [DEPENDS <target or file>...]
#       [ICON <file.ico>] [VERSION_INFO <KEY=VALUE>...] [EXECUTION_LEVEL <level>]
#       [MANIFEST <file>])
#
# adds <target> to the default build: it runs sfxpack create and is run again when any file or
# folder below DIR changes, appears or goes (a glob that the build checks each time), when the
# tool, the stub or a named file changes, or when a DEPENDS file changes. A relative DIR,
# STUB, ICON or MANIFEST is taken from the current source folder, a relative OUTPUT from the
# current build folder; OUTPUT must lie outside DIR. For a DIR that the build fills, name in
# DEPENDS the file that the filling step writes (its OUTPUT): a target there is only built first.
# ARGS are joined with blanks into the stored arguments ($#launcher# is the installer's path).
# The last four pass the installer's identity on to sfxpack create (--icon, --version-info,
# --execution-level, --manifest).
#
# Also defined: the imported program sfxpack::sfxpack and sfxpack_EXECUTABLE, for commands of
# your own (sfxpack list --json, sfxpack verify).

get_filename_component(_sfxpack_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(CMAKE_HOST_WIN32)
  set(_sfxpack_program "${_sfxpack_root}/sfxpack.exe")
else()
  set(_sfxpack_program "${_sfxpack_root}/sfxpack")
endif()
if(NOT EXISTS "${_sfxpack_program}")
  # The other host's archive: its program does not run here.
  set(sfxpack_FOUND FALSE)
  set(sfxpack_NOT_FOUND_MESSAGE
    "${_sfxpack_program} is missing: this release folder is for another host system")
  return()
endif()
set(sfxpack_EXECUTABLE "${_sfxpack_program}")
if(NOT TARGET sfxpack::sfxpack)
  add_executable(sfxpack::sfxpack IMPORTED)
  set_target_properties(sfxpack::sfxpack PROPERTIES IMPORTED_LOCATION "${_sfxpack_program}")
endif()
set(SFXPACK_STUBS_DIR "${_sfxpack_root}/stubs")

function(sfxpack_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 SFX "JAVA;JAVAX;FOLDERS_TWICE"
    "DIR;AUTORUN;OUTPUT;PLATFORM;STUB;ICON;EXECUTION_LEVEL;MANIFEST"
    "ARGS;REQUIRE;DEPENDS;VERSION_INFO")
  if(SFX_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "sfxpack_add_installer(${target}): unknown arguments: "
      "${SFX_UNPARSED_ARGUMENTS}")
  endif()
  foreach(needed DIR AUTORUN OUTPUT)
    if(NOT DEFINED SFX_${needed})
      message(FATAL_ERROR "sfxpack_add_installer(${target}): ${needed} is required")
    endif()
  endforeach()
  if(SFX_JAVA AND SFX_JAVAX)
    message(FATAL_ERROR "sfxpack_add_installer(${target}): JAVA and JAVAX exclude each other")
  endif()

  get_filename_component(dir "${SFX_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${SFX_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  if(EXISTS "${dir}" AND NOT IS_DIRECTORY "${dir}")
    message(FATAL_ERROR "sfxpack_add_installer(${target}): DIR ${dir} is not a folder")
  endif()
  string(FIND "${output}" "${dir}/" inside)
  if(inside EQUAL 0)
    # Each packing would change the folder that it depends on.
    message(FATAL_ERROR "sfxpack_add_installer(${target}): OUTPUT ${output} lies inside DIR")
  endif()

  set(command "${sfxpack_EXECUTABLE}" create --dir "${dir}" --autorun "${SFX_AUTORUN}")
  set(depends "${sfxpack_EXECUTABLE}" ${SFX_DEPENDS})
  if(DEFINED SFX_ARGS)
    list(JOIN SFX_ARGS " " args)
    list(APPEND command --args "${args}")
  endif()
  foreach(glob IN LISTS SFX_REQUIRE)
    list(APPEND command --require "${glob}")
  endforeach()
  if(SFX_STUB)
    get_filename_component(stub "${SFX_STUB}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND command --stub "${stub}")
    list(APPEND depends "${stub}")
  else()
    if(NOT SFX_PLATFORM)
      set(SFX_PLATFORM windows)
    endif()
    if(SFX_PLATFORM STREQUAL "windows")
      set(stub launcher-windows.exe)
    elseif(SFX_PLATFORM STREQUAL "windows-x64")
      set(stub launcher-windows-x64.exe)
    elseif(SFX_PLATFORM STREQUAL "linux")
      set(stub launcher-linux)
    else()
      message(FATAL_ERROR "sfxpack_add_installer(${target}): PLATFORM ${SFX_PLATFORM} is none "
        "of windows, windows-x64, linux")
    endif()
    list(APPEND command --platform "${SFX_PLATFORM}")
    list(APPEND depends "${SFXPACK_STUBS_DIR}/${stub}")
  endif()
  if(SFX_JAVA)
    list(APPEND command --java)
  elseif(SFX_JAVAX)
    list(APPEND command --javax)
  endif()
  if(SFX_FOLDERS_TWICE)
    list(APPEND command --folders-twice)
  endif()
  foreach(option ICON MANIFEST)
    if(SFX_${option})
      get_filename_component(file "${SFX_${option}}" ABSOLUTE
        BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      string(TOLOWER "--${option}" flag)
      list(APPEND command ${flag} "${file}")
      list(APPEND depends "${file}")
    endif()
  endforeach()
  foreach(pair IN LISTS SFX_VERSION_INFO)
    list(APPEND command --version-info "${pair}")
  endforeach()
  if(SFX_EXECUTION_LEVEL)
    list(APPEND command --execution-level "${SFX_EXECUTION_LEVEL}")
  endif()
  list(APPEND command -o "${output}")

  # Every file and folder below DIR: a changed file is newer than the installer, and a folder
  # whose entries came or went is too. The build checks the glob again each time.
  file(GLOB_RECURSE content CONFIGURE_DEPENDS FOLLOW_SYMLINKS LIST_DIRECTORIES true "${dir}/*")
  if(IS_DIRECTORY "${dir}")
    list(APPEND content "${dir}")
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ${command}
    DEPENDS ${content} ${depends}
    COMMENT "Packing ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
