# Run at install time (through install(CODE) in data/CMakeLists.txt): writes
# the files that name installed paths with the prefix of this installation,
# so `cmake --install --prefix DIR` gives files that point into DIR even when
# the build was configured for another prefix, and installs them. Nothing is
# written into the build folder: the files are made in a temporary folder.
#
# Expects from the caller: quillfen_data_source (the data source folder) and
# quillfen_bindir, quillfen_datadir, quillfen_mandir (the GNUInstallDirs
# folders, relative to the prefix or absolute).

# A GNUInstallDirs folder as the absolute path it has in this installation.
function(quillfen_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

quillfen_full_dir(CMAKE_INSTALL_FULL_BINDIR "${quillfen_bindir}")
quillfen_full_dir(CMAKE_INSTALL_FULL_DATADIR "${quillfen_datadir}")
quillfen_full_dir(quillfen_full_mandir "${quillfen_mandir}")
set(CMAKE_INSTALL_FULL_DOCDIR "${CMAKE_INSTALL_FULL_DATADIR}/doc/quillfen")

# The menu entry starts the launcher by its full path, so a prefix whose bin
# folder is not on the desktop's PATH works too; quoted when it holds a blank.
set(QUILLFEN_LAUNCHER "${CMAKE_INSTALL_FULL_BINDIR}/quillfen-launcher")
if(QUILLFEN_LAUNCHER MATCHES " ")
  set(QUILLFEN_LAUNCHER "\"${QUILLFEN_LAUNCHER}\"")
endif()
# The launcher finds the help page relative to its own folder.
file(RELATIVE_PATH QUILLFEN_BIN_TO_DATA "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_DATADIR}")

execute_process(COMMAND mktemp -d OUTPUT_VARIABLE quillfen_work
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE quillfen_mktemp)
if(NOT quillfen_mktemp EQUAL 0 OR NOT IS_DIRECTORY "${quillfen_work}")
  message(FATAL_ERROR "cannot make a temporary folder for the installed files")
endif()
foreach(name quillfen-launcher quillfen.desktop quillfen.service quillfen.1)
  configure_file("${quillfen_data_source}/${name}.in" "${quillfen_work}/${name}" @ONLY)
endforeach()

file(INSTALL DESTINATION "${CMAKE_INSTALL_FULL_BINDIR}" TYPE PROGRAM
     FILES "${quillfen_work}/quillfen-launcher")
file(INSTALL DESTINATION "${CMAKE_INSTALL_FULL_DATADIR}/applications" TYPE FILE
     FILES "${quillfen_work}/quillfen.desktop")
file(INSTALL DESTINATION "${quillfen_full_mandir}/man1" TYPE FILE
     FILES "${quillfen_work}/quillfen.1")
file(INSTALL DESTINATION "${CMAKE_INSTALL_FULL_DOCDIR}/examples" TYPE FILE
     FILES "${quillfen_work}/quillfen.service")
file(REMOVE_RECURSE "${quillfen_work}")
