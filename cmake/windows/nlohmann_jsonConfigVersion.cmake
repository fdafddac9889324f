# The version of the headers that cmake/FenWindows.cmake copied; a request for the same major
# version and an older or equal one is met, as nlohmann-json's own file does.
set(PACKAGE_VERSION "${FEN_NLOHMANN_JSON_VERSION}")
if(PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
elseif(NOT PACKAGE_FIND_VERSION_MAJOR STREQUAL "" AND
       NOT PACKAGE_VERSION MATCHES "^${PACKAGE_FIND_VERSION_MAJOR}\\.")
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_VERSION VERSION_EQUAL PACKAGE_FIND_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
