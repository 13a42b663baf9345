include(GNUInstallDirs)

# pt_add_library(<target> [SERVICE_INCLUDES] LIBS <libs...> TEST_LIBS <libs...>)
# Builds the static library <target> from every .cpp under Sources/ of the
# calling folder, and a GoogleTest binary <target>Tests from the .cpp files
# under Tests/ when there are any and BUILD_TESTING is on.
# With SERVICE_INCLUDES only Sources/ is an include root, so headers are named
# with their folder ("RunLoop/RunLoop.h"); otherwise every folder under
# Sources/ is one too and headers include each other by file name.
# Every library made here is a product library: `cmake --install` puts it in
# the PrinterTools package, its headers under include/<target>/ in the same
# folders as under Sources/, so consumers name them as the build tree does.
function(pt_add_library target)
  cmake_parse_arguments(ARG "SERVICE_INCLUDES" "" "LIBS;TEST_LIBS" ${ARGN})
  set(root ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${root}/Sources/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_library(${target} STATIC ${sources})
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${root}/Sources/*.h)
  set(include_dirs ${root}/Sources)
  if(NOT ARG_SERVICE_INCLUDES)
    foreach(header ${headers})
      get_filename_component(dir ${header} DIRECTORY)
      list(APPEND include_dirs ${dir})
    endforeach()
  endif()
  list(REMOVE_DUPLICATES include_dirs)
  foreach(dir ${include_dirs})
    # Installed, the same folder under include/<target>/.
    file(RELATIVE_PATH relative ${root}/Sources ${dir})
    string(REGEX REPLACE "/$" "" installed ${CMAKE_INSTALL_INCLUDEDIR}/${target}/${relative})
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${dir}> $<INSTALL_INTERFACE:${installed}>)
  endforeach()
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  target_compile_features(${target} PUBLIC cxx_std_20)

  install(TARGETS ${target} EXPORT PrinterToolsTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${root}/Sources/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${target} FILES_MATCHING PATTERN "*.h")

  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${root}/Tests/*.cpp)
  if(tests AND BUILD_TESTING)
    add_executable(${target}Tests ${tests})
    target_link_libraries(${target}Tests PRIVATE ${target} ${ARG_TEST_LIBS})
    # Test helpers that every library's tests share.
    target_include_directories(${target}Tests PRIVATE ${PROJECT_SOURCE_DIR}/Platform/Tests/Support)
    pt_add_gtest(${target}Tests)
  endif()
endfunction()
