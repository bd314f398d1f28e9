# Run by CPack on the package's files before it packs them: the package ships no byte code, since
# its postinst compiles it where the module is installed, as Debian's Python policy asks.
file(GLOB_RECURSE byte_code_folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER byte_code_folders INCLUDE REGEX "/__pycache__$")
if(byte_code_folders)
  file(REMOVE_RECURSE ${byte_code_folders})
endif()
