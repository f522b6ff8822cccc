# Test dependencies for the Windows cross build. Debian ships GoogleTest
# compiled for the host only, so it is compiled here from Debian's sources
# (package googletest) with the cross compiler; nlohmann/json is header-only
# and is copied out of the host's include tree, which must not be put on the
# cross compiler's include path as a whole.
set(QUORVEX_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${QUORVEX_GTEST_SOURCE_DIR}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest sources not found in ${QUORVEX_GTEST_SOURCE_DIR} (apt-get install googletest)")
endif()
add_library(quorvex_gtest_main STATIC
  ${QUORVEX_GTEST_SOURCE_DIR}/src/gtest-all.cc
  ${QUORVEX_GTEST_SOURCE_DIR}/src/gtest_main.cc)
target_include_directories(quorvex_gtest_main SYSTEM PUBLIC ${QUORVEX_GTEST_SOURCE_DIR}/include)
target_include_directories(quorvex_gtest_main PRIVATE ${QUORVEX_GTEST_SOURCE_DIR})
# Third-party code: not held to the project's warning flags, and built with
# light optimisation since only the tests run through it.
set_target_properties(quorvex_gtest_main PROPERTIES COMPILE_OPTIONS "-O1")
add_library(GTest::gtest_main ALIAS quorvex_gtest_main)

set(QUORVEX_NLOHMANN_INCLUDE /usr/include/nlohmann CACHE PATH "nlohmann/json headers")
if(NOT EXISTS ${QUORVEX_NLOHMANN_INCLUDE}/json.hpp)
  message(FATAL_ERROR "nlohmann/json not found in ${QUORVEX_NLOHMANN_INCLUDE} (apt-get install nlohmann-json3-dev)")
endif()
file(COPY ${QUORVEX_NLOHMANN_INCLUDE} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/host-headers)
add_library(quorvex_nlohmann_json INTERFACE)
target_include_directories(quorvex_nlohmann_json SYSTEM INTERFACE ${CMAKE_CURRENT_BINARY_DIR}/host-headers)
add_library(nlohmann_json::nlohmann_json ALIAS quorvex_nlohmann_json)
