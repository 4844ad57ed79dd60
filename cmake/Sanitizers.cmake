# PELK_SANITIZE=address,undefined or thread; no recovery, so the first finding fails the run.
if(PELK_SANITIZE)
  add_compile_options(-fsanitize=${PELK_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${PELK_SANITIZE})
  add_compile_definitions(PELK_SANITIZED)
endif()
