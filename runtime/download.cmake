# The download component: the portable engine, and (natively) its in-memory transport for the tests.
add_library(runtime_download STATIC download_engine.cpp)
target_link_libraries(runtime_download PUBLIC runtime)
find_package(Threads REQUIRED)
target_link_libraries(runtime_download PUBLIC Threads::Threads)
