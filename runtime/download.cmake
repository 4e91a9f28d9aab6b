# The download component: the portable engine, and (natively) its in-memory transport for the tests.
add_library(runtime_download STATIC download_engine.cpp response.cpp segments.cpp)
target_link_libraries(runtime_download PUBLIC runtime)
find_package(Threads REQUIRED)
target_link_libraries(runtime_download PUBLIC Threads::Threads)

if(NOT WIN32)
  add_library(runtime_download_fake STATIC fake_transport.cpp)
  target_link_libraries(runtime_download_fake PUBLIC runtime_download)
endif()
