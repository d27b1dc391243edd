# What `cmake --install` puts under a prefix: the two libraries, the public headers, the host
# programs and a package configuration, so that a host project writes find_package(quellmar)
# and links quellmar::quellmar.
include(CMakePackageConfigHelpers)

set(QUELLMAR_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/quellmar")

# Installed files find their libraries beside them (or in the prefix's library folder), and the
# CUDA runtime and NVRTC where the toolkit that built them keeps them: both installs need that
# toolkit's NVRTC at run time, the cuda install also the NVIDIA driver.
set_target_properties(quellmar PROPERTIES INSTALL_RPATH "$ORIGIN;${CUDAToolkit_LIBRARY_DIR}")
set_target_properties(quellmar-info quellmar-run PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS quellmar EXPORT quellmarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS quellmar-info quellmar-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# What the requests, replies and raw files mean; quellmar-run --help points here.
install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARGET quellmar_gl)
  # Beside libquellmar, the folder a host names as its resources when it initialises the library.
  install(TARGETS quellmar_gl LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(NOT QUELLMAR_BACKEND STREQUAL "cuda")
  # The emulator build's library runs on the emulator's runtime, and opens the emulator's
  # stand-in libcuda.so.1 where the cuda build opens the NVIDIA driver. The stand-in lies in a
  # folder of its own that only this libquellmar names, so no other program and no cuda install
  # under the same prefix ever loads it in place of the real driver.
  set(QUELLMAR_EMULATOR_DRIVER_DIR "${CMAKE_INSTALL_LIBDIR}/quellmar/emulator")
  set_target_properties(quellmar PROPERTIES
    INSTALL_RPATH "$ORIGIN;$ORIGIN/quellmar/emulator;${CUDAToolkit_LIBRARY_DIR}")
  set_target_properties(qm_emulator PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS qm_emulator LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS qm_emulator_driver LIBRARY DESTINATION ${QUELLMAR_EMULATOR_DRIVER_DIR} NAMELINK_SKIP)
endif()

install(EXPORT quellmarTargets NAMESPACE quellmar:: DESTINATION ${QUELLMAR_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quellmarConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quellmarConfig.cmake INSTALL_DESTINATION ${QUELLMAR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quellmarConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quellmarConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/quellmarConfigVersion.cmake
  DESTINATION ${QUELLMAR_CMAKE_DIR})
