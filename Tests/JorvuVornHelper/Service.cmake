# The helper program, driven over its real socket.
if(TARGET JorvuVornHelper)
  jorvu_add_test(helper_service_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/Service/HelperProcessTests.cpp
            ${CMAKE_CURRENT_LIST_DIR}/Service/RequestHandlingTests.cpp
    LIBS jorvu_helper_service jorvu_helper_testsupport jorvu_publisher_lib)
  add_dependencies(helper_service_tests JorvuVornHelper jorvu-fakegame)
endif()

# The helper's bounded task threads.
jorvu_add_test(helper_taskgroup_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Service/TaskGroupTests.cpp
  LIBS jorvu_helper_service
  LABELS tsan)
