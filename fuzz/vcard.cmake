# The vCard parser reads files anyone can put into the address-book folder. It is built in from
# its one source rather than all of velto_platform with its database and coroutine code.
velto_add_fuzzer(fuzz_vcard
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_vcard.cpp ${CMAKE_CURRENT_LIST_DIR}/../platform/vcardparser.cpp
  LIBS Qt6::Core)
target_include_directories(fuzz_vcard PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../platform)
