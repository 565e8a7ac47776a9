# Libraries of a cross build that the target system's tree does not carry.
#
# nlohmann-json is header-only, so the host's package serves: its version is
# checked with the host's package file, and its headers are copied on their
# own into the build tree (an include path of /usr/include would put the
# host's C library headers in front of the target's).
find_package(nlohmann_json 3 REQUIRED CONFIG PATHS /usr/share/cmake NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH)
find_path(QX_HOST_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${QX_HOST_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${PROJECT_BINARY_DIR}/host-headers)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                      INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/host-headers)

# GoogleTest from Debian's sources (googletest package), built with the cross
# compiler; gmock is not used. It names its libraries GTest::gtest and
# GTest::gtest_main, as the host's package does.
if(QXFLASH_BUILD_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
