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

# kx_add_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [TIMEOUT s] [ENV K=V ...]
#             [ARGS a ...])
# One GoogleTest executable registered with CTest as a whole, so that a slow
# fixture runs once.  Tests run from the build folder.
function(kx_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV;ARGS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${T_NAME} PRIVATE
    KX_REFERENCE_DIR="${KX_REFERENCE_DIR}"
    KX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KX_BINARY_DIR="${CMAKE_BINARY_DIR}")
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
