# The Debian packages, one per install component: printer-driver-tamrisk
# (driver: the filter, the PPDs, tmk-decode and its manual page), all that
# CUPS needs and no service; tmk-printer-app (app: the printer application
# and its service). tools/build-deb.sh builds them with Debian's compiler
# flags and the shared C++ runtime; `cpack -G DEB` in that build folder
# writes the .debs.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL driver)
if(TARGET tmk-printer-app)
  list(APPEND CPACK_COMPONENTS_ALL app)
endif()
set(CPACK_PACKAGE_NAME printer-driver-tamrisk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rastertoTmkLabel maintainers <maintainers@invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DRIVER_PACKAGE_NAME printer-driver-tamrisk)
set(CPACK_DEBIAN_DRIVER_DESCRIPTION "CUPS driver for the Tamrisk label printers
The rastertoTmkLabel filter turns CUPS raster jobs into the label command
language of the Tamrisk printers and reports their jams, open covers and
empty media to the scheduler. One PPD per supported model, and tmk-decode,
which lists a captured printer stream and writes its labels as images.")
# The scheduler that runs the filter; CUPS queues render PDF with the others.
set(CPACK_DEBIAN_DRIVER_PACKAGE_DEPENDS cups)
set(CPACK_DEBIAN_DRIVER_PACKAGE_RECOMMENDS "cups-filters, ghostscript")
set(CPACK_DEBIAN_DRIVER_PACKAGE_SUGGESTS tmk-printer-app)
# Up to 1.0.1 this package held the printer application and ran its service.
set(CPACK_DEBIAN_DRIVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/printer-driver-tamrisk/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/printer-driver-tamrisk/postrm)

set(CPACK_DEBIAN_APP_PACKAGE_NAME tmk-printer-app)
set(CPACK_DEBIAN_APP_DESCRIPTION "Tamrisk label printers as IPP Everywhere printers
tmk-printer-app, started as the service tmk-printer-app.service, makes
each printer an IPP Everywhere printer that phones, computers and CUPS
print to without a driver: printers are added and set up on its web page
(http://localhost:8000/), and every job goes through the filter of
printer-driver-tamrisk. The service runs as its own user, in a sandbox,
on the loopback interface unless told to share the printers.")
# The app runs the filter and reads the PPDs of its own version. It renders
# PDF with cups-filters and Ghostscript; avahi-daemon, a network service of
# its own, is only of use when the printers are shared.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "adduser, printer-driver-tamrisk (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "cups-filters, ghostscript")
set(CPACK_DEBIAN_APP_PACKAGE_SUGGESTS avahi-daemon)
set(CPACK_DEBIAN_APP_PACKAGE_BREAKS "printer-driver-tamrisk (<< 1.1.0)")
set(CPACK_DEBIAN_APP_PACKAGE_REPLACES "printer-driver-tamrisk (<< 1.1.0)")
set(CPACK_DEBIAN_APP_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/tmk-printer-app/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/tmk-printer-app/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/tmk-printer-app/postrm ${CMAKE_CURRENT_LIST_DIR}/debian/tmk-printer-app/conffiles)

set(CPACK_STRIP_FILES ON)
# The filter's folder is absolute (CUPS's), so stage through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-manpages.cmake)
include(CPack)
