jorvu_add_fuzzer(payloads SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzPayloads.cpp LIBS jorvu_helper_common)
