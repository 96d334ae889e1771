# Project-wide warning set; applied to every target defined after this file is included.
add_compile_options(-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers)
# Treat warnings as errors in CI so the tree stays clean.
option(ZELKOVA_WERROR "Treat warnings as errors" OFF)
if(ZELKOVA_WERROR)
    add_compile_options(-Werror)
endif()
