# Every target of the project compiles with warnings as errors.
add_compile_options(-Wall -Wextra -Werror)
