# Run by cpack once the .deb files are made (CPACK_POST_BUILD_SCRIPTS, see
# packaging.cmake). Each package named in CPACK_NALPOICOMM_MULTI_ARCH_SAME
# gets "Multi-Arch: same", which CPack cannot write; a postinst or postrm
# that CPack made to call ldconfig goes, since the package's ldconfig
# trigger does that work (the project has no maintainer scripts of its own).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  get_filename_component(file_name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package ${file_name})
  set(root ${CPACK_TOPLEVEL_DIRECTORY}/finish/${package})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${root} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot unpack ${deb}")
  endif()

  file(READ ${root}/DEBIAN/control control)
  if(package IN_LIST CPACK_NALPOICOMM_MULTI_ARCH_SAME AND NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control
      "${control}")
    file(WRITE ${root}/DEBIAN/control "${control}")
  endif()
  foreach(script IN ITEMS postinst postrm)
    if(EXISTS ${root}/DEBIAN/${script})
      file(STRINGS ${root}/DEBIAN/${script} commands REGEX "^[ \t]*ldconfig[ \t]*$")
      if(commands)
        file(REMOVE ${root}/DEBIAN/${script})
      endif()
    endif()
  endforeach()

  execute_process(COMMAND dpkg-deb --root-owner-group --build ${root} ${deb}
    OUTPUT_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot pack ${deb}")
  endif()
  file(REMOVE_RECURSE ${root})
endforeach()
