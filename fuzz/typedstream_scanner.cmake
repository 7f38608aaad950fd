# The scanner is a pure function: build its one source in, rather than all of TolkaCore with its
# database and coroutine code.
velto_add_fuzzer(fuzz_typedstream_scanner
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/typedstream_scanner.cpp ${CMAKE_CURRENT_LIST_DIR}/../TolkaCore/typedstreamparser.cpp
  LIBS Qt6::Core)
target_include_directories(fuzz_typedstream_scanner PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../TolkaCore)
