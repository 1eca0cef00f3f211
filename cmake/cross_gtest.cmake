# GoogleTest for the target: no arm64 GoogleTest package is installed, so it is
# built here from Debian's `googletest` sources with the project's compiler.
# Provides GTest::gtest, GTest::gtest_main (and GTest::gmock*) like find_package.
set(TCU_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
if(NOT EXISTS ${TCU_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TCU_GTEST_SOURCE_DIR} (apt-get install googletest)")
endif()
# Keep GoogleTest out of the board's install tree and tarball.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TCU_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GCC 12 at -O2 reports -Wrestrict inside GoogleTest's own string code; it is
# not ours to fix, and must never fail a -Werror build.
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -Wno-restrict -Wno-error)
  endif()
endforeach()
