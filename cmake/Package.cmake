# The installed package: `cmake --install` puts the product libraries (see
# pt_add_library) and this config under <prefix>, where a consumer writes
#   find_package(PrinterTools REQUIRED)
#   target_link_libraries(app PRIVATE PrinterTools::NEXAKit)
include(CMakePackageConfigHelpers)

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/PrinterTools)
install(EXPORT PrinterToolsTargets NAMESPACE PrinterTools:: DESTINATION ${package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PrinterToolsConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/PrinterToolsConfig.cmake INSTALL_DESTINATION ${package_dir})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PrinterToolsConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/PrinterToolsConfig.cmake ${PROJECT_BINARY_DIR}/PrinterToolsConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/PrinterToolsDependencies.cmake
        DESTINATION ${package_dir})

# The test: install into a temporary prefix, then configure, build and run
# examples/consumer against it, with this tree's compiler, build type and
# sanitizers.
list(JOIN PT_SANITIZER_COMPILE_FLAGS " " consumer_compile_flags)
list(JOIN PT_SANITIZER_LINK_FLAGS " " consumer_link_flags)
set(consumer_options -G ${CMAKE_GENERATOR} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
                     -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${consumer_compile_flags}"
                     "-DCMAKE_EXE_LINKER_FLAGS=${consumer_link_flags}")
if(CMAKE_CXX_COMPILER_LAUNCHER)
  list(APPEND consumer_options -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
endif()
add_test(NAME InstalledPackageBuildsConsumer
         COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-installed-package.sh ${PROJECT_BINARY_DIR}
                 ${PROJECT_SOURCE_DIR}/examples/consumer ${consumer_options})
set_tests_properties(InstalledPackageBuildsConsumer PROPERTIES TIMEOUT 300 LABELS InstalledPackage)

# Built from source with tests and benchmarks off, the libraries need none of
# the test tools.
add_test(NAME ConfigureWithoutTestsNeedsNoTestTools
         COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-configure-without-tests.sh ${PROJECT_SOURCE_DIR}
                 -G ${CMAKE_GENERATOR})
set_tests_properties(ConfigureWithoutTestsNeedsNoTestTools PROPERTIES TIMEOUT 120 LABELS InstalledPackage)
