jorvu_add_fuzzer(starturl SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzStartURL.cpp LIBS jorvu_app_common)
