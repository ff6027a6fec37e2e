# The helper program: the service object with its request handlers, and the
# entry.
add_library(jorvu_helper_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/HelperMain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TaskGroup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VornHelper.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WorkerFactory.cpp
)
target_link_libraries(jorvu_helper_service PUBLIC jorvu_protocol jorvu_xpc jorvu_httpclient jorvu_common Threads::Threads)
foreach(dep jorvu_helper_common jorvu_engine jorvu_bridge)
  if(TARGET ${dep})
    target_link_libraries(jorvu_helper_service PUBLIC ${dep})
  endif()
endforeach()

add_executable(JorvuVornHelper ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(JorvuVornHelper PRIVATE jorvu_helper_service)
