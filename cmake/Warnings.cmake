# Every target of the project compiles with these warnings. They are errors
# only where PT_WERROR is on: the Makefile and continuous integration turn it
# on; a user's build of the libraries never fails on a warning of their compiler.
option(PT_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(PT_WERROR)
  add_compile_options(-Werror)
endif()
