# Include roots. No library exports the source tree as a whole: the engine
# exports include/ (its public headers, "tabula/xxx.h"), and every other
# library exports a directory of the build tree that shows only its own
# source folder under its usual name, through a symbolic link
# (<build>/include_roots/dataset/dataset -> <source>/dataset), so its headers
# keep their "dataset/xxx.h" names and nothing else of the tree comes with
# them. An include of "engine/xxx.h" resolves only inside the engine and its
# tests (the target tabula_internal).

# borvino_folder_root(<out-var> <root name> <path>...): makes the root
# <build>/include_roots/<root name> showing each <path> (a folder or a file,
# relative to the source root) at the same relative place, and stores the
# root's directory in <out-var>.
function(borvino_folder_root outVar rootName)
  set(root ${CMAKE_BINARY_DIR}/include_roots/${rootName})
  foreach(path ${ARGN})
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
  endforeach()
  set(${outVar} ${root} PARENT_SCOPE)
endfunction()

# borvino_export_folders(<target> <path>...): a root named after the target,
# exported to the target and everything that links it.
function(borvino_export_folders target)
  borvino_folder_root(root ${target} ${ARGN})
  target_include_directories(${target} PUBLIC ${root})
endfunction()
