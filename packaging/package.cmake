# The Debian package: the filter, the PPDs, tmk-decode and its manual page,
# and the printer application with its service.
# tools/build-deb.sh builds it with Debian's compiler flags and the shared
# C++ runtime; `cpack -G DEB` in that build folder writes the .deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME printer-driver-tamrisk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rastertoTmkLabel maintainers <maintainers@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS driver and printer application for the Tamrisk label printers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The rastertoTmkLabel filter turns CUPS raster jobs into the label command
language of the Tamrisk printers and reports their jams, open covers and
empty media to the scheduler. One PPD per supported model, and tmk-decode,
which lists a captured printer stream and writes its labels as images.
.
tmk-printer-app, started as the service tmk-printer-app.service, makes
each printer an IPP Everywhere printer that phones, computers and CUPS
print to without a driver: printers are added and set up on its web page
(http://localhost:8000/), and every job goes through the same filter.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from dpkg-shlibdeps, and the scheduler that runs the filter.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS cups)
# CUPS queues and the printer application render PDF with these (without
# them the app offers no PDF); avahi-daemon lets
# phones and computers find the printer application's printers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups-filters, ghostscript, avahi-daemon")
# Enable and start the service on install, stop it on removal, as
# dh_installsystemd's scripts do.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The filter's folder is absolute (CUPS's), so stage through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-manpages.cmake)
include(CPack)
