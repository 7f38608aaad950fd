# Common settings for every target of ours: one place, called by every CMakeLists.txt.
function(velto_target_settings target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_FROM_ASCII
    QT_NO_KEYWORDS
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)
  endif()
endfunction()

# One QtTest executable registered with CTest; tests run offscreen with their own temporary home.
function(velto_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  velto_target_settings(${name})
  target_link_libraries(${name} PRIVATE Qt6::Test velto_testsupport ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VELTO_SHARED_DIR=${CMAKE_SOURCE_DIR}/../shared;VELTO_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    TIMEOUT 300)
endfunction()
