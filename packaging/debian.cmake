# The Debian package (make package, through CPack), and the documents Debian asks of it, which make
# install installs too. Included by the top CMakeLists.txt, whose doc_dir, script_menu_gzip() and
# SCRIPT_MENU_MODULE_DIR it uses.

# The package's maintainer, whom the copyright file names too.
set(CPACK_PACKAGE_CONTACT "script-menu maintainers <script-menu@example.org>")

# The changelog is Debian's: its newest entry gives the package's revision, and has to be for the
# project's version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^${PROJECT_NAME} \\(([^)]+)-([^-)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line names no ${PROJECT_NAME} version")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the newest entry is for ${CMAKE_MATCH_1}, "
    "the project is ${PROJECT_VERSION}")
endif()
set(SCRIPT_MENU_DEBIAN_REVISION ${CMAKE_MATCH_2})
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${doc_dir}/changelog.Debian COPYONLY)
script_menu_gzip(changelog ${doc_dir}/changelog.Debian)

# Debian's machine-readable copyright file, made from LICENSE so that the two always agree.
# Debian calls the MIT licence's text "Expat".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the licence's text")
endif()
set(licence_holder "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" licence_text " ${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${doc_dir}/copyright @ONLY)
install(FILES ${doc_dir}/changelog.Debian.gz ${doc_dir}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# make package: a Debian package of the installation under /usr, whose dependencies (the right
# libpython3.x among them) dpkg-shlibdeps reads off the program.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines as Debian wants them: under 80 columns, an empty line between paragraphs.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "script-menu embeds the CPython interpreter and, in a loop, calls the\n"
  "functions of the module PythonCode: printsomething at the start of every\n"
  "cycle, then PrintMe or DoubleValue with a number the user types. Every\n"
  "call starts a fresh interpreter, imports the module afresh and shuts the\n"
  "interpreter down again.\n"
  "\n"
  "A PythonCode module ships with it; one of the user's own, in a folder\n"
  "named in PYTHONPATH, answers in its place.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SCRIPT_MENU_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The package leaves the byte code out. Its postinst compiles it, by the release the program
# embeds, and its prerm removes it, with Debian's own tools as dh_python3 would call them; the
# package then depends on what dh_python3 would name for them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/leave_out_byte_code.cmake)
set(python_release ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
set(packaged_module_dir ${CPACK_PACKAGING_INSTALL_PREFIX}/${SCRIPT_MENU_MODULE_DIR})
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm.in ${PROJECT_BINARY_DIR}/debian/prerm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python${python_release}, python3:any")
# An interpreter linked in is a copy of Debian's python3.x source package, which Built-Using names,
# and its core must find the standard library and lib-dynload of the same minor release, at least
# as new, which the program loads at run time.
if(libpython_static)
  set(owners "")
  file(GLOB standard_extensions ${python_standard_extensions}/*.so)
  set(standard_extension "${python_standard_extensions}")
  if(standard_extensions)
    list(GET standard_extensions 0 standard_extension)
  endif()
  foreach(file ${python_static_library} ${standard_extension})
    execute_process(COMMAND dpkg-query --search ${file}
      OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE unowned)
    string(REGEX REPLACE "^([^:, ]+).*" "\\1" owner "${owner}")
    list(APPEND owners "${owner}")
    if(unowned)
      set(owners "")
      break()
    endif()
  endforeach()
  if(owners)
    list(GET owners 0 library_package)
    list(GET owners 1 stdlib_package)
    execute_process(COMMAND dpkg-query --show [=[--showformat=${source:Package} (= ${source:Version})]=]
        ${library_package}
      OUTPUT_VARIABLE built_using)
    execute_process(COMMAND dpkg-query --show [=[--showformat=${Version}]=] ${stdlib_package}
      OUTPUT_VARIABLE stdlib_version)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${stdlib_package} (>= ${stdlib_version})")
    # CPack has no variable for the field: it goes on the line of one that it writes.
    string(APPEND CPACK_DEBIAN_PACKAGE_SECTION "\nBuilt-Using: ${built_using}")
  else()
    message(STATUS "${python_static_library} is none of Debian's packages': make package cannot "
      "say what the program is built from")
  endif()
endif()
include(CPack)
