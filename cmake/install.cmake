# Install rules and the Debian package.
#
# tagmend starts tonecast.exe from the folder of its own executable (its
# real file: the link in bin/ is resolved first). So the programs and the two
# libraries live together in one private folder, lib/tagmend/, found through
# an RPATH of $ORIGIN, and bin/ holds a link to tagmend there:
#
#   bin/tagmend -> ../lib/tagmend/tagmend
#   bin/tagmend-report                      (RPATH $ORIGIN/../lib/tagmend)
#   bin/tagmend-batch                       (the same; runs bin/tagmend beside it)
#   lib/tagmend/{tagmend,tonecast.exe,libTarvel.so,libQuennet.so}
#   include/{tarvel/tarvel.h,quennet/quennet.h}
#   lib/cmake/{Tarvel,Quennet}/             find_package(Tarvel), find_package(Quennet)
#   share/man/man1/{tagmend.1,tagmend-report.1,tagmend-batch.1}
#
# On Windows everything goes to bin/, the one folder the DLLs are found in.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  set(TAGMEND_PRIVATE_DIR "${CMAKE_INSTALL_BINDIR}")
else()
  set(TAGMEND_PRIVATE_DIR "${CMAKE_INSTALL_LIBDIR}/tagmend")
endif()
# From bin/ to the private folder, for the link and the report's RPATH.
file(RELATIVE_PATH TAGMEND_BIN_TO_PRIVATE
  "/${CMAKE_INSTALL_BINDIR}" "/${TAGMEND_PRIVATE_DIR}")

# `cmake --build --preset release --target programs`: what is installed, and
# no test.
add_custom_target(programs)
add_dependencies(programs tagmend tarvel quennet)
foreach(program IN ITEMS tonecast tagmend-report tagmend-batch)
  if(TARGET ${program})
    add_dependencies(programs ${program})
  endif()
endforeach()

install(TARGETS tagmend RUNTIME DESTINATION "${TAGMEND_PRIVATE_DIR}")
if(TARGET tonecast)
  install(TARGETS tonecast RUNTIME DESTINATION "${TAGMEND_PRIVATE_DIR}")
endif()
if(NOT WIN32)
  set(link "${CMAKE_CURRENT_BINARY_DIR}/install-links/tagmend")
  file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/install-links")
  file(CREATE_LINK "${TAGMEND_BIN_TO_PRIVATE}/tagmend" "${link}" SYMBOLIC)
  install(FILES "${link}" DESTINATION "${CMAKE_INSTALL_BINDIR}")  # installed as a link
endif()

# The report and the batch need the libraries, not the converter; the batch
# runs the tagmend in its own folder (bin/tagmend, the link).
foreach(program IN ITEMS tagmend-report tagmend-batch)
  if(TARGET ${program})
    if(NOT WIN32)
      set_target_properties(${program} PROPERTIES
        INSTALL_RPATH "$ORIGIN/${TAGMEND_BIN_TO_PRIVATE}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  endif()
endforeach()

# The two libraries, their C headers and their CMake package files:
#   find_package(Tarvel REQUIRED)   target_link_libraries(app PRIVATE Tarvel::Tarvel)
#   #include <tarvel/tarvel.h>
foreach(lib IN ITEMS Tarvel Quennet)
  string(TOLOWER "${lib}" target)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${lib})
  install(TARGETS ${target} EXPORT ${lib}Targets
    LIBRARY DESTINATION "${TAGMEND_PRIVATE_DIR}"
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
  install(FILES "${CMAKE_SOURCE_DIR}/libs/${target}/${target}.h"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/${target}")
  set(config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/${lib}")
  install(EXPORT ${lib}Targets NAMESPACE ${lib}:: DESTINATION "${config_dir}")
  set(TAGMEND_PACKAGE ${lib})
  configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/library-config.cmake.in"
    "${CMAKE_CURRENT_BINARY_DIR}/${lib}Config.cmake" INSTALL_DESTINATION "${config_dir}")
  write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/${lib}ConfigVersion.cmake"
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${lib}Config.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/${lib}ConfigVersion.cmake" DESTINATION "${config_dir}")
endforeach()

set(man_pages "${CMAKE_SOURCE_DIR}/man/tagmend.1")
foreach(program IN ITEMS tagmend-report tagmend-batch)
  if(TARGET ${program})
    list(APPEND man_pages "${CMAKE_SOURCE_DIR}/man/${program}.1")
  endif()
endforeach()
install(FILES ${man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_SOURCE_DIR}/packaging/copyright"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The Debian package: `cpack -G DEB` in the build folder, after a build.
if(NOT WIN32)
  set(CPACK_PACKAGE_NAME tagmend)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repairs the timeline of Flash Video (FLV) recordings")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tagmend rebuilds the timeline of an FLV file from what its audio really holds:
MP3 audio is re-stamped by the real length of its frames and the video is moved
with it; PCM and Nellymoser audio is converted to MP3 and the video re-timed to
it. Every FLV it writes gets fresh onMetaData with a key-frame index.
.
The package also holds the FLV container library (Tarvel) and the codec library
(Quennet) with their C headers and CMake package files.")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  # Debian's manual pages are compressed; `cmake --install` leaves them as written.
  set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_SOURCE_DIR}/cmake/deb-compress-man.cmake")
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The Maintainer is whoever builds and publishes the package.
  set(TAGMEND_DEB_MAINTAINER "tagmend developers" CACHE STRING
    "Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAGMEND_DEB_MAINTAINER}")
  # Depends: what dpkg-shlibdeps finds the installed ELF files linked to (it
  # follows their RPATH $ORIGIN to the package's own libraries)...
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # ...and the decoder tonecast.exe loads at run time for Nellymoser jobs,
  # by its major version, which no linker records.
  if(TARGET tonecast AND TONECAST_AV_libavcodec_VERSION AND TONECAST_AV_libavutil_VERSION)
    string(REGEX MATCH "^[0-9]+" avcodec_major "${TONECAST_AV_libavcodec_VERSION}")
    string(REGEX MATCH "^[0-9]+" avutil_major "${TONECAST_AV_libavutil_VERSION}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libavcodec${avcodec_major}, libavutil${avutil_major}")
  endif()
  include(CPack)
endif()
