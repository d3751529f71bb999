# cmake -DINPUT=document-types.json -DDESKTOP=out.desktop.in -DMIME=out.xml
#       -DMETAINFO_IN=template -DMETAINFO=out.metainfo.xml -DVERSION=x.y.z
#       -DCOMPLETION_IN=template -DCOMPLETION=out.bash -P this file
# Writes the desktop entry (its Exec path left as @EXEC@), the shared-mime-info package, the
# AppStream metadata and the bash completion from the declared document types, so they never
# drift apart.
file(READ "${INPUT}" declaration)
string(JSON typeCount LENGTH "${declaration}" CFBundleDocumentTypes)
math(EXPR lastType "${typeCount} - 1")

set(mimeTypes "")
set(definitions "")
set(EXTENSIONS "")
foreach(t RANGE ${lastType})
  string(JSON extensionCount LENGTH "${declaration}" CFBundleDocumentTypes ${t} CFBundleTypeExtensions)
  math(EXPR lastExtension "${extensionCount} - 1")
  foreach(e RANGE ${lastExtension})
    string(JSON extension GET "${declaration}" CFBundleDocumentTypes ${t} CFBundleTypeExtensions ${e})
    string(TOLOWER "${extension}" extension)
    # The completion script holds them unquoted.
    if(NOT extension MATCHES "^[a-z0-9]+$")
      message(FATAL_ERROR "document-types.json: the extension '${extension}' is not letters and digits")
    endif()
    string(APPEND EXTENSIONS " ${extension}")
  endforeach()
  string(JSON contentCount ERROR_VARIABLE noContent LENGTH "${declaration}" CFBundleDocumentTypes ${t} LSItemContentTypes)
  if(NOT noContent AND contentCount GREATER 0)
    math(EXPR lastContent "${contentCount} - 1")
    foreach(c RANGE ${lastContent})
      string(JSON contentType GET "${declaration}" CFBundleDocumentTypes ${t} LSItemContentTypes ${c})
      string(APPEND mimeTypes "${contentType};")
      string(APPEND MEDIATYPES "    <mediatype>${contentType}</mediatype>\n")
    endforeach()
  endif()
  string(JSON name GET "${declaration}" CFBundleDocumentTypes ${t} CFBundleTypeName)
  string(JSON definitionCount ERROR_VARIABLE noDefinitions LENGTH "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions)
  if(noDefinitions)
    continue()
  endif()
  math(EXPR lastDefinition "${definitionCount} - 1")
  foreach(d RANGE ${lastDefinition})
    string(JSON type GET "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} type)
    string(JSON why GET "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} why)
    string(JSON weight ERROR_VARIABLE noWeight GET "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} weight)
    if(noWeight)
      set(weight 50)
    endif()
    string(APPEND definitions "  <!-- ${name}: ${why}. -->\n  <mime-type type=\"${type}\">\n")
    string(APPEND definitions "    <comment>${name}</comment>\n")
    string(JSON globCount LENGTH "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} globs)
    math(EXPR lastGlob "${globCount} - 1")
    foreach(g RANGE ${lastGlob})
      string(JSON glob GET "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} globs ${g})
      string(APPEND definitions "    <glob pattern=\"${glob}\" weight=\"${weight}\"/>\n")
    endforeach()
    string(JSON magic ERROR_VARIABLE noMagic GET "${declaration}" CFBundleDocumentTypes ${t} MIMEDefinitions ${d} magic)
    if(NOT noMagic)
      string(APPEND definitions "    <magic priority=\"50\"><match type=\"string\" offset=\"0\" value=\"${magic}\"/></magic>\n")
    endif()
    string(APPEND definitions "  </mime-type>\n")
  endforeach()
endforeach()

file(WRITE "${MIME}" "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!-- The 3D and CAD types that Vexmoor 3D Viewer opens and shared-mime-info does not
     name on its own. Generated from document-types.json. -->
<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">
${definitions}</mime-info>
")

file(WRITE "${DESKTOP}" "[Desktop Entry]
Version=1.4
Type=Application
Name=Vexmoor 3D Viewer
GenericName=3D Model Viewer
Comment=Open 3D models and CAD files in the Vexmoor web viewer
Icon=com.vexmoor.3DViewer
TryExec=@TRY_EXEC@
Exec=@EXEC@ %F
Terminal=false
Categories=Graphics;3DGraphics;Viewer;
Keywords=3D;CAD;STL;STEP;IFC;glTF;OBJ;model;
MimeType=${mimeTypes}
")

set(VERSION "${VERSION}")
configure_file("${METAINFO_IN}" "${METAINFO}" @ONLY)
string(STRIP "${EXTENSIONS}" EXTENSIONS)
set(GENERATED_NOTE "Generated from document-types.json.")
configure_file("${COMPLETION_IN}" "${COMPLETION}" @ONLY)
