# The ZIP component over minizip's unzip interface and zlib's inflate.
# Natively minizip is Debian's libminizip-dev. Debian ships no minizip for Windows, so the Windows
# build compiles its two unzip sources from Debian's zlib source package, which scripts/minizip_source
# unpacks under build/third_party, and links Debian's zlib for mingw.
add_library(runtime_zip STATIC zip.cpp)
target_link_libraries(runtime_zip PUBLIC runtime)
find_package(ZLIB REQUIRED)

if(WIN32)
  file(GLOB _minizip_dirs ${CMAKE_SOURCE_DIR}/build/third_party/zlib-*/contrib/minizip)
  list(SORT _minizip_dirs)
  list(POP_BACK _minizip_dirs MINIZIP_SOURCE_DIR)
  if(NOT MINIZIP_SOURCE_DIR OR NOT EXISTS ${MINIZIP_SOURCE_DIR}/unzip.c)
    message(FATAL_ERROR "minizip's sources are missing under ${CMAKE_SOURCE_DIR}/build/third_party: "
                        "run scripts/minizip_source (as root; scripts/setup runs it too)")
  endif()
  add_library(minizip STATIC ${MINIZIP_SOURCE_DIR}/unzip.c ${MINIZIP_SOURCE_DIR}/ioapi.c)
  # Their own code, built as it comes: its warnings are not ours to fix.
  target_compile_options(minizip PRIVATE -w)
  target_include_directories(minizip PUBLIC ${MINIZIP_SOURCE_DIR})
  target_link_libraries(minizip PUBLIC ZLIB::ZLIB)
  target_link_libraries(runtime_zip PRIVATE minizip)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
  target_link_libraries(runtime_zip PRIVATE PkgConfig::MINIZIP PUBLIC ZLIB::ZLIB)
endif()
