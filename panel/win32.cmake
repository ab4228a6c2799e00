# Tessiro8.exe, the shipped control panel (Windows build only): the panel's
# logic, the Win32 backend of its dialog layer, the resources of panel/res and
# the driver image, embedded from the Tessiro8.sys of this same build.
enable_language(RC)

file(GLOB PANEL_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui/win32/*.cpp)

# The driver's bytes as a C++ array, regenerated whenever the driver relinks.
set(DRIVER_IMAGE_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/DriverImage.cpp)
add_custom_command(
  OUTPUT ${DRIVER_IMAGE_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=$<TARGET_FILE:Tessiro8> -DOUTPUT=${DRIVER_IMAGE_SOURCE}
          -DARRAY=DriverImage -DSIZE_NAME=DRIVER_IMAGE_SIZE -DHEADER=panel/DriverImage.h
          -P ${CMAKE_SOURCE_DIR}/tools/embed-binary.cmake
  DEPENDS Tessiro8 ${CMAKE_SOURCE_DIR}/tools/embed-binary.cmake
  COMMENT "Embedding Tessiro8.sys into the control panel"
  VERBATIM)

file(GLOB PANEL_ICONS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/res/icons/*.ico)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/res/Tessiro8.rc PROPERTIES
  OBJECT_DEPENDS "${PANEL_ICONS};${CMAKE_CURRENT_SOURCE_DIR}/res/Tessiro8.exe.manifest;${CMAKE_CURRENT_SOURCE_DIR}/res/resource.h;${CMAKE_CURRENT_SOURCE_DIR}/Resource.h")

add_executable(tessiro8_panel WIN32
  ${PANEL_WIN32_SOURCES}
  ${DRIVER_IMAGE_SOURCE}
  ${CMAKE_CURRENT_SOURCE_DIR}/res/Tessiro8.rc)
set_target_properties(tessiro8_panel PROPERTIES OUTPUT_NAME Tessiro8)
target_include_directories(tessiro8_panel PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/res)
# One self-contained i686 executable: the C and C++ runtimes are linked in, so
# it imports only DLLs that every Windows has.
target_link_options(tessiro8_panel PRIVATE -static -municode -mwindows -s)
target_link_libraries(tessiro8_panel PRIVATE panel_core comctl32 comdlg32 advapi32 user32 gdi32)
