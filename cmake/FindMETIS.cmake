# Finds METIS and provides the imported target METIS::metis together with
# METIS_IDX_WIDTH, the width in bits of the library's index type idx_t.
find_path(METIS_INCLUDE_DIR metis.h)
find_library(METIS_LIBRARY metis)

if(METIS_INCLUDE_DIR)
  file(STRINGS "${METIS_INCLUDE_DIR}/metis.h" _metis_width_line
       REGEX "^#define[ \t]+IDXTYPEWIDTH[ \t]+[0-9]+")
  string(REGEX REPLACE ".*IDXTYPEWIDTH[ \t]+([0-9]+).*" "\\1" METIS_IDX_WIDTH "${_metis_width_line}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(METIS REQUIRED_VARS METIS_LIBRARY METIS_INCLUDE_DIR METIS_IDX_WIDTH)

if(METIS_FOUND AND NOT TARGET METIS::metis)
  add_library(METIS::metis UNKNOWN IMPORTED)
  set_target_properties(METIS::metis PROPERTIES
    IMPORTED_LOCATION "${METIS_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${METIS_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "TSR_METIS_IDX_WIDTH=${METIS_IDX_WIDTH}")
endif()
mark_as_advanced(METIS_INCLUDE_DIR METIS_LIBRARY)
