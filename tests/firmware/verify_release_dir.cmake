# Runs the configure-time verification of a release folder as a build with FEN_FIRMWARE_DIR does:
# cmake -DDIR=<folder> -DCHECKER=<build folder of the checker> -DKEY=<public key file>
#       [-DFEN_FIRMWARE_ALLOW_UNSIGNED=ON] -P verify_release_dir.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/FenFirmware.cmake)
fen_verify_release_dir("${DIR}" "${CHECKER}" "${KEY}")
