# Install rules at the FHS paths, and the Debian package that scripts/package
# makes with CPack from them. Only with the whole application.
include(GNUInstallDirs)

set(KEST_APP_ID org.kestviewer.KestViewer)
set(KEST_RELEASE_DATE 2026-12-07)
set(KEST_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 12:00:00 +0000")
set(KEST_RELEASE_EPOCH 1796644800) # the release date at noon UTC, for reproducible pages
set(KEST_MAINTAINER_MAIL "developers@kestviewer.invalid")

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)
set(artwork ${PROJECT_SOURCE_DIR}/app/images/icon)
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
set(docs ${CMAKE_INSTALL_DATADIR}/doc/kestviewer)

install(TARGETS kestviewer kestctl cloudview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaging}/70-kestone.rules DESTINATION lib/udev/rules.d)
install(FILES ${packaging}/${KEST_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${packaging}/${KEST_APP_ID}.metainfo.xml.in ${staged}/${KEST_APP_ID}.metainfo.xml
               @ONLY)
install(FILES ${staged}/${KEST_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon at the freedesktop sizes: the drawn PNGs where there is one, the
# SVG drawn at the other sizes, and the SVG itself.
add_executable(render_icon ${packaging}/render_icon.cpp)
target_link_libraries(render_icon PRIVATE Qt6::Gui Qt6::Svg)
set_target_properties(render_icon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${staged})
set(rendered)
foreach(side 16 22 24 32 48 64 128 256)
  set(destination ${icons}/${side}x${side}/apps)
  if(EXISTS ${artwork}/kx_icon_${side}.png)
    install(FILES ${artwork}/kx_icon_${side}.png DESTINATION ${destination}
            RENAME ${KEST_APP_ID}.png)
  else()
    set(icon ${staged}/icons/${side}/${KEST_APP_ID}.png)
    add_custom_command(OUTPUT ${icon}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/icons/${side}
      COMMAND render_icon ${artwork}/kx_icon_svg.svg ${side} ${icon}
      DEPENDS render_icon ${artwork}/kx_icon_svg.svg VERBATIM)
    list(APPEND rendered ${icon})
    install(FILES ${icon} DESTINATION ${destination})
  endif()
endforeach()
install(FILES ${artwork}/kx_icon_svg.svg DESTINATION ${icons}/scalable/apps
        RENAME ${KEST_APP_ID}.svg)

# A manual page per program, made from its --help (help2man; scripts/setup
# installs it).
find_program(KEST_HELP2MAN help2man)
if(KEST_HELP2MAN)
  set(pages)
  foreach(program IN ITEMS kestviewer kestctl cloudview)
    set(page ${staged}/man/${program}.1)
    set(summary "viewer and recorder for the KestOne LiDAR scanner")
    if(program STREQUAL kestctl)
      set(summary "drive a KestOne from the command line, inspect and export recordings")
    elseif(program STREQUAL cloudview)
      set(summary "show the virtual KestOne's room in the point cloud view")
    endif()
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/man
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${KEST_RELEASE_EPOCH}
              ${KEST_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${summary} --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9 -n -f ${page}
      DEPENDS ${program} VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: the programs get no manual pages")
endif()

# The Debian changelog, compressed as Debian policy asks (no name or time in
# the gzip header), and the copyright file.
configure_file(${packaging}/changelog.in ${staged}/changelog @ONLY)
add_custom_command(OUTPUT ${staged}/changelog.gz
  COMMAND gzip -9 -n -f -k ${staged}/changelog
  DEPENDS ${staged}/changelog VERBATIM)
install(FILES ${staged}/changelog.gz ${packaging}/copyright DESTINATION ${docs})
# The Python module, where it is built, on Debian's path for Python 3 modules,
# and its examples beside the other documents.
if(TARGET kestone)
  install(TARGETS kestone LIBRARY DESTINATION lib/python3/dist-packages)
  install(FILES ${PROJECT_SOURCE_DIR}/python/examples/stream_to_ply.py
                ${PROJECT_SOURCE_DIR}/python/examples/show_merged_map.py
          DESTINATION ${docs}/examples)
endif()
add_custom_target(packaging_files ALL DEPENDS ${rendered} ${pages} ${staged}/changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestviewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KestViewer developers")
set(CPACK_PACKAGE_CONTACT "KestViewer developers <${KEST_MAINTAINER_MAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer and recorder for the KestOne LiDAR scanner")
# The extended description; CPack indents it under the summary.
set(CPACK_PACKAGE_DESCRIPTION
    "KestViewer finds a KestOne on the USB bus, brings it into streaming and shows
its point clouds (depth sensor and SLAM) in a 3D view, its camera pictures and
a colour-coded log. It records what the device sends and plays recordings back.

The package holds the viewer (kestviewer), the command-line tool kestctl
(device information, calibration, recording, inspection and export to PLY, PCD,
CSV and LAS, or to MCAP with ROS 2 messages), cloudview, the Python module
kestone (a device's frames and a recording's clouds, poses and pictures as
numpy arrays), and a udev rule that lets the logged-in user open the device
without root.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so not found among the libraries the binaries link.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The Python module is built for Debian's Python 3.11 and hands out numpy arrays.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, python3 (>= 3.11~), python3 (<< 3.12), python3-numpy")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-open3d")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${packaging}/postinst;${packaging}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/package)
include(CPack)
