# Installation: the shared library, the public headers only, the programs,
# an exported CMake package (find_package(korv_user_api) gives
# korv::korv_user_api) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS korv_user_api EXPORT korv_user_api_targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${korv_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korv_user_api)
foreach(program korv_user_api_test korv_md_simulator korv_depth_view)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
# Installed programs that link the shared library find it beside them.
foreach(program korv_user_api_test korv_depth_view)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    endif()
endforeach()

set(korv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/korv_user_api)
install(EXPORT korv_user_api_targets NAMESPACE korv:: DESTINATION ${korv_cmake_dir}
    FILE korv_user_apiTargets.cmake)
configure_package_config_file(cmake/korv_user_apiConfig.cmake.in
    ${PROJECT_BINARY_DIR}/korv_user_apiConfig.cmake INSTALL_DESTINATION ${korv_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korv_user_apiConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korv_user_apiConfig.cmake
    ${PROJECT_BINARY_DIR}/korv_user_apiConfigVersion.cmake DESTINATION ${korv_cmake_dir})

configure_file(cmake/korv_user_api.pc.in ${PROJECT_BINARY_DIR}/korv_user_api.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korv_user_api.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
