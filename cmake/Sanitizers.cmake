if(KORV_SANITIZE)
    add_compile_options(-fsanitize=${KORV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${KORV_SANITIZE})
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC's flow analysis misreads the sanitizers' instrumentation of
        # standard library code (std::regex, std::function) as uses of
        # uninitialised values; the sanitizers themselves check the real thing.
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
endif()
