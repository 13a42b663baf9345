if(PT_SANITIZE AND PT_TSAN)
  message(FATAL_ERROR "PT_SANITIZE and PT_TSAN cannot be combined")
endif()
# PT_SANITIZER_COMPILE_FLAGS and PT_SANITIZER_LINK_FLAGS: what every target
# compiles and links with, also handed to the consumer project that the
# installed-package test builds (its static libraries need the runtimes).
set(PT_SANITIZER_COMPILE_FLAGS)
set(PT_SANITIZER_LINK_FLAGS)
if(PT_SANITIZE)
  list(APPEND PT_SANITIZER_COMPILE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  list(APPEND PT_SANITIZER_LINK_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
if(PT_FUZZ)
  # Coverage for libFuzzer in every library the targets link. Undefined
  # behaviour stops the run, as a crash does, whatever UBSAN_OPTIONS says.
  list(APPEND PT_SANITIZER_COMPILE_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                                         -fno-omit-frame-pointer)
  list(APPEND PT_SANITIZER_LINK_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
if(PT_TSAN)
  list(APPEND PT_SANITIZER_COMPILE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  list(APPEND PT_SANITIZER_LINK_FLAGS -fsanitize=thread)
  # What libraries built without ThreadSanitizer order among themselves (the file says what and why), and
  # GLib's slice allocator, which hands blocks between threads' caches under its own locks, replaced by
  # plain malloc, which ThreadSanitizer sees.
  set(PT_TSAN_TEST_PROPERTIES
      ENVIRONMENT_MODIFICATION "TSAN_OPTIONS=string_append::suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan-suppressions.txt"
      ENVIRONMENT "G_SLICE=always-malloc")
endif()
add_compile_options(${PT_SANITIZER_COMPILE_FLAGS})
add_link_options(${PT_SANITIZER_LINK_FLAGS})

# Registers a GoogleTest binary with ctest, one ctest entry per test.
function(pt_add_gtest target)
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
                       PROPERTIES TIMEOUT 120 LABELS ${target} ${PT_TSAN_TEST_PROPERTIES})
endfunction()
