# What the Windows build (MinGW-w64) takes from elsewhere than the target's own libraries:
# CLI11's and nlohmann-json's headers alone (Debian's package configs would put the host's
# /usr/include on the path) and libsodium built from its source by scripts/windows-test.sh
# (cmake/windows/libsodium). MIDI is WinMM's own, called by the WinMM backend.
set(FEN_CLI11_INCLUDE "/usr/include" CACHE PATH "Folder that holds CLI11's CLI/ headers")
set(FEN_NLOHMANN_JSON_INCLUDE "/usr/include" CACHE PATH "Folder that holds nlohmann-json's nlohmann/ headers")
set(FEN_SODIUM_PREFIX "" CACHE PATH "Prefix of libsodium built for MinGW-w64 (include/, lib/libsodium.a)")

# CLI11 is header-only: its headers are copied into a folder of their own.
if(NOT EXISTS "${FEN_CLI11_INCLUDE}/CLI/CLI.hpp")
  message(FATAL_ERROR "CLI11 not found in ${FEN_CLI11_INCLUDE} (set FEN_CLI11_INCLUDE)")
endif()
file(COPY "${FEN_CLI11_INCLUDE}/CLI" DESTINATION "${CMAKE_BINARY_DIR}/cli11-include")
add_library(fen_cli11 INTERFACE)
target_include_directories(fen_cli11 SYSTEM INTERFACE "${CMAKE_BINARY_DIR}/cli11-include")
add_library(CLI11::CLI11 ALIAS fen_cli11)
# The tools' find_package(CLI11) is answered by the target above.
set(CLI11_DIR "${PROJECT_SOURCE_DIR}/cmake/windows" CACHE PATH "" FORCE)

# nlohmann-json is header-only too: the same, with its version for find_package's check.
set(_fen_json_headers "${FEN_NLOHMANN_JSON_INCLUDE}/nlohmann")
if(NOT EXISTS "${_fen_json_headers}/json.hpp")
  message(FATAL_ERROR "nlohmann-json not found in ${FEN_NLOHMANN_JSON_INCLUDE} (set FEN_NLOHMANN_JSON_INCLUDE)")
endif()
file(REMOVE_RECURSE "${CMAKE_BINARY_DIR}/nlohmann-json-include")
file(COPY "${_fen_json_headers}" DESTINATION "${CMAKE_BINARY_DIR}/nlohmann-json-include")
file(GLOB _fen_json_version_headers "${_fen_json_headers}/json.hpp" "${_fen_json_headers}/detail/abi_macros.hpp")
set(FEN_NLOHMANN_JSON_VERSION "")
foreach(_fen_header IN LISTS _fen_json_version_headers)
  file(READ "${_fen_header}" _fen_text)
  if(_fen_text MATCHES "#define NLOHMANN_JSON_VERSION_MAJOR ([0-9]+).*#define NLOHMANN_JSON_VERSION_MINOR ([0-9]+).*#define NLOHMANN_JSON_VERSION_PATCH ([0-9]+)")
    set(FEN_NLOHMANN_JSON_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
    break()
  endif()
endforeach()
if(NOT FEN_NLOHMANN_JSON_VERSION)
  message(FATAL_ERROR "Cannot read nlohmann-json's version from its headers in ${_fen_json_headers}")
endif()
add_library(fen_nlohmann_json INTERFACE)
target_include_directories(fen_nlohmann_json SYSTEM INTERFACE "${CMAKE_BINARY_DIR}/nlohmann-json-include")
add_library(nlohmann_json::nlohmann_json ALIAS fen_nlohmann_json)
set(nlohmann_json_DIR "${PROJECT_SOURCE_DIR}/cmake/windows" CACHE PATH "" FORCE)

# libsodium, static, with what its users must define to link it so.
if(NOT EXISTS "${FEN_SODIUM_PREFIX}/lib/libsodium.a" OR NOT EXISTS "${FEN_SODIUM_PREFIX}/include/sodium.h")
  message(FATAL_ERROR "libsodium for MinGW-w64 not found in '${FEN_SODIUM_PREFIX}' (set FEN_SODIUM_PREFIX; "
                      "scripts/windows-test.sh builds it)")
endif()
add_library(fen_sodium STATIC IMPORTED GLOBAL)
set_target_properties(fen_sodium PROPERTIES
  IMPORTED_LOCATION "${FEN_SODIUM_PREFIX}/lib/libsodium.a"
  INTERFACE_INCLUDE_DIRECTORIES "${FEN_SODIUM_PREFIX}/include"
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1
  INTERFACE_LINK_LIBRARIES advapi32)

# Only static libraries: the programs must run without DLLs beside them.
set(ZLIB_USE_STATIC_LIBS ON)

# MinGW-w64's GCC 12 warns falsely inside libstdc++'s operator+ on strings ("accessing
# 9223372036854775810 or more bytes", GCC bug 105329, fixed in the host's GCC 12.2).
add_compile_options(-Wno-restrict)

# The hardening the Linux build has (FenHardening.cmake), as far as Windows has it: stack
# protector and fortified functions (libssp, linked statically like the rest), and ASLR with high
# entropy and DEP said explicitly rather than left to the linker's defaults.
# tests/packaging/pe_hardening.sh reads them back from the programs.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>)
# _FORTIFY_SOURCE needs the optimiser: not in Debug builds.
add_compile_definitions($<$<AND:$<NOT:$<CONFIG:Debug>>,$<COMPILE_LANGUAGE:C,CXX>>:_FORTIFY_SOURCE=2>)
# The stack protector at the link too: GCC then links libssp, which holds its checks.
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
