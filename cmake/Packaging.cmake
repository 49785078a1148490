# Debian packages, built by CPack's DEB generator (scripts/package.sh), one
# per install component, named and split the way Debian names and splits a
# library and its programs:
#   libs      -> libhaldenanalytics3      the two shared libraries (SONAME .so.3)
#   dev       -> libhaldenanalytics-dev   headers, CMake package, pkg-config
#                                         file, the unversioned .so links
#   app       -> halden-app               the shell, its pages, desktop entry,
#                                         icon, AppStream metainfo
#   collector -> halden-collector         the reference collection service
# Included before the subdirectories: whatever an install() rule does not
# name a component for (the headers, the CMake package, the pkg-config file)
# is development material.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME dev)

set(HALDEN_DEB_LIBRARY_PACKAGE libhaldenanalytics${PROJECT_VERSION_MAJOR})
set(HALDEN_DEB_PACKAGES ${HALDEN_DEB_LIBRARY_PACKAGE} libhaldenanalytics-dev halden-app halden-collector)
set(HALDEN_DEB_COMPONENTS libs dev app collector)

# Every package carries its copyright file and a Debian changelog, gzipped
# the way dpkg and lintian want them (maximum compression, no name or time
# stamp in the header). Made at configure time: they change with the
# sources only.
set(HALDEN_DEB_REVISION 1)
set(HALDEN_DEB_VERSION ${PROJECT_VERSION}-${HALDEN_DEB_REVISION})
function(halden_gzip source target)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE ${target}
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()
set(HALDEN_DEB_WORK ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${HALDEN_DEB_WORK})
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${HALDEN_DEB_WORK}/changelog @ONLY)
halden_gzip(${HALDEN_DEB_WORK}/changelog ${HALDEN_DEB_WORK}/changelog.Debian.gz)
foreach(package component IN ZIP_LISTS HALDEN_DEB_PACKAGES HALDEN_DEB_COMPONENTS)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${HALDEN_DEB_WORK}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The programs' manual pages.
foreach(page App/halden-app.1:app packaging/halden-collector.1:collector)
  string(REPLACE ":" ";" page ${page})
  list(GET page 0 source)
  list(GET page 1 component)
  get_filename_component(name ${source} NAME)
  halden_gzip(${PROJECT_SOURCE_DIR}/${source} ${HALDEN_DEB_WORK}/${name}.gz)
  install(FILES ${HALDEN_DEB_WORK}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME haldenanalytics)
set(CPACK_PACKAGE_VENDOR "HaldenAnalytics developers")
set(CPACK_PACKAGE_CONTACT "HaldenAnalytics developers <developers@haldenanalytics.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/build/packages)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/cpack)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${HALDEN_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${HALDEN_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE haldenanalytics)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies are what dpkg-shlibdeps finds the binaries need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The programs and the libraries' users are packaged beside the libraries,
# not against an installed libhaldenanalytics3, so dpkg-shlibdeps is shown
# them as a package tree of their own: the libraries (links to the built
# ones) and the shlibs file the library package carries. It reads the
# dependency from there, as it does for a package built with it.
set(HALDEN_DEB_SHLIBS "")
foreach(library libHaldenAnalytics libhalden-platform)
  string(APPEND HALDEN_DEB_SHLIBS
         "${library} ${PROJECT_VERSION_MAJOR} ${HALDEN_DEB_LIBRARY_PACKAGE} (>= ${HALDEN_DEB_VERSION})\n")
endforeach()
set(HALDEN_DEB_LIBRARY_TREE ${HALDEN_DEB_WORK}/library-tree)
file(WRITE ${HALDEN_DEB_LIBRARY_TREE}/DEBIAN/shlibs "${HALDEN_DEB_SHLIBS}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${HALDEN_DEB_LIBRARY_TREE}/${CMAKE_INSTALL_LIBDIR})
file(MAKE_DIRECTORY ${HALDEN_DEB_LIBRARY_TREE}/${CMAKE_INSTALL_LIBDIR})
function(halden_deb_library_tree)
  foreach(target HaldenAnalytics HaldenPlatform)
    get_target_property(dir ${target} BINARY_DIR)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    set(soname lib${name}.so.${PROJECT_VERSION_MAJOR})
    file(CREATE_LINK ${dir}/${soname} ${HALDEN_DEB_LIBRARY_TREE}/${CMAKE_INSTALL_LIBDIR}/${soname}
         SYMBOLIC)
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL halden_deb_library_tree)

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME ${HALDEN_DEB_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
# The loader's cache is brought up to date by libc's trigger. (CPack also
# writes postinst and postrm scripts that call ldconfig themselves, which it
# cannot be told not to.)
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_LIBS_DESCRIPTION "analytics client library: hits stored on disk, sent in batches
HaldenAnalytics turns an application's screen views, events, exceptions,
timings and transactions into hits, keeps every hit on disk until the
collection service has answered, and sends them singly or in gzip batches
over HTTP(S) from one worker thread.
.
This package holds the shared libraries.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libhaldenanalytics-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${HALDEN_DEB_LIBRARY_PACKAGE} (= ${HALDEN_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE_INDEPENDENT OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "analytics client library: development files
HaldenAnalytics turns an application's screen views, events, exceptions,
timings and transactions into hits, keeps every hit on disk until the
collection service has answered, and sends them singly or in gzip batches
over HTTP(S) from one worker thread.
.
This package holds the public headers, the CMake package
(find_package(HaldenAnalytics)) and the pkg-config file.")

set(CPACK_DEBIAN_APP_PACKAGE_NAME halden-app)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION web)
set(CPACK_DEBIAN_APP_DESCRIPTION "demo shop whose scripts drive the analytics client
A WebKitGTK window showing a small shop; its pages call the analytics
client through a script bridge, and every view, search, cart change and
checkout becomes a hit. It handles x-halden-shop: URLs, and with --headless
it serves the same bridge on standard input and output instead.")

set(CPACK_DEBIAN_COLLECTOR_PACKAGE_NAME halden-collector)
set(CPACK_DEBIAN_COLLECTOR_PACKAGE_SECTION net)
set(CPACK_DEBIAN_COLLECTOR_DESCRIPTION "reference collection service for analytics hits
A small HTTP(S) service that takes hits on /collect and /batch, decodes
gzip and deflate bodies and form-encoded hit lines, and writes every hit to
a JSON Lines file. Fault options make it misbehave on purpose, for testing
a client's delivery.")

include(CPack)
