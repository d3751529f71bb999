# Sanitizers apply to the whole build so that every library and test agrees on the runtime.
if(VEXMOOR_SANITIZE)
  string(REPLACE ";" "," _vexmoor_sanitizers "${VEXMOOR_SANITIZE}")
  add_compile_options(-fsanitize=${_vexmoor_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_vexmoor_sanitizers})
  if(_vexmoor_sanitizers MATCHES "undefined")
    # The vptr check opens a pipe to probe memory, so it misfires with "invalid vptr" in a
    # process that has used up its descriptors, which the server tests do on purpose.
    add_compile_options(-fno-sanitize-recover=undefined -fno-sanitize=vptr)
  endif()
endif()
