add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter)
