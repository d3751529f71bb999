# Sanitizers apply to the whole build so that every library and test agrees on the runtime.
if(VEXMOOR_SANITIZE)
  string(REPLACE ";" "," _vexmoor_sanitizers "${VEXMOOR_SANITIZE}")
  add_compile_options(-fsanitize=${_vexmoor_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_vexmoor_sanitizers})
  if(_vexmoor_sanitizers MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
