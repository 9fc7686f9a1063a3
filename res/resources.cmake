# Velmora's Windows resources: icon, version block and manifest.
#
# The icon lives in res/velmora_icon.txt as a text pixel map; at build time
# tools/make_icon.py turns it into an .rc fragment (and a PNG preview beside it)
# which res/velmora.rc includes. Nothing generated is kept in the source tree.

set(VELMORA_RES_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(VELMORA_SOURCE_ROOT ${VELMORA_RES_DIR} DIRECTORY)

function(velmora_add_resources target)
  enable_language(RC)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)

  set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/res)
  set(icon_rc ${gen_dir}/velmora_icon.rc)
  set(icon_preview ${gen_dir}/velmora_icon.png)
  add_custom_command(
    OUTPUT ${icon_rc} ${icon_preview}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gen_dir}
    COMMAND Python3::Interpreter ${VELMORA_SOURCE_ROOT}/tools/make_icon.py
            ${VELMORA_RES_DIR}/velmora_icon.txt
            --rc ${icon_rc} --preview ${icon_preview}
    DEPENDS ${VELMORA_SOURCE_ROOT}/tools/make_icon.py ${VELMORA_RES_DIR}/velmora_icon.txt
    COMMENT "Making the icon resources from res/velmora_icon.txt"
    VERBATIM)

  set(rc ${VELMORA_RES_DIR}/velmora.rc)
  # windres writes no dependency file, so name everything the .rc pulls in.
  set_source_files_properties(${rc} PROPERTIES
    INCLUDE_DIRECTORIES "${gen_dir};${VELMORA_RES_DIR};${VELMORA_SOURCE_ROOT}/src"
    OBJECT_DEPENDS "${icon_rc};${VELMORA_RES_DIR}/velmora.manifest;${VELMORA_SOURCE_ROOT}/src/version.h")
  # The fragment is listed only so that the target runs the command above; it
  # is compiled as part of velmora.rc, not on its own.
  set_source_files_properties(${icon_rc} PROPERTIES HEADER_FILE_ONLY TRUE)
  target_sources(${target} PRIVATE ${rc} ${icon_rc})
endfunction()
