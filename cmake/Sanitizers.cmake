if(KORV_SANITIZE)
    add_compile_options(-fsanitize=${KORV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${KORV_SANITIZE})
endif()
