# Answers find_package(CLI11) in the Windows build with the target of FenWindows.cmake.
if(NOT TARGET CLI11::CLI11)
  message(FATAL_ERROR "CLI11::CLI11 is made by cmake/FenWindows.cmake")
endif()
set(CLI11_FOUND TRUE)
