# What the Windows build (MinGW-w64) takes from elsewhere than the target's own libraries:
# CLI11's headers alone (Debian's CLI11 package config would put the host's /usr/include on the
# path), and RtMidi built from its source with the WinMM backend.
set(FEN_RTMIDI_SOURCE "" CACHE PATH "Folder with RtMidi's source (RtMidi.cpp, RtMidi.h)")
set(FEN_CLI11_INCLUDE "/usr/include" CACHE PATH "Folder that holds CLI11's CLI/ headers")

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

if(NOT EXISTS "${FEN_RTMIDI_SOURCE}/RtMidi.cpp")
  message(FATAL_ERROR "RtMidi's source not found in '${FEN_RTMIDI_SOURCE}' (set FEN_RTMIDI_SOURCE; "
                      "scripts/windows-test.sh fetches it)")
endif()
add_library(fen_rtmidi STATIC "${FEN_RTMIDI_SOURCE}/RtMidi.cpp")
target_include_directories(fen_rtmidi SYSTEM PUBLIC "${FEN_RTMIDI_SOURCE}")
target_compile_definitions(fen_rtmidi PUBLIC __WINDOWS_MM__)
# Not our code: its warnings are not ours to fix.
target_compile_options(fen_rtmidi PRIVATE -w)
target_link_libraries(fen_rtmidi PUBLIC winmm)

# Only static libraries: the programs must run without DLLs beside them.
set(ZLIB_USE_STATIC_LIBS ON)

# MinGW-w64's GCC 12 warns falsely inside libstdc++'s operator+ on strings ("accessing
# 9223372036854775810 or more bytes", GCC bug 105329, fixed in the host's GCC 12.2).
add_compile_options(-Wno-restrict)
