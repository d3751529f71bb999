# The viewer that ships with the application: the reference site's static files, built with
# esbuild into build/viewer (beside the executable, where a build that is run uninstalled
# finds it) and installed in share/vexmoor-3dviewer/viewer. Without Node the application
# builds all the same and uses the hosted viewer alone.
set(VEXMOOR_VIEWER_OUTPUT ${PROJECT_BINARY_DIR}/viewer)
set(siteDir ${PROJECT_SOURCE_DIR}/viewer-site)
find_program(NODE node)
if(NOT NODE)
  message(WARNING "node was not found: the built-in viewer is not built, and the application will rely on the "
                  "hosted viewer alone. Install Node.js (./scripts/install-deps) and configure again to ship it.")
  return()
endif()
if(NOT EXISTS ${siteDir}/node_modules/esbuild)
  message(WARNING "viewer-site/node_modules is missing: the built-in viewer is not built. Run ./scripts/install-deps "
                  "(npm ci in viewer-site) and configure again.")
  return()
endif()

# Any file added to the site's public folder is picked up at the next build.
file(GLOB_RECURSE publicFiles CONFIGURE_DEPENDS ${siteDir}/public/*)
set(stamp ${PROJECT_BINARY_DIR}/viewer.stamp)
add_custom_command(OUTPUT ${stamp}
  COMMAND ${NODE} ${siteDir}/build-builtin.mjs ${VEXMOOR_VIEWER_OUTPUT}
  COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
  DEPENDS ${publicFiles} ${siteDir}/build-builtin.mjs ${siteDir}/server.mjs ${siteDir}/vendor-entry.mjs
          ${siteDir}/package-lock.json
  WORKING_DIRECTORY ${siteDir}
  COMMENT "Building the built-in viewer"
  VERBATIM)
add_custom_target(vexmoor_viewer ALL DEPENDS ${stamp})

include(GNUInstallDirs)
install(DIRECTORY ${VEXMOOR_VIEWER_OUTPUT}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vexmoor-3dviewer/viewer
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
