# The desktop program on Windows: the Win32 front end over the dialog model, one static
# executable with its resources (templates, strings, icon group 128 made from the program's
# PNG icons, manifest, version, the four "BIN" firmware images). fenupdator-test.exe is the same
# program with the test switches (app/test_switches_win.h); the product reads no environment.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(_fen_rc_dir "${CMAKE_CURRENT_BINARY_DIR}/rc")
file(MAKE_DIRECTORY "${_fen_rc_dir}")
set(_fen_icon "${_fen_rc_dir}/fenupdator.ico")
set(_fen_pngs ${PROJECT_SOURCE_DIR}/res/icons/fenupdator-48.png
              ${PROJECT_SOURCE_DIR}/res/icons/fenupdator-32.png
              ${PROJECT_SOURCE_DIR}/res/icons/fenupdator-16.png)
add_custom_command(
  OUTPUT "${_fen_icon}"
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/windows/make_icon.py "${_fen_icon}" ${_fen_pngs}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/windows/make_icon.py ${_fen_pngs}
  COMMENT "Making icon group 128"
  VERBATIM)

# The images the firmware library embeds, as resources too.
if(FEN_FIRMWARE_DIR)
  file(REAL_PATH "${FEN_FIRMWARE_DIR}" _fen_bin_dir)
else()
  set(_fen_bin_dir "${CMAKE_BINARY_DIR}/src/firmware/placeholder_firmware")
endif()
include(${PROJECT_SOURCE_DIR}/cmake/FenFirmware.cmake)
set(_fen_bin_defines "")
set(_fen_bin_files "")
set(_fen_images ${FEN_FIRMWARE_IMAGES})
while(_fen_images)
  list(POP_FRONT _fen_images _fen_id _fen_size)
  string(APPEND _fen_bin_defines "#define FEN_BIN_${_fen_id} \"${_fen_bin_dir}/${_fen_id}.bin\"\n")
  list(APPEND _fen_bin_files "${_fen_bin_dir}/${_fen_id}.bin")
endwhile()
set(_fen_rc_paths "${_fen_rc_dir}/fenupdator_rc_paths.h")
file(CONFIGURE OUTPUT "${_fen_rc_paths}" CONTENT [[
/* Made by the build: the files and the version the resource script takes. */
#define FEN_ICON_FILE "@_fen_icon@"
#define FEN_MANIFEST_FILE "@CMAKE_CURRENT_SOURCE_DIR@/fenupdator.manifest"
@_fen_bin_defines@#define FEN_VERSION_MAJOR @PROJECT_VERSION_MAJOR@
#define FEN_VERSION_MINOR @PROJECT_VERSION_MINOR@
#define FEN_VERSION_PATCH @PROJECT_VERSION_PATCH@
#define FEN_VERSION_TEXT "@FEN_PACKAGE_VERSION@"
]] @ONLY)
set_source_files_properties(fenupdator.rc PROPERTIES
  OBJECT_DEPENDS "${_fen_icon};${_fen_rc_paths};${CMAKE_CURRENT_SOURCE_DIR}/fenupdator.manifest;${PROJECT_SOURCE_DIR}/src/dialog/dialog_layout.h;${PROJECT_SOURCE_DIR}/src/engine/resource.h;${PROJECT_SOURCE_DIR}/src/engine/string_table.def;${PROJECT_SOURCE_DIR}/src/dialog/window_styles.h;${_fen_bin_files}")

add_library(fen_app_core STATIC instance_search.cpp)
target_include_directories(fen_app_core PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(fen_app_core PUBLIC fen_platform)

foreach(_fen_exe fenupdator fenupdator-test)
  add_executable(${_fen_exe} WIN32 main_win.cpp fenupdator.rc)
  target_include_directories(${_fen_exe} PRIVATE ${PROJECT_SOURCE_DIR}/src "${_fen_rc_dir}")
  target_link_libraries(${_fen_exe} PRIVATE fen_app_core fen_ui_win comctl32)
  target_link_options(${_fen_exe} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  # The placeholder images are made by the firmware library's build.
  add_dependencies(${_fen_exe} fen_firmware)
endforeach()
# The product carries no symbols.
target_link_options(fenupdator PRIVATE -s)
target_compile_definitions(fenupdator-test PRIVATE FEN_WIN32_TEST_SWITCHES)
target_link_libraries(fenupdator-test PRIVATE fen_devsim)
