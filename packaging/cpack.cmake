# The Debian package: cpack -G DEB in a build folder makes flintor_1.51_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flintor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Flintor developers")
set(CPACK_PACKAGE_CONTACT "Flintor developers <flintor@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Flintor developers <flintor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "prepare a camera's memory card for add-on firmware")
# The long description; cpack puts the summary above it as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Flintor shows and sets the boot markers on a camera's memory card (FAT,
FAT32 or exFAT) that make the camera start the add-on firmwares CHDK and
Magic Lantern. It downloads a Magic Lantern build and unpacks it onto the
card, removes it again, and formats cards as FAT32 or exFAT.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://flintor.example/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Dependencies from the shared libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Reaching cards without root, and the tools that format them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, dosfstools, exfatprogs")
set(CPACK_STRIP_FILES ON)
include(CPack)
