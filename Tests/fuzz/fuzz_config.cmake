jorvu_add_fuzzer(config SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzConfig.cpp LIBS jorvu_common)
