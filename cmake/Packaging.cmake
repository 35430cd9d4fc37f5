# How the library is consumed: the alias target, the shared variant's symbols and version, the
# installed tree, the CMake package and the pkg-config file.
include(CMakePackageConfigHelpers)

add_library(plovendale::plovendale ALIAS plovendale)

# Only what carries PLOVENDALE_API is exported from the shared library; the static one is marked
# the same way so that both builds see one set of declarations.
set_target_properties(plovendale PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME plovendale
  # Position-independent in both builds: the shared variant then compiles exactly as the static
  # one does, and `make test` gets it from the compiler cache.
  POSITION_INDEPENDENT_CODE ON)
target_compile_definitions(plovendale PRIVATE PLOVENDALE_BUILDING)
if(BUILD_SHARED_LIBS)
  target_link_options(plovendale PRIVATE
    "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/plovendale.map"
    "LINKER:--exclude-libs,ALL"  # nor what a static dependency would bring
    "LINKER:--no-undefined")
  set_property(TARGET plovendale APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/plovendale.map)
  set(PLOVENDALE_SHARED_BUILD ON)
else()
  target_compile_definitions(plovendale INTERFACE PLOVENDALE_STATIC_DEFINE)
  set(PLOVENDALE_SHARED_BUILD OFF)
endif()

# What a link of the static library needs beyond its dependencies: the C++ runtime and libm, named
# because a C host's link step (cc, or a C-only CMake project) does not add them as c++ would.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND CMAKE_CXX_FLAGS MATCHES "-stdlib=libc\\+\\+")
  set(PLOVENDALE_CXX_RUNTIME c++)
else()
  set(PLOVENDALE_CXX_RUNTIME stdc++)
endif()
if(PLOVENDALE_SHARED_BUILD)
  # The shared library carries its dependencies: a host links it alone.
  set(PLOVENDALE_PC_REQUIRES "")
  set(PLOVENDALE_PC_LIBS "-lplovendale")
else()
  target_link_libraries(plovendale INTERFACE ${PLOVENDALE_CXX_RUNTIME} m)
  # Public, so that a plain `pkg-config --libs` names them as the shared libraries they are on the
  # system; `--static` would ask for libcurl's own private dependencies, which Debian's -dev
  # packages do not install.
  set(PLOVENDALE_PC_REQUIRES "libcurl sqlite3 icu-uc icu-i18n libplist-2.0 libcrypto")
  set(PLOVENDALE_PC_LIBS "-lplovendale -l${PLOVENDALE_CXX_RUNTIME} -lm -pthread")
endif()

set(PLOVENDALE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/plovendale)

install(TARGETS plovendale EXPORT plovendaleTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT plovendaleTargets NAMESPACE plovendale:: DESTINATION ${PLOVENDALE_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/plovendaleConfig.cmake.in
  ${PROJECT_BINARY_DIR}/plovendaleConfig.cmake
  INSTALL_DESTINATION ${PLOVENDALE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/plovendaleConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/plovendaleConfig.cmake
  ${PROJECT_BINARY_DIR}/plovendaleConfigVersion.cmake DESTINATION ${PLOVENDALE_CMAKE_DIR})

# Relative to the .pc file, so that `cmake --install --prefix` anywhere gives a working file.
file(RELATIVE_PATH PLOVENDALE_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/plovendale.pc.in ${PROJECT_BINARY_DIR}/plovendale.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/plovendale.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
