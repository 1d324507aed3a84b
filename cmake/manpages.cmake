# Manual pages: NalPoiComm(3) with the development files, nalpoi(1) and
# nalpoi-service(1) with the tools, into share/man. Compressed as Debian
# ships them (gzip -9n: no name or time stamp, so every architecture's
# package holds the same bytes); man reads them either way.
set(nalpoi_man_pages docs/man/NalPoiComm.3:development)
if(NALPOICOMM_BUILD_TOOLS)
  list(APPEND nalpoi_man_pages docs/man/nalpoi.1:tools docs/man/nalpoi-service.1:tools)
endif()
set(nalpoi_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
set(nalpoi_man_outputs)
foreach(page_component IN LISTS nalpoi_man_pages)
  string(REPLACE ":" ";" pair ${page_component})
  list(GET pair 0 page)
  list(GET pair 1 component)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\." "" section ${name})
  add_custom_command(OUTPUT ${nalpoi_man_dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${page} ${nalpoi_man_dir}/${name}
    COMMAND gzip -9nf ${nalpoi_man_dir}/${name}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND nalpoi_man_outputs ${nalpoi_man_dir}/${name}.gz)
  install(FILES ${nalpoi_man_dir}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endforeach()
add_custom_target(nalpoicomm_man_pages ALL DEPENDS ${nalpoi_man_outputs})
