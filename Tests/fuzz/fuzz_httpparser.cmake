jorvu_add_fuzzer(httpparser SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzHttpParser.cpp LIBS jorvu_httpserver)
