# The programs' own icons, drawn in share/icons/hicolor/scalable and rendered to PNG sizes by
# scripts/render-icons, compiled into a program as the Qt resources ":/icons/NAME/SIZE.png"
# for its windows (common/cli/program_icon.h).
set(SUITE_ICON_SIZES 16 22 24 32 48 64 128 256 CACHE INTERNAL "The PNG sizes of the icons")

function(suite_add_program_icon target name)
  set(files)
  foreach(size IN LISTS SUITE_ICON_SIZES)
    set(png ${PROJECT_SOURCE_DIR}/share/icons/hicolor/${size}x${size}/apps/${name}.png)
    set_source_files_properties(${png} PROPERTIES QT_RESOURCE_ALIAS ${name}/${size}.png)
    list(APPEND files ${png})
  endforeach()
  qt_add_resources(${target} ${name}_icon PREFIX /icons FILES ${files})
endfunction()
