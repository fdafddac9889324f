# Embedding of the four firmware images: a release folder checked at configure time, or
# deterministic placeholders made at build time by a small generator program.

# Resource ID and exact size in bytes of each image, in pairs.
set(FEN_FIRMWARE_IMAGES 129 720896 133 12288 136 262144 137 2912256)

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

# Adds the generated assembler source that includes the images to TARGET. Sets
# FEN_FIRMWARE_IS_PLACEHOLDER in the caller's scope.
function(fen_embed_firmware target)
  set(images ${FEN_FIRMWARE_IMAGES})
  set(files "")
  if(FEN_FIRMWARE_DIR)
    fen_check_firmware_dir("${FEN_FIRMWARE_DIR}")
    file(REAL_PATH "${FEN_FIRMWARE_DIR}" dir)
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
