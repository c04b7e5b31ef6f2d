# The Debian package, made by CPack from the build tree (./package.sh): the same binaries
# the tests ran, stripped, under /usr, plus Debian's copyright file and changelog.

set(OXLUME_DEB_MAINTAINER "Oxlume developers <oxlume@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oxlume)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Oxlume developers")
set(CPACK_PACKAGE_CONTACT "${OXLUME_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")

# One package from the default component and the Debian-only documents.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME oxlume)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OXLUME_DEB_MAINTAINER}")
# Depends comes from the libraries the binaries link (dpkg-shlibdeps), plus the SVG icon
# engine, a plugin that nothing links but without which the buttons show no glyphs. The other
# plugins are loaded at run time and only recommended: image formats beyond the own decoders
# and the native Wayland backend.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-image-formats-plugins, qt6-wayland")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fast, simple image viewer")
# CPack turns the blank line into Debian's " ." paragraph mark and indents the rest.
set(CPACK_PACKAGE_DESCRIPTION "Oxlume shows the images of one folder in a single window: the folder's
sub-folders and images on the left, the selected image on the right,
fitted, at 100 % or zoomed, with brightness, contrast, flips and rotation.
Images decode on a second thread, so the window never freezes.

It reads JPEG, BMP, PCX, PSD and WMF with its own decoders, and PNG, GIF,
TIFF, WebP, TGA, ICO, PNM, XPM and SVG through the Qt image plugins. The
package also holds oxlume-convert, which converts any of these to PNG.")

include(CPack)
