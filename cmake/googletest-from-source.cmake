# GoogleTest for a cross build. Debian packages it for the host only, but ships its sources in
# /usr/src/googletest (libgtest-dev): they are compiled here with the target's compiler, under the
# names find_package(GTest) gives, so the test lists read the same in every build.
set(FLASHUPDATE_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
  "GoogleTest's sources, compiled with the tests when cross-compiling")
if(NOT EXISTS ${FLASHUPDATE_GTEST_SOURCE_DIR}/src/gtest-all.cc)
  message(FATAL_ERROR "No GoogleTest sources in ${FLASHUPDATE_GTEST_SOURCE_DIR} "
    "(apt-get install libgtest-dev, or set FLASHUPDATE_GTEST_SOURCE_DIR).")
endif()

add_library(flashupdate_gtest STATIC ${FLASHUPDATE_GTEST_SOURCE_DIR}/src/gtest-all.cc)
target_include_directories(flashupdate_gtest SYSTEM
  PUBLIC ${FLASHUPDATE_GTEST_SOURCE_DIR}/include
  PRIVATE ${FLASHUPDATE_GTEST_SOURCE_DIR})
# Someone else's code: our warnings are not its to fix.
set_target_properties(flashupdate_gtest PROPERTIES COMPILE_OPTIONS "")
add_library(GTest::gtest ALIAS flashupdate_gtest)

add_library(flashupdate_gtest_main STATIC ${FLASHUPDATE_GTEST_SOURCE_DIR}/src/gtest_main.cc)
target_link_libraries(flashupdate_gtest_main PUBLIC flashupdate_gtest)
set_target_properties(flashupdate_gtest_main PROPERTIES COMPILE_OPTIONS "")
add_library(GTest::gtest_main ALIAS flashupdate_gtest_main)
