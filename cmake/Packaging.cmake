# The Debian package that `make package` builds: the binary (its QML module is compiled in), the
# desktop entry, icons, software-centre metadata and the licence. Its run-time dependencies are
# what the binary links (found by dpkg-shlibdeps), the QML modules the views import (found when
# the package is built, see DebianQmlDepends.cmake).
include(GNUInstallDirs)
# The copyright file names both licences: ours, and the one of the Breeze icons compiled in.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE morlo_licence)
file(WRITE ${CMAKE_BINARY_DIR}/copyright "${morlo_licence}
The symbols drawn in the window are Breeze icons, copyright the KDE community, under the GNU
Lesser General Public License, version 3 or later; its text is in
/usr/share/common-licenses/LGPL-3.
")
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/morlo-ai)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morlo-ai)
set(CPACK_PACKAGE_VENDOR "The Morlo AI developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat with language models running privately on your computer")
set(CPACK_PACKAGE_DESCRIPTION
    "Morlo AI is a desktop assistant that runs large language models on your own
machine. It starts the llama.cpp engine (llama-server) on a GGUF model file and
chats with it over the loopback interface, so conversations stay on your
computer. It keeps a sidebar of stored conversations, downloads models from a
built-in catalogue, and lets the model act on the computer only with your
approval.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Morlo AI developers <packages@morlo.ai>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://morlo.ai)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# QtQuick loads QtQml.WorkerScript through its QtQml import, which neither the import scan nor
# Debian 12's QtQuick package declares. The keyring library opens libsecret at run time to reach
# the desktop's Secret Service, where hub tokens and server keys are kept.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qml6-module-qtqml-workerscript, libsecret-1-0")
# Export and import use the desktop's own file chooser through it where the session has a portal;
# without it Qt's dialogs are used, so it is recommended, not required.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-xdgdesktopportal-platformtheme")

# Read by DebianQmlDepends.cmake when the package is built.
set(CPACK_MORLO_QML_SOURCES ${CMAKE_SOURCE_DIR}/src/views)
set(CPACK_MORLO_QML_IMPORT_PATH ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_QML})
set(CPACK_MORLO_QMLIMPORTSCANNER ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_LIBEXECS}/qmlimportscanner)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DebianQmlDepends.cmake)

include(CPack)
