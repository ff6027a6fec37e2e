jorvu_add_fuzzer(manifest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FuzzManifest.cpp LIBS jorvu_engine)
