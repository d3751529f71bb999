# Run by `cmake --install` with template, bindir and shareDir set: writes the desktop entry,
# naming the executable under the prefix chosen now as the executable names itself when it
# registers from a build folder, and updates the desktop's databases.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(executable "${prefix}/${bindir}/vexmoor-3dviewer")
set(applications "$ENV{DESTDIR}${prefix}/${shareDir}/applications")
# GLib looks for the program of Exec= before it undoubles '%', and an entry holds no line break.
if(executable MATCHES "[%\n\r]")
  message(FATAL_ERROR "No desktop entry can start ${executable}: its path holds a line break or '%'. "
                      "Choose another prefix.")
endif()
set(exec "${executable}")
if(exec MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
set(tryExec "${executable}")
foreach(value exec tryExec)
  string(REPLACE "\\" "\\\\" ${value} "${${value}}")
  string(REPLACE "\t" "\\t" ${value} "${${value}}")
endforeach()
file(READ "${template}" entry)
string(REPLACE "@TRY_EXEC@" "${tryExec}" entry "${entry}")
string(REPLACE "@EXEC@" "${exec}" entry "${entry}")
file(MAKE_DIRECTORY "${applications}")
message(STATUS "Installing: ${applications}/com.vexmoor.3DViewer.desktop")
file(WRITE "${applications}/com.vexmoor.3DViewer.desktop" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${applications}/com.vexmoor.3DViewer.desktop")
# A package leaves the databases to the system's triggers; a direct install updates them.
if("$ENV{DESTDIR}" STREQUAL "")
  execute_process(COMMAND update-mime-database "${prefix}/${shareDir}/mime" OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND update-desktop-database "${applications}" OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND gtk-update-icon-cache -q -t "${prefix}/${shareDir}/icons/hicolor" OUTPUT_QUIET ERROR_QUIET)
endif()
