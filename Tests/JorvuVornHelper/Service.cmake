# The helper program, driven over its real socket.
if(TARGET JorvuVornHelper)
  jorvu_add_test(helper_service_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/Service/HelperProcessTests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/Service/TaskGroupTests.cpp
    LIBS jorvu_helper_service)
  add_dependencies(helper_service_tests JorvuVornHelper)
endif()
