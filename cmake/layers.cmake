# The filter's layers, from the bottom: isapi (the server interface), buffer
# (the held response), tagging (the page rules and the end-of-request pass),
# filter (the entry points). Each layer's target sees its own folder and the
# folders of the layers below it, and no other: the folder is reached through
# a directory of the build tree that holds only a link to it, so that an
# include of a higher layer finds no file and fails to build.
function(tagsmith_layer_root layer out)
  set(root ${PROJECT_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${layer})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${root}/${layer} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()
