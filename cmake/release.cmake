# The release: the staged tree (KORVA.exe, data/update.exe) as one zip. The maker publishes this same
# file as the update package, since the updater copies the package's tree over the program's folder.
if(NOT WIN32)
  return()
endif()

set(RELEASE_ZIP ${CMAKE_BINARY_DIR}/release/KORVA-${OWN_VERSION}.zip)
# The members are named one by one: the stage is also where a test run may leave files beside the
# programs, and none of those belongs in a package.
set(_release_members KORVA.exe data/update.exe)
add_custom_command(
  OUTPUT ${RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/release
  COMMAND ${CMAKE_COMMAND} -E rm -f ${RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${RELEASE_ZIP} --format=zip ${_release_members}
  WORKING_DIRECTORY ${STAGE_DIR}
  DEPENDS KORVA update
  COMMENT "Release ${RELEASE_ZIP}"
  VERBATIM)
add_custom_target(release DEPENDS ${RELEASE_ZIP})
