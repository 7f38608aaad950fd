velto_add_fuzzer(fuzz_dispatch SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_dispatch.cpp LIBS velto_relay velto_protocol)
