# The distribution's hardening flags for every C and C++ file on Linux: what dpkg-buildflags
# gives a Debian package with all hardening features (stack protector, format checks, fortified
# functions, full RELRO), plus control-flow protection, which Debian 12's dpkg does not add yet.
# The optimisation and debug flags stay the build type's. Not with sanitizers or fuzzing, whose
# own instrumentation the checks would disturb.
include(CheckCXXCompilerFlag)

set(_fen_hardening_compile "")
set(_fen_hardening_link "")
find_program(FEN_DPKG_BUILDFLAGS dpkg-buildflags)
if(FEN_DPKG_BUILDFLAGS)
  foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${FEN_DPKG_BUILDFLAGS} --get ${_kind}
                    OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      continue()
    endif()
    separate_arguments(_flags UNIX_COMMAND "${_flags}")
    foreach(_flag IN LISTS _flags)
      # The build type chooses optimisation and debug information; paths stay as they are.
      if(_flag MATCHES "^-(O.*|g.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
        continue()
      endif()
      if(_kind STREQUAL "LDFLAGS")
        list(APPEND _fen_hardening_link ${_flag})
      else()
        list(APPEND _fen_hardening_compile ${_flag})
      endif()
    endforeach()
  endforeach()
endif()
# Where dpkg-buildflags is missing, the same set by hand.
foreach(_flag -fstack-protector-strong -Wformat -Werror=format-security -D_FORTIFY_SOURCE=2)
  if(NOT _flag IN_LIST _fen_hardening_compile)
    list(APPEND _fen_hardening_compile ${_flag})
  endif()
endforeach()
foreach(_flag -Wl,-z,relro -Wl,-z,now)
  if(NOT _flag IN_LIST _fen_hardening_link)
    list(APPEND _fen_hardening_link ${_flag})
  endif()
endforeach()
check_cxx_compiler_flag(-fcf-protection FEN_HAVE_CF_PROTECTION)
if(FEN_HAVE_CF_PROTECTION)
  list(APPEND _fen_hardening_compile -fcf-protection)
endif()
list(REMOVE_DUPLICATES _fen_hardening_compile)

# _FORTIFY_SOURCE needs the optimiser: not in Debug builds.
foreach(_flag IN LISTS _fen_hardening_compile)
  if(_flag MATCHES "^-D(.*)$")
    add_compile_definitions($<$<AND:$<NOT:$<CONFIG:Debug>>,$<COMPILE_LANGUAGE:C,CXX>>:${CMAKE_MATCH_1}>)
  else()
    add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:${_flag}>)
  endif()
endforeach()
add_link_options(${_fen_hardening_link})
message(STATUS "Hardening: ${_fen_hardening_compile} ${_fen_hardening_link}")
