# Warnings, sanitizers and the helpers every folder uses.

add_compile_options(-Wall -Wextra -Wpedantic)

if(KX_SANITIZE OR KX_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Where a test may find the reference captures and ASN.1 modules; tests skip
# what needs them when the folder is absent.
set(KX_REFERENCE_DIR "${CMAKE_SOURCE_DIR}/../shared/reference" CACHE PATH
    "Folder with reference captures (optional)")

# Where a test program, or code it shares, finds the sources, the build and the captures.
function(kx_test_paths target)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE
    KX_REFERENCE_DIR="${KX_REFERENCE_DIR}"
    KX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KX_BINARY_DIR="${CMAKE_BINARY_DIR}")
endfunction()

# kx_add_test_support(NAME name SOURCES a.cpp LIBS lib1 [AUTOMOC])
# Code several test programs share (fixtures, stand-ins for real systems), compiled once;
# a program links it among its LIBS.
function(kx_add_test_support)
  cmake_parse_arguments(S "AUTOMOC" "NAME" "SOURCES;LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  add_library(${S_NAME} STATIC ${S_SOURCES})
  target_link_libraries(${S_NAME} PUBLIC ${S_LIBS} GTest::gtest Threads::Threads)
  target_include_directories(${S_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
  kx_test_paths(${S_NAME})
  if(S_AUTOMOC)
    set_target_properties(${S_NAME} PROPERTIES AUTOMOC ON)
  endif()
endfunction()

# kx_add_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [TIMEOUT s] [ENV K=V ...]
#             [ARGS a ...])
# One GoogleTest executable registered with CTest as a whole, so that a slow
# fixture runs once.  Tests run from the build folder.
function(kx_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV;ARGS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  kx_test_paths(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  # A message field named that its type does not have aborts the test, in every program
  # the test runs.
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "KX_ASN_STRICT=1;${T_ENV}")
endfunction()
