jorvu_add_fuzzer(xpcframe SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzXPCFrame.cpp LIBS jorvu_protocol jorvu_xpc)
