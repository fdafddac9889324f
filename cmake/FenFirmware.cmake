# Embedding of the four firmware images: a release folder checked at configure time, or
# deterministic placeholders made at build time by a small generator program. A release with a
# manifest is verified at configure time by a small host program (tools/release_check) built from
# the updater's own verification code; the trusted keys and the manifest go into the program.

# Resource ID and exact size in bytes of each image, in pairs, from the code's own list.
set(FEN_FIRMWARE_IMAGES_DEF "${CMAKE_CURRENT_LIST_DIR}/../src/firmware/firmware_images.def")
file(STRINGS "${FEN_FIRMWARE_IMAGES_DEF}" _fen_image_lines
     REGEX "^FEN_FIRMWARE_IMAGE\\([0-9]+, [0-9]+\\)$")
set(FEN_FIRMWARE_IMAGES "")
foreach(_fen_line IN LISTS _fen_image_lines)
  string(REGEX MATCH "([0-9]+), ([0-9]+)" _fen_pair "${_fen_line}")
  list(APPEND FEN_FIRMWARE_IMAGES ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
list(LENGTH FEN_FIRMWARE_IMAGES _fen_count)
if(NOT _fen_count EQUAL 8)
  message(FATAL_ERROR "${FEN_FIRMWARE_IMAGES_DEF}: expected four images, read '${FEN_FIRMWARE_IMAGES}'")
endif()
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${FEN_FIRMWARE_IMAGES_DEF}")
endif()

# Fails the configure step unless DIR holds every image with its exact size.
function(fen_check_firmware_dir dir)
  if(NOT IS_DIRECTORY "${dir}")
    message(FATAL_ERROR "FEN_FIRMWARE_DIR: ${dir} is not a folder")
  endif()
  set(images ${FEN_FIRMWARE_IMAGES})
  while(images)
    list(POP_FRONT images id size)
    set(file "${dir}/${id}.bin")
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
      message(FATAL_ERROR "Firmware image ${file} is missing (expected ${size} bytes)")
    endif()
    file(SIZE "${file}" actual)
    if(NOT actual EQUAL size)
      message(FATAL_ERROR
              "Firmware image ${file} has the wrong size: expected ${size} bytes, found ${actual}")
    endif()
    if(NOT CMAKE_SCRIPT_MODE_FILE)
      # Configure again when a release file changes, so that its size is checked again.
      set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    endif()
  endwhile()
endfunction()

# A key pair made once in DIR with minisign, for the tests: a build that trusts it accepts the
# releases its tests sign. Sets FEN_TEST_RELEASE_PUBLIC_KEY and FEN_TEST_RELEASE_SECRET_KEY (empty
# when minisign is not there).
function(fen_make_test_release_key dir)
  find_program(FEN_MINISIGN minisign)
  set(pub "${dir}/test-release.pub")
  set(key "${dir}/test-release.key")
  if(NOT EXISTS "${pub}" OR NOT EXISTS "${key}")
    if(NOT FEN_MINISIGN)
      message(WARNING "minisign is not installed: no test release key, the release tests skip")
      set(pub "")
      set(key "")
    else()
      file(MAKE_DIRECTORY "${dir}")
      execute_process(COMMAND "${FEN_MINISIGN}" -G -f -W -p "${pub}" -s "${key}"
                      RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error INPUT_FILE /dev/null)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR "minisign could not make the test release key: ${error}")
      endif()
    endif()
  endif()
  set(FEN_TEST_RELEASE_PUBLIC_KEY "${pub}" CACHE INTERNAL "")
  set(FEN_TEST_RELEASE_SECRET_KEY "${key}" CACHE INTERNAL "")
endfunction()

# The base64 line of a minisign public key file, into OUT; fails the configure step otherwise.
function(fen_read_public_key file out)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "Release public key ${file} does not exist")
  endif()
  file(STRINGS "${file}" lines)
  set(key "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^untrusted comment:" OR line STREQUAL "")
      continue()
    endif()
    set(key "${line}")
    break()
  endforeach()
  string(LENGTH "${key}" length)
  if(NOT key MATCHES "^RW[A-Za-z0-9+/]+=*$" OR NOT length EQUAL 56)
    message(FATAL_ERROR "Release public key ${file} is not a minisign public key")
  endif()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  endif()
  set(${out} "${key}" PARENT_SCOPE)
endfunction()

# Builds the release checker in BINDIR for the machine that builds; its path into OUT. It is a
# build of its own, without this build's toolchain file: a cross build (MinGW-w64) checks its
# release with a checker that runs here. Its compilers are the machine's own, whatever the
# environment names for the cross build.
function(fen_build_release_checker bindir out)
  get_filename_component(source "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/release_check" ABSOLUTE)
  set(host_env "")
  if(CMAKE_CROSSCOMPILING)
    set(host_env "${CMAKE_COMMAND}" -E env --unset=CMAKE_TOOLCHAIN_FILE --unset=CC --unset=CXX)
  endif()
  if(NOT EXISTS "${bindir}/CMakeCache.txt")
    execute_process(COMMAND ${host_env} "${CMAKE_COMMAND}" -S "${source}" -B "${bindir}"
                            -DCMAKE_BUILD_TYPE=Release
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Cannot configure the firmware release checker:\n${output}")
    endif()
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${bindir}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot build the firmware release checker:\n${output}")
  endif()
  set(${out} "${bindir}/fen-release-check" PARENT_SCOPE)
endfunction()

# Verifies the release in DIR as the updater does: the manifest's signature against the key
# files that follow, then every image's size and SHA-256. Fails the configure step on any
# difference, and on a release that is not verified (an unsigned manifest, or none at all)
# unless FEN_FIRMWARE_ALLOW_UNSIGNED is on. The checker is built in CHECKER_DIR.
function(fen_verify_release_dir dir checker_dir)
  fen_check_firmware_dir("${dir}")
  fen_build_release_checker("${checker_dir}" checker)
  execute_process(COMMAND "${checker}" "${dir}" ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(result EQUAL 3 AND NOT FEN_FIRMWARE_ALLOW_UNSIGNED)
    message(FATAL_ERROR "Firmware ${dir}: ${output}; a release that is not signed, or has no "
                        "manifest, is embedded only with -DFEN_FIRMWARE_ALLOW_UNSIGNED=ON")
  elseif(result EQUAL 3)
    message(WARNING "Firmware ${dir}: ${output} (embedded as FEN_FIRMWARE_ALLOW_UNSIGNED allows)")
    return()
  elseif(NOT result EQUAL 0)
    message(FATAL_ERROR "Firmware release refused: ${error}")
  endif()
  message(STATUS "Firmware release verified: ${output}")
endfunction()

# The hex bytes of FILE as a C array initialiser (a trailing 0 ends it), into OUT.
function(fen_bytes_initialiser file out)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  set(${out} "${bytes}0" PARENT_SCOPE)
endfunction()

# Writes the release data of a build into a library named TARGET (of KIND STATIC or OBJECT):
# the trusted keys (the key files that follow DIR), and the manifest and signature of the
# embedded release when it has them.
function(fen_write_release_data target kind dir)
  set(keys "")
  set(count 0)
  foreach(file IN LISTS ARGN)
    fen_read_public_key("${file}" key)
    string(APPEND keys "    \"${key}\",\n")
    math(EXPR count "${count} + 1")
  endforeach()
  set(manifest "0")
  set(manifest_size 0)
  set(signature "0")
  set(signature_size 0)
  if(dir AND EXISTS "${dir}/manifest.json")
    fen_bytes_initialiser("${dir}/manifest.json" manifest)
    file(SIZE "${dir}/manifest.json" manifest_size)
    set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 "${dir}/manifest.json")
    if(EXISTS "${dir}/manifest.json.minisig")
      fen_bytes_initialiser("${dir}/manifest.json.minisig" signature)
      file(SIZE "${dir}/manifest.json.minisig" signature_size)
      set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   "${dir}/manifest.json.minisig")
    endif()
  endif()
  if(count EQUAL 0)
    set(keys "    nullptr,\n")
  endif()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  file(CONFIGURE OUTPUT "${source}" @ONLY CONTENT [[
// Generated by cmake/FenFirmware.cmake: the release data of this build.
#include "firmware/release_data.h"

namespace fen::release_data {

const unsigned char kManifest[] = {@manifest@};
const std::size_t kManifestSize = @manifest_size@;
const unsigned char kSignature[] = {@signature@};
const std::size_t kSignatureSize = @signature_size@;
const char* const kTrustedKeys[] = {
@keys@};
const std::size_t kTrustedKeyCount = @count@;

}  // namespace fen::release_data
]])
  add_library(${target} ${kind} "${source}")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()

# Adds the generated assembler source that includes the images to TARGET. Sets
# FEN_FIRMWARE_IS_PLACEHOLDER in the caller's scope.
function(fen_embed_firmware target)
  set(images ${FEN_FIRMWARE_IMAGES})
  set(files "")
  if(FEN_FIRMWARE_DIR)
    file(REAL_PATH "${FEN_FIRMWARE_DIR}" dir)
    fen_verify_release_dir("${dir}" "${CMAKE_BINARY_DIR}/release-check" ${FEN_TRUSTED_KEY_FILES})
    while(images)
      list(POP_FRONT images id size)
      set(FEN_FIRMWARE_FILE_${id} "${dir}/${id}.bin")
      list(APPEND files "${dir}/${id}.bin")
    endwhile()
    set(placeholder FALSE)
  else()
    # Built for the target and, when cross-compiling, run through its emulator; made only when
    # missing or when the generator changes.
    add_executable(fen_make_placeholder_firmware ${PROJECT_SOURCE_DIR}/res/make_placeholder_firmware.cpp)
    target_include_directories(fen_make_placeholder_firmware PRIVATE ${PROJECT_SOURCE_DIR})
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/placeholder_firmware")
    file(MAKE_DIRECTORY "${dir}")
    while(images)
      list(POP_FRONT images id size)
      set(FEN_FIRMWARE_FILE_${id} "${dir}/${id}.bin")
      list(APPEND files "${dir}/${id}.bin")
      add_custom_command(
        OUTPUT "${dir}/${id}.bin"
        COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:fen_make_placeholder_firmware>
                ${id} ${size} "${dir}/${id}.bin"
        DEPENDS fen_make_placeholder_firmware
        COMMENT "Making placeholder firmware image ${id}"
        VERBATIM)
    endwhile()
    set(placeholder TRUE)
  endif()

  # The programs trust the keys of FEN_TRUSTED_KEY_FILES alone. With a test key pair, the
  # object library fen_release_data_test_key also trusts it: a program that links it (the
  # tests' own copy of the command-line updater) finds the data there and never takes the
  # archive's; no program that is installed links it.
  if(NOT FEN_FIRMWARE_DIR)
    set(dir "")
  endif()
  fen_write_release_data(fen_release_data STATIC "${dir}" ${FEN_TRUSTED_KEY_FILES})
  target_link_libraries(${target} PUBLIC fen_release_data)
  if(FEN_TEST_RELEASE_PUBLIC_KEY AND FEN_TEST_RELEASE_KEY)
    fen_write_release_data(fen_release_data_test_key OBJECT "${dir}" ${FEN_TRUSTED_KEY_FILES}
                           "${FEN_TEST_RELEASE_PUBLIC_KEY}")
  endif()

  # One line per image for the assembler template.
  set(FEN_FIRMWARE_IMAGE_LINES "")
  set(images ${FEN_FIRMWARE_IMAGES})
  while(images)
    list(POP_FRONT images id size)
    string(APPEND FEN_FIRMWARE_IMAGE_LINES "fen_firmware_image ${id}, \"${FEN_FIRMWARE_FILE_${id}}\"\n")
  endwhile()
  set(asm "${CMAKE_CURRENT_BINARY_DIR}/firmware_images.S")
  if(WIN32)
    configure_file(${PROJECT_SOURCE_DIR}/res/firmware_images_coff.S.in "${asm}" @ONLY)
  else()
    configure_file(${PROJECT_SOURCE_DIR}/res/firmware_images.S.in "${asm}" @ONLY)
  endif()
  # The assembler's own dependency scan does not see .incbin files.
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${files}")
  target_sources(${target} PRIVATE "${asm}")
  set(FEN_FIRMWARE_IS_PLACEHOLDER ${placeholder} PARENT_SCOPE)
endfunction()
