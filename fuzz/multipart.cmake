velto_add_fuzzer(fuzz_multipart SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_multipart.cpp LIBS velto_relayserver)
