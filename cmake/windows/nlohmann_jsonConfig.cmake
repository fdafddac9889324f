# Answers find_package(nlohmann_json) in the Windows build with the target of FenWindows.cmake.
if(NOT TARGET nlohmann_json::nlohmann_json)
  message(FATAL_ERROR "nlohmann_json::nlohmann_json is made by cmake/FenWindows.cmake")
endif()
set(nlohmann_json_FOUND TRUE)
