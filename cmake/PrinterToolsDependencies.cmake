# The libraries the product libraries stand on, found as the imported targets
# their link interfaces name: PkgConfig::<prefix>, SQLiteCpp and
# Threads::Threads. The build includes this file, and the installed package's
# config file includes its copy, so a consumer finds them as the build did.

# pt_find_product_dependencies(<REQUIRED|QUIET> <missing-var>)
# Sets <missing-var> to what was not found (empty when all was). A macro: the
# find modules leave variables that later pkg_check_modules() calls read.
macro(pt_find_product_dependencies _pt_mode _pt_missing_var)
  set(${_pt_missing_var})
  foreach(_pt_package Threads SQLiteCpp)
    find_package(${_pt_package} ${_pt_mode})
    if(NOT ${_pt_package}_FOUND)
      list(APPEND ${_pt_missing_var} ${_pt_package})
    endif()
  endforeach()
  unset(_pt_package)
  find_package(PkgConfig ${_pt_mode})
  if(NOT PKG_CONFIG_FOUND)
    list(APPEND ${_pt_missing_var} pkg-config)
  else()
    foreach(_pt_entry "GLIB glib-2.0" "GIO gio-2.0" "UUID uuid" "PLIST libplist-2.0" "CURL libcurl"
                      "LIBXML2 libxml-2.0" "LIBUSB libusb-1.0" "AVAHI avahi-client avahi-glib" "SQLITE sqlite3")
      separate_arguments(_pt_entry)
      list(POP_FRONT _pt_entry _pt_prefix)
      pkg_check_modules(${_pt_prefix} ${_pt_mode} IMPORTED_TARGET ${_pt_entry})
      if(NOT ${_pt_prefix}_FOUND)
        list(APPEND ${_pt_missing_var} ${_pt_entry})
      endif()
    endforeach()
    unset(_pt_entry)
    unset(_pt_prefix)
  endif()
endmacro()
