# The names that the version resources and the package show.
set(HALYARD_COMPANY_NAME "Veltane")
set(HALYARD_PRODUCT_NAME "Halyard Session Agent")

# One version for the whole build: the programs' version resources and the package. Set it when
# configuring a release: cmake --preset wine -DHALYARD_VERSION=1.4.2 (or 1.4.2.17).
set(HALYARD_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the programs and the package: major.minor.build[.revision]")
if(NOT HALYARD_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)(\\.([0-9]+))?$")
    message(FATAL_ERROR "HALYARD_VERSION '${HALYARD_VERSION}' is not major.minor.build[.revision]")
endif()
set(HALYARD_VERSION_MAJOR ${CMAKE_MATCH_1})
set(HALYARD_VERSION_MINOR ${CMAKE_MATCH_2})
set(HALYARD_VERSION_BUILD ${CMAKE_MATCH_3})
set(HALYARD_VERSION_REVISION 0)
if(CMAKE_MATCH_5)
    set(HALYARD_VERSION_REVISION ${CMAKE_MATCH_5})
endif()
# Windows Installer reads major.minor.build within these bounds and ignores the revision.
if(HALYARD_VERSION_MAJOR GREATER 255 OR HALYARD_VERSION_MINOR GREATER 255 OR HALYARD_VERSION_BUILD GREATER 65535
   OR HALYARD_VERSION_REVISION GREATER 65535)
    message(FATAL_ERROR "HALYARD_VERSION '${HALYARD_VERSION}': at most 255.255.65535.65535")
endif()
# A package replaces every installed one below the next build, the same version rebuilt included;
# the revision never tells two packages apart.
math(EXPR next "${HALYARD_VERSION_BUILD} + 1")
set(HALYARD_PACKAGE_UPGRADES_BELOW "${HALYARD_VERSION_MAJOR}.${HALYARD_VERSION_MINOR}.${next}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/HalyardProduct.h.in ${CMAKE_BINARY_DIR}/generated/HalyardProduct.h @ONLY)
