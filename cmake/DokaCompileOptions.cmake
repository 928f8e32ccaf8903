# Warnings and sanitizers shared by every target of the project.
add_library(doka_compile_options INTERFACE)
add_library(doka::compile_options ALIAS doka_compile_options)
target_compile_options(doka_compile_options INTERFACE -Wall -Wextra)
target_include_directories(doka_compile_options INTERFACE ${PROJECT_SOURCE_DIR})

if(DOKA_SANITIZE)
  add_compile_options(-fsanitize=${DOKA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${DOKA_SANITIZE})
endif()
