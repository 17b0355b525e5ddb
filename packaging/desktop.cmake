# What puts the window program in the desktop's menus: the icon in the
# hicolor theme, the desktop entry and the AppStream metainfo.
#
# The icon files are drawn at build time by velmorix-icon-export, with the
# painting the window uses for its own icon, so the two never differ.
find_package(Qt6 REQUIRED COMPONENTS Svg)

set(velmorix_icon_sizes 16 22 24 32 48 64 128 256)
set(velmorix_icon_folder ${CMAKE_CURRENT_BINARY_DIR}/icons)

add_executable(velmorix-icon-export ${CMAKE_CURRENT_SOURCE_DIR}/icon_export.cpp)
target_link_libraries(velmorix-icon-export PRIVATE velmorix_ui Qt6::Svg)
# A build tool, not a program of the installation: kept out of bin/.
set_target_properties(velmorix-icon-export PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

set(velmorix_icon_files ${velmorix_icon_folder}/hicolor/scalable/apps/velmorix.svg)
foreach(size ${velmorix_icon_sizes})
  list(APPEND velmorix_icon_files ${velmorix_icon_folder}/hicolor/${size}x${size}/apps/velmorix.png)
endforeach()

add_custom_command(
  OUTPUT ${velmorix_icon_files}
  COMMAND velmorix-icon-export ${velmorix_icon_folder} ${velmorix_icon_sizes}
  DEPENDS velmorix-icon-export
  COMMENT "Drawing the program icon files"
  VERBATIM)
add_custom_target(velmorix-icons ALL DEPENDS ${velmorix_icon_files})

install(FILES ${velmorix_icon_folder}/hicolor/scalable/apps/velmorix.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${velmorix_icon_sizes})
  install(FILES ${velmorix_icon_folder}/hicolor/${size}x${size}/apps/velmorix.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/jp.quenzari.velmorix.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/jp.quenzari.velmorix.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
