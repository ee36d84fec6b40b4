# Runs at install time (cmake --install, cpack), after teliox and teliox-cli
# are in place. Input: TELIOX_PROGRAMS, TELIOX_BINDIR, TELIOX_LIBDIR,
# TELIOX_LIBRARY_FILE (libhalvex.so.3), TELIOX_MULTIARCH.
#
# Camera announcements arrive on UDP port 1005, below 1024, so the programs
# want cap_net_bind_service. A program with a file capability runs in the
# loader's secure mode for every user but root: the loader then ignores
# LD_LIBRARY_PATH and every "$ORIGIN" run path outside its own system folders.
# Hence:
#  - library in one of the loader's own folders (/usr/lib/<multiarch>, the
#    package): the run path is dropped, the loader finds the library by its
#    default search;
#  - the capability is granted only when the loader's cache (ldconfig, which
#    this step runs) resolves the library to the file just installed, as for
#    /usr and /usr/local; a secure-mode program then finds it for every user;
#  - any other prefix (/opt/teliox, a home folder) keeps "$ORIGIN/../<libdir>"
#    and gets no capability: such a tree runs for every user from wherever it
#    is moved, and root receives the announcements;
#  - a staged install (DESTDIR, as cpack does) grants nothing: file
#    capabilities do not survive packaging, the package's postinst grants them.
cmake_policy(VERSION 3.25)  # this file's own policy scope (include)

set(_prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${TELIOX_LIBDIR}")
  set(_libdir "${TELIOX_LIBDIR}")
else()
  set(_libdir "${_prefix}/${TELIOX_LIBDIR}")
endif()
cmake_path(NORMAL_PATH _libdir)
string(REGEX REPLACE "(.)/$" "\\1" _libdir "${_libdir}")
set(_stage "$ENV{DESTDIR}")

set(_system_dirs /lib /usr/lib)
if(TELIOX_MULTIARCH)
  list(APPEND _system_dirs /lib/${TELIOX_MULTIARCH} /usr/lib/${TELIOX_MULTIARCH})
endif()

set(_installed)
foreach(_program ${TELIOX_PROGRAMS})
  set(_file "${_stage}${_prefix}/${TELIOX_BINDIR}/${_program}")
  if(EXISTS "${_file}")
    list(APPEND _installed "${_file}")
    if(_libdir IN_LIST _system_dirs)
      file(RPATH_REMOVE FILE "${_file}")
    endif()
  endif()
endforeach()
if(NOT _installed)
  return()
endif()

if(_stage)
  message(STATUS "Staged install: cap_net_bind_service is granted where the tree is finally installed")
  return()
endif()

execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _uid STREQUAL "0")
  message(STATUS "Not installed as root: no cap_net_bind_service; run the programs as root "
                 "to receive camera announcements (UDP port 1005)")
  return()
endif()

# The loader's cache must resolve the library to this very file. The cache is
# rebuilt only when the library folder is one of the loader's configured
# folders (ld.so.conf), so that other prefixes leave it alone.
find_program(_ldconfig ldconfig PATHS /sbin /usr/sbin)
set(_cached "")
if(_ldconfig)
  execute_process(COMMAND ${_ldconfig} -N -X -v OUTPUT_VARIABLE _folders ERROR_QUIET)
  string(REGEX MATCHALL "(^|\n)/[^:\n]*:" _folders "${_folders}")
  string(REGEX REPLACE "(^|\n)(/[^:\n]*):" "\\2" _folders "${_folders}")
  if(_libdir IN_LIST _folders)
    execute_process(COMMAND ${_ldconfig} OUTPUT_QUIET ERROR_QUIET)
  endif()
  execute_process(COMMAND ${_ldconfig} -p OUTPUT_VARIABLE _cache ERROR_QUIET)
  string(REGEX MATCH "[\t ]${TELIOX_LIBRARY_FILE} \\([^\n]*\\) => ([^\n]+)" _match "${_cache}")
  if(_match)
    set(_cached "${CMAKE_MATCH_1}")
    file(REAL_PATH "${_cached}" _cached)
  endif()
endif()
set(_ours "")
if(EXISTS "${_libdir}/${TELIOX_LIBRARY_FILE}")
  file(REAL_PATH "${_libdir}/${TELIOX_LIBRARY_FILE}" _ours)
endif()
if(NOT _ours OR NOT _cached STREQUAL _ours)
  message(STATUS "${_libdir} is not a folder of the loader's cache: the programs find libhalvex by their "
                 "run path and get no cap_net_bind_service (the loader's secure mode would ignore that run "
                 "path); run them as root to receive camera announcements (UDP port 1005)")
  return()
endif()

find_program(_setcap setcap PATHS /sbin /usr/sbin)
foreach(_file ${_installed})
  set(_rc 1)
  set(_err "setcap not found (package libcap2-bin)")
  if(_setcap)
    execute_process(COMMAND ${_setcap} cap_net_bind_service=+ep "${_file}" RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  endif()
  if(_rc EQUAL 0)
    message(STATUS "Granted cap_net_bind_service to ${_file}")
  else()
    message(WARNING "Could not grant cap_net_bind_service to ${_file} (${_err}): "
                    "run it as root or grant it by hand to receive camera announcements")
  endif()
endforeach()
